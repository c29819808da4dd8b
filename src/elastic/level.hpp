// One level of an elastic map: a slot table and everything a probe needs.
//
//   table             RawTable of s slots in ceil(s/16) groups of 16
//   salt              level_salt(index), XORed into the map hash so that
//                     each level sends a key somewhere else
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
//   deepest           the longest walk, in groups, that any placement into
//                     the level took since it was last emptied
//   bounds            per start group and hash class, how deep a key of
//                     the level can lie (lookup_bounds.hpp)
//
// Everything but the counters is fixed at construction, so probing
// multiplies by reciprocals and never divides or touches floating point.
//
// Power-of-two group counts.  For n = 2^k groups the reciprocal is exactly
// 2^(64-k), so reduce_mod(u, n) is u mod 2^k = u & (n-1); and the steps
// coprime with n are the n/2 odd numbers 1, 3, ..., n-1, so element i of the
// list is 2i+1.  Such a level therefore keeps no step list at all: start
// group and step are two masks and a shift, with the same values as the
// general path (which a test checks on random hashes).
//
// Why DELETED, and why a search may still stop early.  A removal writes
// DELETED, which placement treats as free but a search does not treat as an
// end: keys placed while that slot was full may lie further along their
// sequences, and they stay reachable without moving anything.  An EMPTY
// byte, though, does end a search, whatever `removed` says: EMPTY only comes
// back through clear or rebuild, and every placement takes the first free
// slot along the key's sequence (or along a prefix of it), so no key of this
// level lies past a group that holds an EMPTY slot.  For the same reason no
// key lies deeper along its sequence than the deepest placement that started
// from its start group, which its cell's bound records: a search stops there
// too.  The bound is read only when the start group leaves the question
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
#include "common/layout/region.hpp"
#include "common/layout/table_scan.hpp"
#include "common/probe.hpp"
#include "common/probe_counter.hpp"
#include "common/sizing.hpp"
#include "elastic/lookup_bounds.hpp"
#include "elastic/probe_limits.hpp"
#include "elastic/sizing.hpp"

namespace quorvel::elastic {

// A free slot found along a key's sequence, how many groups of the sequence
// were walked to reach it (1: the start group), and the key's bound cell.
// Slot NO_SLOT: none found (a plain value, not an optional, for the reason
// free_in_group gives).
struct FreeSlot {
    std::uint32_t slot = NO_SLOT;
    std::uint32_t depth = 0;
    std::uint32_t cell = 0;

    explicit operator bool() const noexcept { return slot != NO_SLOT; }
};

// Where a key's walk through one level stands: the group it is at and how
// it strides.  The walks below stride by hand: a level has at most 2^28
// groups (its slot count is 32-bit), so g + stride cannot wrap.
struct LevelWalk {
    std::uint32_t group;
    std::uint32_t stride;
};

// step_mask of a level whose group count is not a power of two.
inline constexpr std::uint32_t GENERAL_STEPS = 0xFFFF'FFFFu;

template <MapKey K, class V>
class Level : public Region<K, V> {
    using Region<K, V>::table_;
    using Region<K, V>::len_;

public:
    using EntryType = Entry<K, V>;

    static Level with_capacity(std::uint32_t slots, double reserve_fraction, double probe_scale,
                               std::uint32_t index) {
        return Level(slots, reserve_fraction, probe_scale, index);
    }

    Level(Level&& other) noexcept
        : Region<K, V>(std::move(other)),
          group_mask_(other.group_mask_),
          step_mask_(other.step_mask_),
          salt_(other.salt_),
          bounds_(std::move(other.bounds_)),
          deepest_(std::exchange(other.deepest_, 0)),
          group_reciprocal_(other.group_reciprocal_),
          group_steps_(std::move(other.group_steps_)),
          step_reciprocal_(other.step_reciprocal_),
          probe_limits_(std::move(other.probe_limits_)),
          bound_sum_(std::exchange(other.bound_sum_, 0)),
          fill_threshold_(other.fill_threshold_) {}
    Level& operator=(Level&&) = delete;

    std::uint32_t live() const noexcept { return len_; }
    std::uint32_t removed() const noexcept { return this->removals(); }
    std::uint32_t fill_threshold() const noexcept { return fill_threshold_; }
    std::uint32_t deepest() const noexcept { return deepest_; }
    std::uint64_t salt() const noexcept { return salt_; }
    std::uint64_t group_reciprocal() const noexcept { return group_reciprocal_; }
    std::uint64_t step_reciprocal() const noexcept { return step_reciprocal_; }
    bool power_of_two_groups() const noexcept { return step_mask_ != GENERAL_STEPS; }
    // The step list (made on demand when the level computes its steps).
    std::vector<std::uint32_t> group_steps() const {
        return power_of_two_groups() ? ProbeOps::build_group_steps(table_.groups()) : group_steps_;
    }
    const ProbeLimits& probe_limits() const noexcept { return probe_limits_; }
    std::size_t allocated_bytes() const noexcept {
        return Region<K, V>::allocated_bytes() + group_steps_.capacity() * sizeof(std::uint32_t) +
               probe_limits_.allocated_bytes() + bounds_.allocated_bytes();
    }

    // ---- the probe sequence ---------------------------------------------------

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

    // The walk at `depth` groups along the key's sequence (depth >= 1).
    LevelWalk walk_at(MapHash h, std::uint32_t depth) const noexcept {
        const std::uint32_t stride = step(h);
        const std::uint64_t group = (std::uint64_t{start_group(h)} + std::uint64_t{depth - 1} * stride) % table_.groups();
        return {static_cast<std::uint32_t>(group), stride};
    }
    void advance(LevelWalk& w) const noexcept {
        const std::uint32_t next = w.group + w.stride;
        w.group = next >= table_.groups() ? next - table_.groups() : next;
    }

    // The deepest a key of this level hashing to h can lie (at least one:
    // its start group).
    std::uint32_t bound(MapHash h) const noexcept {
        return std::max<std::uint32_t>(1, bounds_.bound(LookupBounds::cell(start_group(h), h), deepest_));
    }
    const LookupBounds& lookup_bounds() const noexcept { return bounds_; }

    // ---- lookup -------------------------------------------------------------------

    // The slot holding `key`, or NO_SLOT; keys are compared only on tag
    // matches.  `needle` is the key's tag as Group::needle made it.  Most
    // lookups end in their start group - a hit, or a group with a never-used
    // slot - so that part is inlined into the map's level loop with nothing
    // else in it; the bound and the stride are looked up only when the walk
    // goes on.
    [[gnu::always_inline]] std::uint32_t find(const K& key, MapHash h, Group::Needle needle) const {
        const StartGroup start = start_of(h, needle);
        const EntryType* const slots = table_.slot(0);
        for (const std::uint32_t j : BitMask(start.matches)) {
            if (KeyOps<K>::equal(slots[start.base + j].key, key)) return start.base + j;
        }
        return find_past_start(key, h, needle, start);
    }

    // What a lookup reads from its start group: where the group begins, the
    // slots whose tag matches and those never used.
    struct StartGroup {
        std::uint32_t base;
        std::uint32_t matches;
        std::uint32_t never_used;
    };
    [[gnu::always_inline]] StartGroup start_of(MapHash h, Group::Needle needle) const noexcept {
        const std::uint32_t base = start_group(h) * GROUP_WIDTH;
        ProbeCounter::group();
        const Group group = Group::load(table_.controls() + base);
        return {base, group.match(needle).bits(), group.match_tag(EMPTY).bits()};
    }

    // find's walk past its start group, whose candidates were compared.
    [[gnu::always_inline]] std::uint32_t find_past_start(const K& key, MapHash h, Group::Needle needle,
                                                         StartGroup start) const {
        const BitMask never_used(start.never_used);
        if (never_used.any() && never_used.lowest() < table_.slots() - start.base) return NO_SLOT;
        const std::uint32_t home = start.base / GROUP_WIDTH;
        const std::uint32_t cell = LookupBounds::cell(home, h);
        if (bounds_.within_start_group(cell)) return NO_SLOT;
        const std::uint32_t limit = std::min(table_.groups(), bounds_.bound(cell, deepest_));
        if (limit <= 1) return NO_SLOT;
        return find_deeper(key, h, needle, home, limit);
    }

    // The rest of find's walk, from the second group of the sequence to `limit`.
    [[gnu::noinline]] std::uint32_t find_deeper(const K& key, MapHash h, Group::Needle needle, std::uint32_t g,
                                                std::uint32_t limit) const {
        const std::uint8_t* const controls = table_.controls();
        const EntryType* const slots = table_.slot(0);
        const std::uint32_t slot_count = table_.slots();
        const std::uint32_t group_count = table_.groups();
        const std::uint32_t stride = step(h);
        for (std::uint32_t walked = 2; walked <= limit; ++walked) {
            g = g + stride >= group_count ? g + stride - group_count : g + stride;
            ProbeCounter::group();
            const std::uint32_t base = g * GROUP_WIDTH;
            const Group group = Group::load(controls + base);
            for (const std::uint32_t j : group.match(needle)) {
                if (KeyOps<K>::equal(slots[base + j].key, key)) return base + j;
            }
            const BitMask never_used = group.match_tag(EMPTY);
            if (never_used.any() && never_used.lowest() < slot_count - base) return NO_SLOT;
        }
        return NO_SLOT;
    }

    // ---- placement ----------------------------------------------------------------

    // The lowest free slot of group g, if one is below the slot count (a
    // free position past it can only be a spare one of the last group, and
    // then every real slot of that group is full); else NO_SLOT.  A plain
    // index, not an optional: the walks that call it wrap its answer once
    // more, and two layers of optional cost the placement an extra test.
    [[gnu::always_inline]] std::uint32_t free_in_group(std::uint32_t g) const noexcept {
        ProbeCounter::group();
        const std::uint32_t base = g * GROUP_WIDTH;
        const BitMask free = Group::load(table_.controls() + base).match_free();
        if (!free || free.lowest() >= table_.slots() - base) return NO_SLOT;
        return base + free.lowest();
    }

    // First free slot along the key's sequence within `budget` groups (at
    // least one group is examined).
    [[gnu::always_inline]] FreeSlot first_free(MapHash h, std::uint32_t budget) const noexcept {
        if (len_ >= table_.slots()) return {};
        std::uint32_t g = start_group(h);
        const std::uint32_t cell = LookupBounds::cell(g, h);
        if (const std::uint32_t slot = free_in_group(g); slot != NO_SLOT) return FreeSlot{slot, 1, cell};
        const std::uint32_t limit = std::min(table_.groups(), budget);
        if (limit <= 1) return {};
        return first_free_deeper(h, g, cell, limit);
    }

    // The rest of first_free's walk, from the second group to `limit`.
    [[gnu::noinline]] FreeSlot first_free_deeper(MapHash h, std::uint32_t g, std::uint32_t cell,
                                                 std::uint32_t limit) const noexcept {
        const std::uint32_t stride = step(h);
        const std::uint32_t group_count = table_.groups();
        for (std::uint32_t walked = 2; walked <= limit; ++walked) {
            g = g + stride >= group_count ? g + stride - group_count : g + stride;
            if (const std::uint32_t slot = free_in_group(g); slot != NO_SLOT) return FreeSlot{slot, walked, cell};
        }
        return {};
    }

    [[gnu::always_inline]] FreeSlot first_free_uniform(MapHash h) const noexcept {
        return first_free(h, table_.groups());
    }

    // Stores the entry in a free slot; returns how many groups the bound of
    // the key's cell grew by.
    std::uint32_t place(FreeSlot at, std::uint8_t tag, K&& key, V&& value) noexcept {
        this->store(at.slot, tag, std::move(key), std::move(value));
        deepest_ = std::max(deepest_, at.depth);
        const std::uint32_t raise = bounds_.note(at.cell, at.depth, deepest_);
        bound_sum_ += raise;
        return raise;
    }

    // The groups a miss in this level walks at most, on average over the
    // cells (a cell's bound, counted as at least the start group).
    double mean_bound() const noexcept {
        return bounds_.cells() == 0 ? 0.0 : static_cast<double>(bound_sum_) / bounds_.cells();
    }

    // Releases every entry; the level is then as new.
    void clear() noexcept {
        this->empty_out();
        reset_after_drain();
    }

    // After a rebuild drained every entry: the level is as new without a
    // pass over its control bytes (the drain left them EMPTY).
    void reset_after_drain() noexcept {
        bounds_.clear();
        bound_sum_ = bounds_.cells();
        this->forget_removals();
        deepest_ = 0;
    }

private:
    Level(std::uint32_t slots, double reserve_fraction, double probe_scale, std::uint32_t index)
        : Region<K, V>(slots),
          group_mask_(table_.groups() <= 1 ? 0 : table_.groups() - 1),
          step_mask_(has_power_of_two_groups(table_.groups()) ? step_count(table_.groups()) - 1 : GENERAL_STEPS),
          salt_(level_salt(index)),
          bounds_(table_.groups()),
          group_reciprocal_(reciprocal(table_.groups())),
          group_steps_(has_power_of_two_groups(table_.groups()) ? std::vector<std::uint32_t>{}
                                                               : ProbeOps::build_group_steps(table_.groups())),
          step_reciprocal_(reciprocal(step_count(table_.groups()))),
          probe_limits_(ProbeLimits::build(slots, table_.groups(), reserve_fraction, probe_scale)),
          bound_sum_(bounds_.cells()),
          fill_threshold_(elastic::fill_threshold(slots, reserve_fraction)) {}

    // 0 and 1 groups count as a power of two: start group 0, step 1.
    static bool has_power_of_two_groups(std::uint32_t groups) noexcept {
        return groups <= 1 || std::has_single_bit(groups);
    }
    // Length of the step list: n/2 odd steps for n = 2^k >= 2, phi(n) otherwise.
    std::uint32_t step_count(std::uint32_t groups) const noexcept {
        if (has_power_of_two_groups(groups)) return groups <= 2 ? 1 : groups / 2;
        return static_cast<std::uint32_t>(group_steps_.size());
    }

    // What every lookup reads comes first, next to the table, so that a
    // level's probe touches one cache line of it.
    std::uint32_t group_mask_;  // groups - 1 (0 below 2 groups); used when step_mask_ is
    std::uint32_t step_mask_;   // a mask: step list length - 1, or GENERAL_STEPS
    std::uint64_t salt_;
    LookupBounds bounds_;
    std::uint32_t deepest_ = 0;  // no key lies further along its sequence
    std::uint64_t group_reciprocal_;
    std::vector<std::uint32_t> group_steps_;
    std::uint64_t step_reciprocal_;
    // What placements read.
    ProbeLimits probe_limits_;
    std::uint64_t bound_sum_ = 0;  // sum over cells of max(1, bound)
    std::uint32_t fill_threshold_;
};

}  // namespace quorvel::elastic
