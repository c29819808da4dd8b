// The options classes' descriptions.  Their instances hold the core's own
// option structs (elastic/options.hpp, funnel/options.hpp), so the defaults
// a user reads back and the ones a map is built with are one set of values,
// and `with_options` hands the struct to the core as it is.
#pragma once

#include "elastic/options.hpp"
#include "funnel/options.hpp"
#include "python/object.hpp"

namespace quorvel::python {

struct ElasticOptionsClass {
    using Native = quorvel::ElasticOptions;
    static constexpr bool thread_bound = false;
    static constexpr const char* python_name = "ElasticOptions";
    static constexpr const char* native_name = "PyElasticOptions";
};

struct FunnelOptionsClass {
    using Native = quorvel::FunnelOptions;
    static constexpr bool thread_bound = false;
    static constexpr const char* python_name = "FunnelOptions";
    static constexpr const char* native_name = "PyFunnelOptions";
};

}  // namespace quorvel::python
