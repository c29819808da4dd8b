// The three values a funnel map is built from.
//
// They reach the core already validated by the binding layer, but the core
// sanitises them again on its own (shape.hpp), so any value is safe here:
// the reserve fraction as both maps do (common/options.hpp) and then capped
// at FUNNEL_MAX_RESERVE_FRACTION; a probe limit of 0 is used as 1.  An
// absent probe limit is derived from the capacity.
//
// The cap is a limit of the design: the funnel construction's sizing rules
// (shape.hpp) are made for reserve fractions up to it.  The binding refuses
// a larger one; the core, given one anyway, works with the cap.
#pragma once

#include <cstdint>
#include <optional>

#include "common/options.hpp"

namespace quorvel {

inline constexpr double FUNNEL_MAX_RESERVE_FRACTION = 0.125;

struct FunnelOptions {
    std::uint32_t capacity = 0;
    double reserve_fraction = DEFAULT_RESERVE_FRACTION;
    std::optional<std::uint32_t> primary_probe_limit;
};

}  // namespace quorvel
