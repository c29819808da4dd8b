// Options of an elastic map, and how the core makes any values usable.
//
//   reserve_fraction  delta, the share of the capacity kept free before the
//                     map grows.  It also sets each level's fill threshold
//                     and how far limited probes may go (log2(1/delta)).
//   probe_scale       stretches the probe budgets: the larger, the more
//                     groups a limited probe may visit at a given fill.
//   capacity          total slot count of the first build.
//
// The core sanitises, it never rejects (the binding layer validates what a
// user typed and raises there):
//   reserve_fraction  not finite -> 0.1; else clamped to [0.000001, 0.999999],
//                     so log2(1/delta) stays finite and a map of n >= 1
//                     slots always admits at least one insertion;
//   probe_scale       finite and > 0 (subnormals included), else 16.0.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace quorvel {

struct ElasticOptions {
    double reserve_fraction = 0.1;
    double probe_scale = 16.0;
    std::uint32_t capacity = 0;
};

namespace elastic {

inline constexpr double DEFAULT_RESERVE_FRACTION = 0.1;
inline constexpr double DEFAULT_PROBE_SCALE = 16.0;
inline constexpr double MIN_RESERVE_FRACTION = 0.000001;
inline constexpr double MAX_RESERVE_FRACTION = 0.999999;

inline double effective_reserve_fraction(double requested) noexcept {
    if (!std::isfinite(requested)) return DEFAULT_RESERVE_FRACTION;
    return std::clamp(requested, MIN_RESERVE_FRACTION, MAX_RESERVE_FRACTION);
}

inline double effective_probe_scale(double requested) noexcept {
    return std::isfinite(requested) && requested > 0.0 ? requested : DEFAULT_PROBE_SCALE;
}

}  // namespace elastic
}  // namespace quorvel
