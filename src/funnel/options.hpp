// The three values a funnel map is built from.
//
// They reach the core already validated by the binding layer, but the core
// sanitises them again on its own (a non-finite reserve fraction becomes the
// default, a finite one is clamped; a probe limit of 0 is used as 1), so any
// value is safe here.  An absent probe limit is derived from the capacity.
#pragma once

#include <cstdint>
#include <optional>

namespace quorvel {

struct FunnelOptions {
    std::uint32_t capacity = 0;
    double reserve_fraction = 0.1;
    std::optional<std::uint32_t> primary_probe_limit;
};

}  // namespace quorvel
