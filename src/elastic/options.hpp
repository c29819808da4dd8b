// Options of an elastic map, and how the core makes any values usable.
//
//   reserve_fraction  delta, the share of the capacity kept free before the
//                     map grows (common/options.hpp).  It also sets each
//                     level's fill threshold and how far limited probes may
//                     go (log2(1/delta)).
//   probe_scale       stretches the probe budgets: the larger, the more
//                     groups a limited probe may visit at a given fill.
//   capacity          total slot count of the first build.
//
// The core sanitises, it never rejects (the binding layer validates what a
// user typed and raises there): the reserve fraction as both maps do
// (common/options.hpp), and a probe_scale that is not finite and > 0
// (subnormals count as > 0) becomes DEFAULT_PROBE_SCALE.
#pragma once

#include <cmath>
#include <cstdint>

#include "common/options.hpp"

namespace quorvel {

namespace elastic {

inline constexpr double DEFAULT_PROBE_SCALE = 16.0;

}  // namespace elastic

struct ElasticOptions {
    double reserve_fraction = DEFAULT_RESERVE_FRACTION;
    double probe_scale = elastic::DEFAULT_PROBE_SCALE;
    std::uint32_t capacity = 0;
};

namespace elastic {

// The rule both maps share, under the name the elastic core calls it by.
using quorvel::effective_reserve_fraction;

inline double effective_probe_scale(double requested) noexcept {
    return std::isfinite(requested) && requested > 0.0 ? requested : DEFAULT_PROBE_SCALE;
}

}  // namespace elastic
}  // namespace quorvel
