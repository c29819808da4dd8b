// Every size of a funnel map, derived from its options.
//
// A map of capacity n has exactly n slots:
//
//     levels     α levels of equal-width buckets (R slots each, R a multiple
//                of 16), about 3/4 as many buckets per level as the level
//                before; L_total slots in all, a multiple of R
//     primary    ceil(S/2) slots, probed by 16-slot groups
//     fallback   floor(S/2) slots, buckets of max(2, 2 * probe limit) slots
//
// with S = n - L_total the special size.  From the reserve fraction δ
// (sanitised as funnel/options.hpp says: in [MIN_RESERVE_FRACTION,
// FUNNEL_MAX_RESERVE_FRACTION]): α = ceil(4 log2(1/δ) + 10) levels and
// R = ceil(2 log2(1/δ)) rounded up to 16.  S is chosen near 3δn/8: first
// any S in [δn/2, 3δn/4] leaving a multiple of R for the levels (largest
// first), else the candidate n - kR nearest to 5δn/8.  The map takes
// n - floor(nδ) keys before it grows.
//
// Every floating-point expression is evaluated in double precision in the
// order written, and log2 is correctly rounded, because each ends in a
// ceiling, floor or rounding that decides a size: two builds of the same
// options must give the same shape on every platform.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "funnel/bucket_sequence.hpp"
#include "common/log2.hpp"
#include "funnel/options.hpp"

namespace quorvel {

struct FunnelShape {
    std::uint32_t capacity = 0;
    double reserve_fraction = DEFAULT_RESERVE_FRACTION;  // δ after sanitising
    std::uint32_t level_count = 0;  // α
    std::uint32_t bucket_width = 0;  // R
    std::uint32_t primary_probe_limit = 1;
    std::uint32_t special_size = 0;  // S
    std::uint32_t primary_slots = 0;
    std::uint32_t fallback_slots = 0;
    std::uint32_t fallback_bucket_width = 2;
    std::uint32_t fallback_bucket_count = 0;
    std::vector<std::uint32_t> level_bucket_counts;  // α entries
    std::uint32_t max_insertions = 0;
};

namespace funnel_detail {

inline double sanitise_reserve_fraction(double value) noexcept {
    return std::min(FUNNEL_MAX_RESERVE_FRACTION, effective_reserve_fraction(value));
}

inline std::uint32_t round_up_to_group(std::uint32_t v) noexcept {
    return saturate_u32((std::uint64_t{v} + 15) / 16 * 16);
}

// The default limit grows like log2(log2 n): 1 up to n = 4, 4 around n = 1000.
inline std::uint32_t primary_probe_limit(std::uint32_t capacity,
                                         std::optional<std::uint32_t> given) noexcept {
    std::uint32_t limit = 0;
    if (given) {
        limit = *given;
    } else {
        const double x = capacity >= 5 ? static_cast<double>(capacity) : 4.0;
        const double inner = std::max(log2_correctly_rounded(x), 2.0);
        limit = truncate_to_u32(std::max(1.0, std::ceil(log2_correctly_rounded(inner))));
    }
    return limit == 0 ? 1 : limit;
}

// S, the special size, before it absorbs the slots the levels cannot use.
inline std::uint32_t preferred_special_size(std::uint32_t n, double delta, std::uint32_t w) noexcept {
    if (n == 0) return 0;
    const double dn = static_cast<double>(n);
    const std::uint32_t p_min = std::min(n, truncate_to_u32(std::ceil((delta * dn) * 0.5)));
    const std::uint32_t p_max = truncate_to_u32(std::floor(((3.0 * delta) * dn) * 0.25));
    if (p_max >= p_min) {
        // At most w steps until n - p is a multiple of w.
        for (std::uint32_t p = std::min(p_max, n);; --p) {
            if ((n - p) % w == 0) return p;
            if (p == p_min) break;
        }
    }
    const std::uint32_t target =
        truncate_to_u32(std::round(std::min(dn, std::max(0.0, ((5.0 * delta) * dn) * 0.125))));
    // Candidates n, n - w, n - 2w, ... descend; the nearest to the target is
    // the last one at or above it or the first one below, the larger on a tie.
    if (target >= n) return n;
    const std::uint32_t above = n - (n - target) / w * w;  // >= target
    if (above - target == 0 || above < w) return above;
    const std::uint32_t below = above - w;
    return above - target <= target - below ? above : below;
}

}  // namespace funnel_detail

inline FunnelShape funnel_shape(const FunnelOptions& options) {
    using namespace funnel_detail;
    FunnelShape shape;
    const std::uint32_t n = options.capacity;
    shape.capacity = n;
    const double delta = sanitise_reserve_fraction(options.reserve_fraction);
    shape.reserve_fraction = delta;
    const double l = log2_correctly_rounded(1.0 / delta);
    shape.level_count = truncate_to_u32(std::ceil(std::max(4.0 * l + 10.0, 1.0)));
    shape.bucket_width = round_up_to_group(truncate_to_u32(std::ceil(std::max(2.0 * l, 1.0))));
    shape.primary_probe_limit = primary_probe_limit(n, options.primary_probe_limit);

    const std::uint32_t w = std::max<std::uint32_t>(shape.bucket_width, 1);
    const std::uint32_t preferred = preferred_special_size(n, delta, w);
    const std::uint32_t level_slots = (n > preferred ? n - preferred : 0) / w * w;
    shape.special_size = n - level_slots;

    const std::uint32_t bucket_total = shape.bucket_width == 0 ? 0 : level_slots / shape.bucket_width;
    shape.level_bucket_counts =
        level_bucket_counts(bucket_total, shape.level_count, shape.bucket_width, level_slots);

    shape.fallback_slots = shape.special_size / 2;
    shape.primary_slots = shape.special_size - shape.fallback_slots;
    shape.fallback_bucket_width = std::max<std::uint32_t>(2, saturate_u32(2ull * shape.primary_probe_limit));
    shape.fallback_bucket_count = static_cast<std::uint32_t>(
        (std::uint64_t{shape.fallback_slots} + shape.fallback_bucket_width - 1) / shape.fallback_bucket_width);

    const std::uint32_t reserved = truncate_to_u32(std::floor(static_cast<double>(n) * delta));
    shape.max_insertions = n > reserved ? n - reserved : 0;
    return shape;
}

}  // namespace quorvel
