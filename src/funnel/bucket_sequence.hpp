// How a funnel map's level slots are split into levels.
//
// The levels hold B buckets in total, spread over α levels so that each
// level has about three quarters of the buckets of the level before it:
// given a level with p buckets, the next one has between
//
//     down(p) = floor((max(3p - 4, 0) + 3) / 4)   and   up(p) = max(floor((3p + 4) / 4), down(p))
//
// buckets, preferring target(p) = floor((3p + 2) / 4).  Both chains are
// monotone and settle quickly: down reaches 0, up settles at a fixed point
// of at most 4 (up(4) = 4, up(0) = 1), so the least and the most the
// remaining levels can take are sums that stop early.
//
// `build_funnel_bucket_sequence` fixes the first level and chooses every
// later level greedily (closest to target among the choices that can still
// reach the total exactly); `level_bucket_counts` searches first-level sizes
// outwards from an estimate until a sequence exists.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "common/errors.hpp"
#include "common/sizing.hpp"

namespace quorvel {

namespace funnel_detail {

constexpr std::uint32_t three_times(std::uint32_t p) noexcept { return saturate_u32(3ull * p); }

constexpr std::uint32_t sequence_down(std::uint32_t p) noexcept {
    const std::uint32_t t = three_times(p);
    return ((t >= 4 ? t - 4 : 0) + 3u) / 4u;
}

constexpr std::uint32_t sequence_up(std::uint32_t p) noexcept {
    return std::max(saturate_u32(std::uint64_t{three_times(p)} + 4) / 4u, sequence_down(p));
}

constexpr std::uint32_t sequence_target(std::uint32_t p) noexcept {
    const std::uint32_t t = saturate_u32(std::uint64_t{three_times(p)} + 2) / 4u;
    return std::clamp(t, sequence_down(p), sequence_up(p));
}

// step(c) + step(step(c)) + ... (k terms); stops walking at a fixed point.
template <class Step>
constexpr std::uint64_t chain_sum(std::uint32_t c, std::uint32_t k, Step step) noexcept {
    std::uint64_t sum = 0;
    std::uint32_t p = c;
    for (std::uint32_t i = 0; i < k; ++i) {
        const std::uint32_t next = step(p);
        if (next == p) return sum + std::uint64_t{k - i} * p;
        sum += next;
        p = next;
    }
    return sum;
}

}  // namespace funnel_detail

// The bucket counts of `levels` levels summing to `total` with `first`
// buckets in level 0, or none when no such sequence follows the rules.
inline std::optional<std::vector<std::uint32_t>> build_funnel_bucket_sequence(
    std::uint32_t total, std::uint32_t levels, std::uint32_t first) {
    using namespace funnel_detail;
    if (levels == 0) return total == 0 ? std::optional(std::vector<std::uint32_t>{}) : std::nullopt;
    if (first > total) return std::nullopt;
    std::vector<std::uint32_t> seq;
    seq.reserve(levels);
    seq.push_back(first);
    std::uint32_t rem = total - first;
    for (std::uint32_t i = 1; i < levels; ++i) {
        const std::uint32_t p = seq.back();
        const std::uint32_t k = levels - 1 - i;
        const std::uint32_t target = sequence_target(p);
        const std::uint32_t last = std::min(sequence_up(p), rem);
        std::optional<std::uint32_t> chosen;
        std::uint32_t best_distance = 0;
        for (std::uint32_t c = sequence_down(p); c <= last; ++c) {
            const std::uint32_t left = rem - c;
            if (left < chain_sum(c, k, sequence_down) || left > chain_sum(c, k, sequence_up)) continue;
            const std::uint32_t distance = c > target ? c - target : target - c;
            if (!chosen || distance < best_distance) {
                chosen = c;
                best_distance = distance;
                if (distance == 0) break;
            }
        }
        if (!chosen) return std::nullopt;
        seq.push_back(*chosen);
        rem -= *chosen;
    }
    if (rem != 0) return std::nullopt;
    return seq;
}

// The bucket counts of the α levels: `bucket_total` buckets of `bucket_width`
// slots, out of `level_slots` slots.  The first level is estimated from the
// geometric series B/4 * (1 + 3/4 + (3/4)^2 + ... ) and the search widens
// around the estimate, smaller first, until a sequence exists.
inline std::vector<std::uint32_t> level_bucket_counts(std::uint32_t bucket_total,
                                                      std::uint32_t level_count,
                                                      std::uint32_t bucket_width,
                                                      std::uint32_t level_slots) {
    if (level_count == 0) return {};
    if (bucket_width == 0 || bucket_width > level_slots) {
        return std::vector<std::uint32_t>(level_count, 0);
    }
    if (level_count > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
        throw InternalError("level count fits in i32");
    }
    const std::uint32_t b = bucket_total;
    // 1 - 0.75^α: for every α up to 90 (δ is clamped, so α never exceeds
    // 90) this difference is the same whether 0.75^α is correctly rounded or
    // the C library's pow, so pow is safe here.
    const double geometric = 1.0 - std::pow(0.75, static_cast<double>(level_count));
    const std::uint32_t estimate =
        geometric <= 0.0
            ? b
            : truncate_to_u32(
                  std::round(std::max(0.0, (static_cast<double>(b) * 0.25) / geometric)));
    for (std::uint64_t d = 0; d <= b; ++d) {
        const std::uint32_t below = estimate > d ? static_cast<std::uint32_t>(estimate - d) : 0;
        if (auto seq = build_funnel_bucket_sequence(b, level_count, below)) return std::move(*seq);
        const auto above = static_cast<std::uint32_t>(std::min<std::uint64_t>(b, estimate + d));
        if (above != below) {
            if (auto seq = build_funnel_bucket_sequence(b, level_count, above)) return std::move(*seq);
        }
    }
    std::vector<std::uint32_t> fallback(level_count, 0);
    fallback[0] = b;
    return fallback;
}

}  // namespace quorvel
