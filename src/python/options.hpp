// The options classes' values, as the map classes read them.
#pragma once

#include <cstdint>
#include <optional>

#include "python/frame.hpp"

namespace quorvel::python {

struct ElasticOptionsValue {
    std::uint32_t capacity = 0;
    double reserve_fraction = 0.1;
    double probe_scale = 16.0;
};

struct FunnelOptionsValue {
    std::uint32_t capacity = 0;
    double reserve_fraction = 0.1;
    std::optional<std::uint32_t> primary_probe_limit;
};

struct ElasticOptionsClass {
    using Native = ElasticOptionsValue;
    static constexpr bool thread_bound = false;
    static constexpr const char* python_name = "ElasticOptions";
    static constexpr const char* native_name = "PyElasticOptions";
};

struct FunnelOptionsClass {
    using Native = FunnelOptionsValue;
    static constexpr bool thread_bound = false;
    static constexpr const char* python_name = "FunnelOptions";
    static constexpr const char* native_name = "PyFunnelOptions";
};

}  // namespace quorvel::python
