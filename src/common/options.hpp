// The reserve fraction, the one option both maps share, and how a core
// makes any value of it usable.
//
// The reserve fraction delta is the share of a map's capacity kept free
// before the map grows; both maps derive their probe budgets or level sizes
// from log2(1/delta).  A map built without options uses
// DEFAULT_RESERVE_FRACTION.
//
// The cores sanitise, they never reject (the binding layer validates what a
// user typed and raises there): a value that is not finite becomes
// DEFAULT_RESERVE_FRACTION, a finite one is clamped to
// [MIN_RESERVE_FRACTION, MAX_RESERVE_FRACTION], so that log2(1/delta) stays
// finite and a map of n >= 1 slots always admits at least one insertion.
// The funnel map caps it further (funnel/options.hpp).
#pragma once

#include <algorithm>
#include <cmath>

namespace quorvel {

inline constexpr double DEFAULT_RESERVE_FRACTION = 0.1;
inline constexpr double MIN_RESERVE_FRACTION = 0.000001;
inline constexpr double MAX_RESERVE_FRACTION = 0.999999;

inline double effective_reserve_fraction(double requested) noexcept {
    if (!std::isfinite(requested)) return DEFAULT_RESERVE_FRACTION;
    return std::clamp(requested, MIN_RESERVE_FRACTION, MAX_RESERVE_FRACTION);
}

}  // namespace quorvel
