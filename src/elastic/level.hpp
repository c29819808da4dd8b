// One level of an elastic map: a slot table and everything a probe needs.
//
//   table             RawTable of s slots in ceil(s/16) groups of 16
//   salt              (index + 1) * 0x9E3779B97F4A7C15, XORed into the map
//                     hash so that each level sends a key somewhere else
//   group_reciprocal  start group = (H.lo ^ salt.lo) mod groups
//   group_steps       strides coprime with the group count; the key picks
//   step_reciprocal   one with bits 35..63 and 0..2 of H ^ salt, so keys
//                     that share a start group usually part at once
//   step_mask         for a power-of-two group count (every level of a
//                     power-of-two capacity but the 1-slot tail): there the
//                     reductions are masks and the step list is the odd
//                     numbers, so the step is computed, not read
//   probe_limits      budgets of the limited probe, by free-slot count
//   fill_threshold    floor(delta * s / 2): at or below this many free
//                     slots the level counts as full for its batch
//   live, removed     occupied slots; removals since last emptied
//   max_depth         the longest walk, in groups, that any placement into
//                     the level took since it was last emptied
//   home_depth        the same per start group: one byte per group, the
//                     longest walk of a placement that started there
//                     (255: at least that long)
//
// Everything but the counters is fixed at construction, so probing
// multiplies by reciprocals and never divides or touches floating point.
//
// Power-of-two group counts.  For n = 2^k groups the reciprocal is exactly
// 2^(64-k), so reduce_mod(u, n) is u mod 2^k = u & (n-1); and the steps
// coprime with n are the n/2 odd numbers 1, 3, ..., n-1, so element i of the
// list is 2i+1.  Such a level therefore keeps no step list at all: start
// group and step are two masks and a shift, with the same values as the
// general path (which a test checks on random hashes), and no random read
// of a side array lies on the probe path.
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
// would walk most of the level.  home_depth sharpens the bound: a key lies
// no further along its sequence than the longest placement that started in
// its start group, and most start groups only ever saw placements that
// stayed in them, so a miss usually leaves a nearly full level after one
// group.  The bound is read only when the first group leaves the question
// open, so that a hit in its start group - most hits - touches nothing but
// that group and its slot.  All these stops give exactly the answer of a
// walk over every group.
//
// The level owns the entries of its occupied slots and releases them in
// slot order, key before value, when it is cleared or dropped.
#pragma once

#include <algorithm>
#include <bit>
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

// A free slot found along a key's sequence, how many groups of the
// sequence were walked to reach it (1: the start group), and the group the
// walk started from.
struct FreeSlot {
    std::uint32_t slot;
    std::uint32_t depth;
    std::uint32_t home;
};

inline constexpr std::uint8_t HOME_DEPTH_SATURATED = 255;

// step_mask of a level whose group count is not a power of two.
inline constexpr std::uint32_t GENERAL_STEPS = 0xFFFF'FFFFu;

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
          home_depth_(std::move(other.home_depth_)),
          live_(std::exchange(other.live_, 0)),
          removed_(std::exchange(other.removed_, 0)),
          max_depth_(std::exchange(other.max_depth_, 0)),
          fill_threshold_(other.fill_threshold_),
          salt_(other.salt_),
          group_reciprocal_(other.group_reciprocal_),
          step_reciprocal_(other.step_reciprocal_),
          group_mask_(other.group_mask_),
          step_mask_(other.step_mask_) {}
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
    bool power_of_two_groups() const noexcept { return step_mask_ != GENERAL_STEPS; }
    // The step list (made on demand when the level computes its steps).
    std::vector<std::uint32_t> group_steps() const {
        return power_of_two_groups() ? ProbeOps::build_group_steps(table_.groups()) : group_steps_;
    }
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
               probe_limits_.allocated_bytes() + home_depth_.capacity();
    }

    // Start group: (H.lo ^ salt.lo) mod groups.
    std::uint32_t start_group(MapHash h) const noexcept {
        const std::uint32_t u = h.lo() ^ static_cast<std::uint32_t>(salt_);
        if (power_of_two_groups()) return u & group_mask_;
        return reduce_mod(u, table_.groups(), group_reciprocal_);
    }

    // Stride: the step list's element at (low word of (H ^ salt) rotated
    // right by 35) mod its length.
    std::uint32_t step(MapHash h) const noexcept {
        const std::uint32_t u = h.lo() ^ static_cast<std::uint32_t>(salt_);
        const std::uint32_t v = (u << 29) | ((h.hi() ^ static_cast<std::uint32_t>(salt_ >> 32)) >> 3);
        if (power_of_two_groups()) return ((v & step_mask_) << 1) | 1;
        const auto count = static_cast<std::uint32_t>(group_steps_.size());
        return count == 1 ? group_steps_[0] : group_steps_[reduce_mod(v, count, step_reciprocal_)];
    }

    ProbeStart probe_start(MapHash h) const noexcept { return {start_group(h), step(h)}; }

    // How many groups of its sequence a key starting in group `home` may lie
    // from it: 0 when no placement started there (the level's longest walk
    // when the byte saturated).
    std::uint32_t home_depth(std::uint32_t home) const noexcept {
        const std::uint8_t depth = home_depth_[home];
        return depth == HOME_DEPTH_SATURATED ? max_depth_ : depth;
    }

    // The walks below stride by hand: a level has at most 2^28 groups (its
    // slot count is 32-bit), so g + stride cannot wrap.

    // The slot holding `key`, comparing keys only on tag matches.  `groups`
    // grows by the number of groups examined.  Written as one loop over
    // local copies of the table's fields and inlined into the map's level
    // loop: it is the hot path of every lookup, and of every insertion.
    [[gnu::always_inline]] std::optional<std::uint32_t> find(const K& key, MapHash h, std::uint32_t& groups) const {
        if (live_ == 0) return std::nullopt;
        const std::uint8_t* const controls = table_.controls();
        const Slot* const slots = table_.slot(0);
        const std::uint32_t slot_count = table_.slots();
        const std::uint32_t group_count = table_.groups();
        const std::uint8_t tag = h.tag();
        const std::uint32_t home = start_group(h);
        std::uint32_t limit = 0;
        std::uint32_t g = home;
        std::uint32_t stride = 0;
        for (std::uint32_t walked = 1;; ++walked) {
            ++groups;
            const std::uint32_t base = g * GROUP_WIDTH;
            const Group group = Group::load(controls + base);
            for (const std::uint32_t j : group.match_tag(tag)) {
                if (KeyOps<K>::equal(slots[base + j].key, key)) return base + j;
            }
            const BitMask never_used = group.match_tag(EMPTY);
            if (never_used.any() && base + never_used.lowest() < slot_count) return std::nullopt;
            // Most walks end in their first group: the bound and the stride
            // (reads from side arrays) are only looked up when it goes on.
            if (walked == 1) limit = std::min(group_count, home_depth(home));
            if (walked >= limit) return std::nullopt;
            if (stride == 0) stride = step(h);
            g = g + stride >= group_count ? g + stride - group_count : g + stride;
        }
    }

    // First free slot along the key's sequence within `budget` groups (at
    // least one group is examined).  `groups` grows by the groups examined.
    std::optional<FreeSlot> first_free(MapHash h, std::uint32_t budget, std::uint32_t& groups) const noexcept {
        const std::uint32_t slot_count = table_.slots();
        if (live_ >= slot_count) return std::nullopt;
        const std::uint8_t* const controls = table_.controls();
        const std::uint32_t group_count = table_.groups();
        const std::uint32_t limit = std::min(group_count, budget);
        const std::uint32_t home = start_group(h);
        std::uint32_t g = home;
        std::uint32_t stride = 0;
        for (std::uint32_t walked = 1;; ++walked) {
            ++groups;
            const std::uint32_t base = g * GROUP_WIDTH;
            const BitMask free = match_free(controls + base);
            if (free.any() && base + free.lowest() < slot_count) return FreeSlot{base + free.lowest(), walked, home};
            if (walked >= limit) return std::nullopt;
            if (stride == 0) stride = step(h);
            g = g + stride >= group_count ? g + stride - group_count : g + stride;
        }
    }

    std::optional<FreeSlot> first_free_uniform(MapHash h, std::uint32_t& groups) const noexcept {
        return first_free(h, table_.groups(), groups);
    }

    void place(FreeSlot at, std::uint8_t tag, K&& key, V&& value) noexcept {
        std::construct_at(table_.slot(at.slot), std::move(key), std::move(value));
        table_.set_control(at.slot, tag);
        ++live_;
        max_depth_ = std::max(max_depth_, at.depth);
        std::uint8_t& home = home_depth_[at.home];
        const auto depth = static_cast<std::uint8_t>(std::min<std::uint32_t>(at.depth, HOME_DEPTH_SATURATED));
        if (depth > home) home = depth;
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
        std::fill(home_depth_.begin(), home_depth_.end(), std::uint8_t{0});
        live_ = 0;
        removed_ = 0;
        max_depth_ = 0;
    }

private:
    Level(std::uint32_t slots, double reserve_fraction, double probe_scale, std::uint32_t index)
        : table_(slots),
          group_steps_(has_power_of_two_groups(table_.groups()) ? std::vector<std::uint32_t>{}
                                                               : ProbeOps::build_group_steps(table_.groups())),
          probe_limits_(ProbeLimits::build(slots, table_.groups(), reserve_fraction, probe_scale)),
          home_depth_(table_.groups(), std::uint8_t{0}),
          fill_threshold_(elastic::fill_threshold(slots, reserve_fraction)),
          salt_((std::uint64_t{index} + 1) * LEVEL_SALT),
          group_reciprocal_(reciprocal(table_.groups())),
          step_reciprocal_(reciprocal(step_count(table_.groups()))),
          group_mask_(table_.groups() <= 1 ? 0 : table_.groups() - 1),
          step_mask_(has_power_of_two_groups(table_.groups()) ? step_count(table_.groups()) - 1 : GENERAL_STEPS) {}

    // 0 and 1 groups count as a power of two: start group 0, step 1.
    static bool has_power_of_two_groups(std::uint32_t groups) noexcept {
        return groups <= 1 || std::has_single_bit(groups);
    }
    // Length of the step list: n/2 odd steps for n = 2^k >= 2, phi(n) otherwise.
    std::uint32_t step_count(std::uint32_t groups) const noexcept {
        if (has_power_of_two_groups(groups)) return groups <= 2 ? 1 : groups / 2;
        return static_cast<std::uint32_t>(group_steps_.size());
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
    std::vector<std::uint8_t> home_depth_;  // per start group; see the top of the file
    std::uint32_t live_ = 0;
    std::uint32_t removed_ = 0;
    std::uint32_t max_depth_ = 0;  // no key lies further along its sequence
    std::uint32_t fill_threshold_;
    std::uint64_t salt_;
    std::uint64_t group_reciprocal_;
    std::uint64_t step_reciprocal_;
    std::uint32_t group_mask_;  // groups - 1 (0 below 2 groups); used when step_mask_ is
    std::uint32_t step_mask_;   // a mask: step list length - 1, or GENERAL_STEPS
};

}  // namespace quorvel::elastic
