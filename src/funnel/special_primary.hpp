// The special primary: the first half of the area where keys go whose level
// windows are all full.
//
//   table            ceil(S/2) slots in 16-slot groups, probed like a small
//                    open-addressing table: a key walks at most P groups
//                    (P = min(groups, primary probe limit)) from a start group
//                    by a step coprime with the group count, both taken from
//                    H rotated left by 11 bits
//   tag_filters      per group, 128 bits: bit t-1 is set when an entry of tag
//                    t is placed in the group and cleared only by clear or
//                    rebuild, so a group whose filter lacks the key's tag
//                    cannot hold the key and its bytes are not matched
//   group_tombstones per group, removals since the last rebuild or clear
//
// A walk ends at a group holding an EMPTY slot below the slot count:
// placements take the first group with a free slot, so the key cannot be
// further on, nor in the fallback.  The primary owns its live entries and
// releases them in slot order.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/control.hpp"
#include "common/hash.hpp"
#include "common/key.hpp"
#include "common/layout/region.hpp"
#include "common/layout/table_scan.hpp"
#include "common/probe.hpp"
#include "common/probe_counter.hpp"
#include "funnel/bucket_level.hpp"

namespace quorvel {

// The tags (1..127) ever placed in one primary group since the last reset.
struct TagFilter {
    std::uint64_t words[2] = {0, 0};

    void add(std::uint8_t tag) noexcept {
        const unsigned bit = tag - 1u;
        words[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    }
    bool contains(std::uint8_t tag) const noexcept {
        const unsigned bit = tag - 1u;
        return (words[bit >> 6] >> (bit & 63)) & 1;
    }
};

template <MapKey K, class V>
class SpecialPrimary : public Region<K, V> {
    using Region<K, V>::table_;
    using Region<K, V>::len_;

public:
    using EntryType = Entry<K, V>;

    SpecialPrimary() = default;
    SpecialPrimary(std::uint32_t slots, std::uint32_t probe_limit)
        : Region<K, V>(slots),
          tag_filters_(table_.groups()),
          group_tombstones_(table_.groups(), 0),
          group_steps_(ProbeOps::build_group_steps(table_.groups())),
          probe_groups_(std::min(std::max<std::uint32_t>(table_.groups(), 1), probe_limit)),
          group_reciprocal_(reciprocal(table_.groups())),
          step_reciprocal_(reciprocal(static_cast<std::uint32_t>(group_steps_.size()))) {}

    SpecialPrimary(SpecialPrimary&& other) noexcept
        : Region<K, V>(std::move(other)),
          tag_filters_(std::move(other.tag_filters_)),
          group_tombstones_(std::move(other.group_tombstones_)),
          group_steps_(std::move(other.group_steps_)),
          probe_groups_(std::exchange(other.probe_groups_, 0)),
          group_reciprocal_(other.group_reciprocal_),
          step_reciprocal_(other.step_reciprocal_) {}

    std::uint32_t probe_groups() const noexcept { return probe_groups_; }
    const std::vector<TagFilter>& tag_filters() const noexcept { return tag_filters_; }
    const std::vector<std::uint32_t>& group_tombstones() const noexcept { return group_tombstones_; }

    // The key's walk; the caller takes probe_groups steps (slots() > 0).
    GroupWalk probe_walk(MapHash h) const noexcept {
        const std::uint32_t g = this->groups();
        if (g < 2) return GroupWalk(0, 1, 1);
        const std::uint64_t r = std::rotl(h.value, 11);
        const std::uint32_t start = reduce_mod(static_cast<std::uint32_t>(r), g, group_reciprocal_);
        const std::uint32_t pick = reduce_mod(static_cast<std::uint32_t>(r >> 32),
                                              static_cast<std::uint32_t>(group_steps_.size()), step_reciprocal_);
        return GroupWalk(start, group_steps_[pick], g);
    }

    // The key's slot along its walk; `ends` when a group with an EMPTY slot
    // showed that the key is not in the map.
    WindowProbe find(const K& key, MapHash h) const {
        if (len_ == 0 || this->slots() == 0) return {NO_SLOT, false};
        const std::uint8_t tag = h.tag();
        GroupWalk walk = probe_walk(h);
        for (std::uint32_t i = 0; i < probe_groups_; ++i, walk.advance()) {
            ProbeCounter::group();
            const std::uint32_t g = walk.group();
            const Group group = Group::load(table_.group(g));
            if (tag_filters_[g].contains(tag)) {
                for (const std::uint32_t bit : group.match_tag(tag)) {
                    const std::uint32_t slot = g * GROUP_WIDTH + bit;
                    if (KeyOps<K>::equal(table_.slot(slot)->key, key)) return {slot, false};
                }
            }
            if (group.match_tag(EMPTY).bits() & slots_in_group(table_, g)) return {NO_SLOT, true};
        }
        return {NO_SLOT, false};
    }

    // first_free_in_special_primary: the lowest free slot below the slot
    // count in the first group of the walk that has one.
    std::optional<std::uint32_t> first_free(MapHash h) const noexcept {
        if (this->slots() == 0 || this->is_full()) return std::nullopt;
        GroupWalk walk = probe_walk(h);
        for (std::uint32_t i = 0; i < probe_groups_; ++i, walk.advance()) {
            ProbeCounter::group();
            const std::uint32_t g = walk.group();
            if (const BitMask free = free_slot_mask(table_, g)) return g * GROUP_WIDTH + free.lowest();
        }
        return std::nullopt;
    }

    bool in_probe_sequence(MapHash h, std::uint32_t slot) const noexcept {
        if (this->slots() == 0) return false;
        GroupWalk walk = probe_walk(h);
        for (std::uint32_t i = 0; i < probe_groups_; ++i, walk.advance()) {
            if (walk.group() == slot / GROUP_WIDTH) return true;
        }
        return false;
    }

    template <class... Args>
    void place(std::uint32_t slot, std::uint8_t tag, Args&&... args) noexcept {
        this->store(slot, tag, std::forward<Args>(args)...);
        tag_filters_[slot / GROUP_WIDTH].add(tag);
    }

    // Removal, counted in the group's tombstones.  The group's filter keeps
    // the tag.
    EntryType take(std::uint32_t slot) noexcept {
        ++group_tombstones_[slot / GROUP_WIDTH];
        return this->take_out(slot);
    }

    void clear() noexcept {
        this->empty_out();
        reset_after_drain();
    }

    void reset_after_drain() noexcept {
        std::fill(tag_filters_.begin(), tag_filters_.end(), TagFilter{});
        std::fill(group_tombstones_.begin(), group_tombstones_.end(), 0u);
    }

    std::size_t allocated_bytes() const noexcept {
        return Region<K, V>::allocated_bytes() + tag_filters_.capacity() * sizeof(TagFilter) +
               group_tombstones_.capacity() * sizeof(std::uint32_t) + group_steps_.capacity() * sizeof(std::uint32_t);
    }

private:
    std::vector<TagFilter> tag_filters_;
    std::vector<std::uint32_t> group_tombstones_;
    std::vector<std::uint32_t> group_steps_;
    std::uint32_t probe_groups_ = 0;  // P, the most groups one key walks
    std::uint64_t group_reciprocal_ = 0;
    std::uint64_t step_reciprocal_ = 0;
};

}  // namespace quorvel
