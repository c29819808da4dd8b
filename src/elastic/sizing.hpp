// How a capacity n and a reserve fraction delta become levels and batches.
//
// Levels halve: ceil(n/2), then half of that, and so on, ending in a run of
// 1-slot levels that takes up the rounding, so the sizes sum to n exactly.
// For n = 100: 50, 25, 12, 6, 3, 1, 1, 1, 1.
//
// The map admits max_insertions = n - floor(delta * n) entries before it
// grows.  New keys arrive in batches; batch k fills levels k-1 and k, and
// its quota is what makes level k about three quarters full plus what
// level k-1 still has above its own fill threshold after batch k-1:
//
//     c3(s)     = ceil(3s/4)
//     quota 0   = c3(size 0)
//     quota k   = c3(size k) + max(0, (size k-1 - floor(size k-1 * delta/2)) - c3(size k-1))
//
// then trimmed so that the quotas sum to exactly max_insertions (a final
// quota is appended when they fall short).  So there are as many quotas as
// levels, or one more.
//
// Growth doubles the capacity (16 from 0, 2^32 - 1 from 2^31 on).  A rebuild
// places its entries as insertions would, one growth check each, so a map
// whose max_insertions is below the number of entries it receives grows
// again while they move in (only with a reserve fraction near 1 or at tiny
// capacities).  Whether it does depends on counts alone, so the capacities
// of every map a rebuild passes through are known before anything moves.
//
// Everything here is computed once per build; nothing runs on probe paths.
// The arithmetic saturates at 2^32 - 1 wherever a product could exceed it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "common/sizing.hpp"

namespace quorvel::elastic {

// Slots kept free: floor(delta * n).
inline std::uint32_t reserve_slots(std::uint32_t n, double delta) noexcept {
    return truncate_to_u32(delta * static_cast<double>(n));
}

inline std::uint32_t max_insertions(std::uint32_t n, double delta) noexcept {
    const std::uint32_t reserve = reserve_slots(n, delta);
    return reserve > n ? 0 : n - reserve;
}

// floor((delta * s) * 0.5): as the previous level of a batch, a level with at
// most this many free slots counts as full.
inline std::uint32_t fill_threshold(std::uint32_t slots, double delta) noexcept {
    return truncate_to_u32(delta * static_cast<double>(slots) * 0.5);
}

inline std::vector<std::uint32_t> level_sizes(std::uint32_t n) {
    std::vector<std::uint32_t> sizes;
    std::uint32_t remaining = n;
    std::uint32_t size = n - n / 2;
    while (remaining != 0) {
        size = std::max(std::min(size, remaining), std::uint32_t{1});
        sizes.push_back(size);
        remaining -= size;
        size = std::max(size / 2, std::uint32_t{1});
    }
    return sizes;
}

// ceil(3s/4) as (3s + 3) / 4, each step saturating.
constexpr std::uint32_t three_quarters(std::uint32_t s) noexcept {
    const std::uint64_t triple = saturate_u32(std::uint64_t{3} * s);
    return saturate_u32(triple + 3) / 4;
}

inline std::vector<std::uint32_t> batch_quotas(const std::vector<std::uint32_t>& sizes,
                                               std::uint32_t n, double delta) {
    std::vector<std::uint32_t> quotas;
    if (sizes.empty() || n <= reserve_slots(n, delta)) return quotas;
    const std::uint32_t limit = max_insertions(n, delta);

    quotas.reserve(sizes.size() + 1);
    quotas.push_back(three_quarters(sizes[0]));
    for (std::size_t k = 1; k < sizes.size(); ++k) {
        const std::uint32_t prev = sizes[k - 1];
        const std::uint32_t threshold = fill_threshold(prev, delta);
        const std::uint32_t above = prev > threshold ? prev - threshold : 0;
        const std::uint32_t carry = above > three_quarters(prev) ? above - three_quarters(prev) : 0;
        quotas.push_back(saturate_u32(std::uint64_t{three_quarters(sizes[k])} + carry));
    }

    std::uint64_t running = 0;
    for (std::uint32_t& quota : quotas) {
        if (running >= limit) {
            quota = 0;
            continue;
        }
        quota = static_cast<std::uint32_t>(std::min<std::uint64_t>(quota, limit - running));
        running += quota;
    }
    if (running < limit) quotas.push_back(static_cast<std::uint32_t>(limit - running));
    return quotas;
}

namespace detail {

// The capacity a fresh map of `capacity` ends with once `entries` entries
// were placed in it one by one; appends the capacity of every map built on
// the way.  Up to max_insertions entries go in without growth; the next one
// first moves them all into a map of the grown capacity (which may outgrow
// itself in turn as they move), then goes there.
inline std::uint32_t rebuilt_capacity(std::uint32_t capacity, std::uint32_t entries, double delta,
                                      std::vector<std::uint32_t>& capacities) {
    capacities.push_back(capacity);
    std::uint32_t placed = 0;
    for (;;) {
        placed = std::max(placed, std::min(entries, max_insertions(capacity, delta)));
        if (placed == entries) return capacity;
        // Growing from 2^32 - 1 would rebuild at the same capacity for ever.
        if (capacity == U32_MAX) throw std::bad_alloc();
        capacity = rebuilt_capacity(grown_capacity(capacity), placed, delta, capacities);
        ++placed;
    }
}

}  // namespace detail

// Capacities of the maps a rebuild of `entries` entries at `capacity` fills,
// in order; the last one ends up holding them all.
inline std::vector<std::uint32_t> rebuild_capacities(std::uint32_t capacity, std::uint32_t entries, double delta) {
    std::vector<std::uint32_t> capacities;
    detail::rebuilt_capacity(capacity, entries, delta, capacities);
    return capacities;
}

}  // namespace quorvel::elastic
