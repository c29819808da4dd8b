// One level of an elastic map: a slot table and everything a probe needs.
//
//   table             RawTable of s slots in ceil(s/16) groups of 16
//   salt              (index + 1) * 0x9E3779B97F4A7C15, XORed into the map
//                     hash so that each level sends a key somewhere else
//   group_reciprocal  start group = (H.lo ^ salt.lo) mod groups
//   group_steps       strides coprime with the group count; the key picks
//   step_reciprocal   one with bits 35..63 and 0..2 of H ^ salt, so keys
//                     that share a start group usually part at once
//   probe_limits      budgets of the limited probe, by free-slot count
//   fill_threshold    floor(delta * s / 2): at or below this many free
//                     slots the level counts as full for its batch
//   live, removed     occupied slots; removals since last emptied
//   max_depth         the longest walk, in groups, that any placement into
//                     the level took since it was last emptied
//
// Everything but the counters is fixed at construction, so probing
// multiplies by reciprocals and never divides or touches floating point.
//
// Why DELETED, and why a search may still stop early.  A removal writes
// DELETED, which placement treats as free but a search does not treat as an
// end: keys placed while that slot was full may lie further along their
// sequences, and they stay reachable without moving anything.  An EMPTY
// byte, though, does end a search, whatever `removed` says: EMPTY only comes
// back through clear or rebuild, and every placement takes the first free
// slot along the key's sequence (or along a prefix of it), so no key of this
// level lies past a group that holds an EMPTY slot.  One removal therefore
// does not turn every later miss into a walk of the whole level.
//
// For the same reason no key lies further along its sequence than max_depth
// groups, so a search stops there too.  This matters once a level is nearly
// full: placements into it stay short (the budgets and batches see to that),
// but groups holding an EMPTY slot grow rare, and without the bound a miss
// would walk most of the level.  Both stops give exactly the answer of a
// walk over every group.
//
// The level owns the entries of its occupied slots and releases them in
// slot order, key before value, when it is cleared or dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/control.hpp"
#include "common/hash.hpp"
#include "common/key.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/raw_table.hpp"
#include "common/probe.hpp"
#include "elastic/probe_limits.hpp"
#include "elastic/sizing.hpp"

namespace quorvel::elastic {

inline constexpr std::uint64_t LEVEL_SALT = 0x9E3779B97F4A7C15ull;

// Where a key's probe sequence in one level begins and how it strides.
struct ProbeStart {
    std::uint32_t group;
    std::uint32_t step;
};

// A free slot found along a key's sequence, and how many groups of the
// sequence were walked to reach it (1: the start group).
struct FreeSlot {
    std::uint32_t slot;
    std::uint32_t depth;
};

template <MapKey K, class V>
class Level {
public:
    using Slot = Entry<K, V>;

    static Level with_capacity(std::uint32_t slots, double reserve_fraction, double probe_scale,
                               std::uint32_t index) {
        return Level(slots, reserve_fraction, probe_scale, index);
    }

    Level(Level&& other) noexcept
        : table_(std::move(other.table_)),
          group_steps_(std::move(other.group_steps_)),
          probe_limits_(std::move(other.probe_limits_)),
          live_(std::exchange(other.live_, 0)),
          removed_(std::exchange(other.removed_, 0)),
          max_depth_(std::exchange(other.max_depth_, 0)),
          fill_threshold_(other.fill_threshold_),
          salt_(other.salt_),
          group_reciprocal_(other.group_reciprocal_),
          step_reciprocal_(other.step_reciprocal_) {}
    Level& operator=(Level&&) = delete;
    ~Level() { release_entries(); }

    std::uint32_t slots() const noexcept { return table_.slots(); }
    std::uint32_t groups() const noexcept { return table_.groups(); }
    std::uint32_t live() const noexcept { return live_; }
    std::uint32_t removed() const noexcept { return removed_; }
    std::uint32_t free_slots() const noexcept { return slots() > live_ ? slots() - live_ : 0; }
    std::uint32_t fill_threshold() const noexcept { return fill_threshold_; }
    std::uint32_t max_depth() const noexcept { return max_depth_; }
    std::uint64_t salt() const noexcept { return salt_; }
    std::uint64_t group_reciprocal() const noexcept { return group_reciprocal_; }
    std::uint64_t step_reciprocal() const noexcept { return step_reciprocal_; }
    const std::vector<std::uint32_t>& group_steps() const noexcept { return group_steps_; }
    const ProbeLimits& probe_limits() const noexcept { return probe_limits_; }
    std::uint8_t control(std::uint32_t i) const noexcept { return table_.control(i); }

    Slot& entry(std::uint32_t slot) noexcept { return *table_.slot(slot); }
    const Slot& entry(std::uint32_t slot) const noexcept { return *table_.slot(slot); }

    // Occupied slots of group g (spare positions are EMPTY, so never set).
    BitMask occupied_in_group(std::uint32_t g) const noexcept {
        return BitMask(~match_free(table_.group(g)).bits() & 0xFFFFu);
    }

    std::size_t allocated_bytes() const noexcept {
        return table_.allocated_bytes() + group_steps_.capacity() * sizeof(std::uint32_t) +
               probe_limits_.allocated_bytes();
    }

    // Start group: (H.lo ^ salt.lo) mod groups.
    std::uint32_t start_group(MapHash h) const noexcept {
        if (table_.groups() <= 1) return 0;
        return reduce_mod(h.lo() ^ static_cast<std::uint32_t>(salt_), table_.groups(), group_reciprocal_);
    }

    // Stride: the step list's element at (low word of (H ^ salt) rotated
    // right by 35) mod its length.
    std::uint32_t step(MapHash h) const noexcept {
        const auto count = static_cast<std::uint32_t>(group_steps_.size());
        if (count == 1) return group_steps_[0];
        const std::uint32_t u = h.lo() ^ static_cast<std::uint32_t>(salt_);
        const std::uint32_t v = (u << 29) | ((h.hi() ^ static_cast<std::uint32_t>(salt_ >> 32)) >> 3);
        return group_steps_[reduce_mod(v, count, step_reciprocal_)];
    }

    ProbeStart probe_start(MapHash h) const noexcept { return {start_group(h), step(h)}; }

    // The slot holding `key`, comparing keys only on tag matches.  `groups`
    // grows by the number of groups examined.
    std::optional<std::uint32_t> find(const K& key, MapHash h, std::uint32_t& groups) const {
        if (live_ == 0) return std::nullopt;
        const std::uint8_t tag = h.tag();
        std::optional<std::uint32_t> found;
        walk(h, std::min(table_.groups(), max_depth_), groups, [&](std::uint32_t g) {
            const std::uint32_t base = g * GROUP_WIDTH;
            const Group group = Group::load(table_.group(g));
            for (const std::uint32_t j : group.match_tag(tag)) {
                if (KeyOps<K>::equal(table_.slot(base + j)->key, key)) {
                    found = base + j;
                    return true;
                }
            }
            const BitMask never_used = group.match_tag(EMPTY);
            return never_used.any() && base + never_used.lowest() < table_.slots();
        });
        return found;
    }

    // First free slot along the key's sequence within `budget` groups (at
    // least one group is examined).  `groups` grows by the groups examined.
    std::optional<FreeSlot> first_free(MapHash h, std::uint32_t budget, std::uint32_t& groups) const noexcept {
        if (live_ >= table_.slots()) return std::nullopt;
        const std::uint32_t before = groups;
        std::optional<std::uint32_t> found;
        walk(h, std::min(table_.groups(), std::max(budget, 1u)), groups, [&](std::uint32_t g) {
            const BitMask free = match_free(table_.group(g));
            if (free.any() && g * GROUP_WIDTH + free.lowest() < table_.slots()) found = g * GROUP_WIDTH + free.lowest();
            return found.has_value();
        });
        if (!found) return std::nullopt;
        return FreeSlot{*found, groups - before};
    }

    std::optional<FreeSlot> first_free_uniform(MapHash h, std::uint32_t& groups) const noexcept {
        return first_free(h, table_.groups(), groups);
    }

    void place(FreeSlot at, std::uint8_t tag, K&& key, V&& value) noexcept {
        std::construct_at(table_.slot(at.slot), std::move(key), std::move(value));
        table_.set_control(at.slot, tag);
        ++live_;
        max_depth_ = std::max(max_depth_, at.depth);
    }

    // Removal: the entry leaves, a DELETED byte keeps other keys' paths intact.
    Slot take(std::uint32_t slot) noexcept {
        Slot out = move_out(slot);
        table_.set_control(slot, DELETED);
        ++removed_;
        return out;
    }

    // Rebuild: the entry moves to a new map and this level is being drained,
    // never searched again, so the slot simply becomes EMPTY.
    Slot relocate_out(std::uint32_t slot) noexcept {
        Slot out = move_out(slot);
        table_.set_control(slot, EMPTY);
        return out;
    }

    // Releases every entry, slots ascending, key before value.  Control bytes
    // are left as they are: only for a level about to be dropped.
    void release_entries() noexcept {
        for (std::uint32_t g = 0; live_ != 0 && g < table_.groups(); ++g) {
            for (const std::uint32_t j : occupied_in_group(g)) {
                Slot* slot = table_.slot(g * GROUP_WIDTH + j);
                release_entry(slot);
                --live_;
            }
        }
    }

    // Releases every entry; the level is then as new.
    void clear() noexcept {
        release_entries();
        table_.reset_controls();
        live_ = 0;
        removed_ = 0;
        max_depth_ = 0;
    }

private:
    Level(std::uint32_t slots, double reserve_fraction, double probe_scale, std::uint32_t index)
        : table_(slots),
          group_steps_(ProbeOps::build_group_steps(table_.groups())),
          probe_limits_(ProbeLimits::build(slots, table_.groups(), reserve_fraction, probe_scale)),
          fill_threshold_(elastic::fill_threshold(slots, reserve_fraction)),
          salt_((std::uint64_t{index} + 1) * LEVEL_SALT),
          group_reciprocal_(reciprocal(table_.groups())),
          step_reciprocal_(reciprocal(static_cast<std::uint32_t>(group_steps_.size()))) {}

    // Visits up to `limit` (>= 1) groups of the key's sequence until `visit`
    // returns true.  Most walks end in their first group, so the stride (a
    // read from the step list, a cache miss in a large level) is only
    // looked up when the walk goes on.
    template <class Visit>
    void walk(MapHash h, std::uint32_t limit, std::uint32_t& groups, Visit&& visit) const {
        const std::uint32_t first = start_group(h);
        ++groups;
        if (visit(first) || limit <= 1) return;
        GroupWalk sequence(first, step(h), table_.groups());
        for (std::uint32_t n = limit - 1; n != 0; --n) {
            sequence.advance();
            ++groups;
            if (visit(sequence.group())) return;
        }
    }

    Slot move_out(std::uint32_t slot) noexcept {
        Slot& stored = *table_.slot(slot);
        Slot out{std::move(stored.key), std::move(stored.value)};
        std::destroy_at(&stored);
        --live_;
        return out;
    }

    RawTable<Slot> table_;
    std::vector<std::uint32_t> group_steps_;
    ProbeLimits probe_limits_;
    std::uint32_t live_ = 0;
    std::uint32_t removed_ = 0;
    std::uint32_t max_depth_ = 0;  // no key lies further along its sequence
    std::uint32_t fill_threshold_;
    std::uint64_t salt_;
    std::uint64_t group_reciprocal_;
    std::uint64_t step_reciprocal_;
};

}  // namespace quorvel::elastic
