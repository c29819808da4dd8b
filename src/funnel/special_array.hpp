// The special array: where keys go whose level windows are all full.
//
// It has two halves, each one RawTable:
//
//   SpecialPrimary   ceil(S/2) slots in 16-slot groups, probed like a small
//                    open-addressing table.  A key walks at most P groups
//                    (P = min(groups, primary probe limit)) from a start group
//                    by a step coprime with the group count, both taken from
//                    H rotated left by 11 bits.  Each group keeps
//                      - a 128-bit tag filter: bit t-1 is set when an entry of
//                        tag t is placed in the group and cleared only by clear
//                        or rebuild, so a group whose filter lacks the key's
//                        tag cannot hold the key and its bytes are not matched;
//                      - a tombstone counter: removals from the group since the
//                        last rebuild or clear (five of them trigger a rebuild).
//                    A walk ends at a group holding an EMPTY slot below the
//                    slot count: placements take the first group with a free
//                    slot, so the key cannot be further on.
//
//   SpecialFallback  floor(S/2) slots cut into buckets of w = max(2, 2P) slots
//                    (the last one may be short).  A key has two buckets,
//                    chosen from H rotated left by 19 and by 5 bits; it is
//                    placed in the lowest free slot of the first, else of the
//                    second.  Free slots never end a fallback search: the two
//                    buckets are always both scanned.
//
// Both halves own their live entries and release them in slot order.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/control.hpp"
#include "common/hash.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/raw_table.hpp"
#include "common/probe.hpp"
#include "funnel/table_scan.hpp"

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

inline constexpr std::uint32_t PRIMARY_GROUP_TOMBSTONE_LIMIT = 5;

template <class K, class V>
struct SpecialPrimary {
    RawTable<Entry<K, V>> table;
    std::vector<TagFilter> tag_filters;
    std::vector<std::uint32_t> group_tombstones;
    std::vector<std::uint32_t> group_steps;
    std::uint32_t len = 0;
    std::uint32_t probe_groups = 0;  // P, the most groups one key walks
    std::uint64_t group_reciprocal = 0;
    std::uint64_t step_reciprocal = 0;

    SpecialPrimary() = default;
    SpecialPrimary(std::uint32_t slots, std::uint32_t probe_limit)
        : table(slots),
          tag_filters(table.groups()),
          group_tombstones(table.groups(), 0),
          group_steps(ProbeOps::build_group_steps(table.groups())),
          probe_groups(std::min(std::max<std::uint32_t>(table.groups(), 1), probe_limit)),
          group_reciprocal(reciprocal(table.groups())),
          step_reciprocal(reciprocal(static_cast<std::uint32_t>(group_steps.size()))) {}

    SpecialPrimary(SpecialPrimary&& other) noexcept
        : table(std::move(other.table)),
          tag_filters(std::move(other.tag_filters)),
          group_tombstones(std::move(other.group_tombstones)),
          group_steps(std::move(other.group_steps)),
          len(std::exchange(other.len, 0)),
          probe_groups(std::exchange(other.probe_groups, 0)),
          group_reciprocal(other.group_reciprocal),
          step_reciprocal(other.step_reciprocal) {}
    SpecialPrimary& operator=(SpecialPrimary&&) = delete;
    SpecialPrimary(const SpecialPrimary&) = delete;
    SpecialPrimary& operator=(const SpecialPrimary&) = delete;
    ~SpecialPrimary() {
        if (len != 0) destroy_entries(table);
    }

    std::uint32_t slots() const noexcept { return table.slots(); }
    std::uint32_t groups() const noexcept { return table.groups(); }
    bool is_full() const noexcept { return len >= table.slots(); }

    // The key's walk; the caller takes probe_groups steps (slots() > 0).
    GroupWalk probe_walk(MapHash h) const noexcept {
        const std::uint32_t g = groups();
        if (g < 2) return GroupWalk(0, 1, 1);
        const std::uint64_t r = std::rotl(h.value, 11);
        const std::uint32_t start = reduce_mod(static_cast<std::uint32_t>(r), g, group_reciprocal);
        const std::uint32_t pick = reduce_mod(static_cast<std::uint32_t>(r >> 32),
                                              static_cast<std::uint32_t>(group_steps.size()),
                                              step_reciprocal);
        return GroupWalk(start, group_steps[pick], g);
    }

    // first_free_in_special_primary: the lowest free slot below the slot
    // count in the first group of the walk that has one.
    std::optional<std::uint32_t> first_free(MapHash h, std::uint64_t& groups) const noexcept {
        if (slots() == 0 || is_full()) return std::nullopt;
        GroupWalk walk = probe_walk(h);
        for (std::uint32_t i = 0; i < probe_groups; ++i, walk.advance()) {
            ++groups;
            const std::uint32_t g = walk.group();
            const BitMask free(match_free(table.group(g)).bits() & slots_in_group(table, g));
            if (free) return g * GROUP_WIDTH + free.lowest();
        }
        return std::nullopt;
    }

    bool in_probe_sequence(MapHash h, std::uint32_t slot) const noexcept {
        if (slots() == 0) return false;
        GroupWalk walk = probe_walk(h);
        for (std::uint32_t i = 0; i < probe_groups; ++i, walk.advance()) {
            if (walk.group() == slot / GROUP_WIDTH) return true;
        }
        return false;
    }

    void clear() noexcept {
        release_entries(table);
        std::fill(tag_filters.begin(), tag_filters.end(), TagFilter{});
        std::fill(group_tombstones.begin(), group_tombstones.end(), 0u);
        len = 0;
    }

    std::size_t allocated_bytes() const noexcept {
        return table.allocated_bytes() + tag_filters.capacity() * sizeof(TagFilter) +
               group_tombstones.capacity() * sizeof(std::uint32_t) +
               group_steps.capacity() * sizeof(std::uint32_t);
    }
};

template <class K, class V>
struct SpecialFallback {
    RawTable<Entry<K, V>> table;
    std::uint32_t len = 0;
    std::uint32_t tombstones = 0;
    std::uint32_t bucket_width = 2;
    std::uint32_t bucket_count = 0;
    std::uint64_t bucket_reciprocal = 0;

    struct Bucket {
        std::uint32_t begin;
        std::uint32_t end;
    };

    SpecialFallback() = default;
    SpecialFallback(std::uint32_t slots, std::uint32_t width, std::uint32_t buckets)
        : table(slots), bucket_width(width), bucket_count(buckets), bucket_reciprocal(reciprocal(buckets)) {}

    SpecialFallback(SpecialFallback&& other) noexcept
        : table(std::move(other.table)),
          len(std::exchange(other.len, 0)),
          tombstones(std::exchange(other.tombstones, 0)),
          bucket_width(other.bucket_width),
          bucket_count(std::exchange(other.bucket_count, 0)),
          bucket_reciprocal(other.bucket_reciprocal) {}
    SpecialFallback& operator=(SpecialFallback&&) = delete;
    SpecialFallback(const SpecialFallback&) = delete;
    SpecialFallback& operator=(const SpecialFallback&) = delete;
    ~SpecialFallback() {
        if (len != 0) destroy_entries(table);
    }

    std::uint32_t slots() const noexcept { return table.slots(); }
    bool is_full() const noexcept { return len >= table.slots(); }

    // The key's two buckets (bucket_count > 0); they may be the same bucket.
    Bucket first_bucket(MapHash h) const noexcept {
        return bucket(static_cast<std::uint32_t>(std::rotl(h.value, 19)));
    }
    Bucket second_bucket(MapHash h) const noexcept {
        return bucket(static_cast<std::uint32_t>(std::rotl(h.value, 5) >> 32));
    }

    // The lowest free slot of the first bucket, else of the second.
    std::optional<std::uint32_t> first_free(MapHash h, std::uint64_t& groups) const noexcept {
        if (slots() == 0 || is_full() || bucket_count == 0) return std::nullopt;
        for (const Bucket b : {first_bucket(h), second_bucket(h)}) {
            ++groups;
            for (std::uint32_t s = b.begin; s < b.end; ++s) {
                if (is_free(table.control(s))) return s;
            }
        }
        return std::nullopt;
    }

    bool in_buckets(MapHash h, std::uint32_t slot) const noexcept {
        if (bucket_count == 0) return false;
        const Bucket a = first_bucket(h), b = second_bucket(h);
        return (slot >= a.begin && slot < a.end) || (slot >= b.begin && slot < b.end);
    }

    void clear() noexcept {
        release_entries(table);
        len = 0;
        tombstones = 0;
    }

private:
    Bucket bucket(std::uint32_t word) const noexcept {
        const std::uint64_t begin = std::uint64_t{reduce_mod(word, bucket_count, bucket_reciprocal)} * bucket_width;
        const std::uint64_t end = std::min<std::uint64_t>(begin + bucket_width, slots());
        return {static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end)};
    }
};

}  // namespace quorvel
