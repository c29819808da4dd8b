// One level of a funnel map: `bucket_count` buckets of `bucket_width` slots.
//
//     table   bucket 0: slots 0 .. R-1 | bucket 1: R .. 2R-1 | ...
//             R is a multiple of 16, so every bucket is a whole number of
//             16-slot groups and starts on a group boundary.
//
// A key's window in the level is its whole bucket,
//     b = (H.lo XOR low word of salt) mod bucket_count,
// reduced with the level's reciprocal (no division on the probe path).
// Placement takes the lowest free slot of the window.  Since an EMPTY byte
// only comes back through clear or rebuild, a window group that still holds
// an EMPTY slot has had a free slot ever since, so no key placed by the
// rules can sit in a later group of the bucket or a later level: a lookup
// ends there.  Removed slots become DELETED and are reused by placements;
// `tombstones` counts removals since the last rebuild or clear.
//
// The level owns its live entries: destroying it releases them in slot order.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "common/hash.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/raw_table.hpp"
#include "common/probe.hpp"
#include "funnel/bucket_sequence.hpp"
#include "funnel/table_scan.hpp"

namespace quorvel {

inline constexpr std::uint64_t LEVEL_SALT_STEP = 0x9E3779B97F4A7C15ull;

template <class K, class V>
struct BucketLevel {
    RawTable<Entry<K, V>> table;
    std::uint32_t len = 0;
    std::uint32_t tombstones = 0;
    std::uint32_t bucket_width = 0;
    std::uint32_t bucket_count = 0;
    std::uint32_t groups_per_bucket = 0;
    std::uint64_t salt = 0;
    std::uint64_t bucket_reciprocal = 0;

    BucketLevel(std::uint32_t index, std::uint32_t buckets, std::uint32_t width)
        : table(funnel_detail::saturate(std::uint64_t{buckets} * width)),
          bucket_width(width),
          bucket_count(buckets),
          groups_per_bucket(width / GROUP_WIDTH),
          salt((std::uint64_t{index} + 1) * LEVEL_SALT_STEP),
          bucket_reciprocal(reciprocal(buckets)) {}

    BucketLevel(BucketLevel&& other) noexcept
        : table(std::move(other.table)),
          len(std::exchange(other.len, 0)),
          tombstones(std::exchange(other.tombstones, 0)),
          bucket_width(other.bucket_width),
          bucket_count(std::exchange(other.bucket_count, 0)),
          groups_per_bucket(other.groups_per_bucket),
          salt(other.salt),
          bucket_reciprocal(other.bucket_reciprocal) {}
    BucketLevel& operator=(BucketLevel&&) = delete;
    BucketLevel(const BucketLevel&) = delete;
    BucketLevel& operator=(const BucketLevel&) = delete;
    ~BucketLevel() {
        if (len != 0) destroy_entries(table);
    }

    std::uint32_t slots() const noexcept { return table.slots(); }
    bool is_full() const noexcept { return len >= table.slots(); }

    // The key's bucket and its first group (bucket_count > 0).  With one
    // bucket the reciprocal is 0 and the reduction gives 0, as it must.
    std::uint32_t window_bucket(MapHash h) const noexcept {
        const std::uint32_t x = h.lo() ^ static_cast<std::uint32_t>(salt);
        return reduce_mod(x, bucket_count, bucket_reciprocal);
    }
    std::uint32_t window_group(MapHash h) const noexcept { return window_bucket(h) * groups_per_bucket; }
    std::uint32_t window_start(MapHash h) const noexcept { return window_group(h) * GROUP_WIDTH; }

    bool in_window(MapHash h, std::uint32_t slot) const noexcept {
        if (bucket_count == 0) return false;
        const std::uint32_t start = window_start(h);
        return slot >= start && slot - start < bucket_width;
    }

    // The lowest free slot of the key's window; `groups` counts the groups read.
    std::optional<std::uint32_t> first_free_in_window(MapHash h, std::uint64_t& groups) const noexcept {
        const std::uint32_t first = window_group(h);
        for (std::uint32_t g = first; g < first + groups_per_bucket; ++g) {
            ++groups;
            const BitMask free = match_free(table.group(g));
            if (free) return g * GROUP_WIDTH + free.lowest();
        }
        return std::nullopt;
    }

    void clear() noexcept {
        if (len != 0) release_entries(table);
        else if (tombstones != 0) table.reset_controls();
        len = 0;
        tombstones = 0;
    }
};

}  // namespace quorvel
