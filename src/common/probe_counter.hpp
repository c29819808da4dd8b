// Probe counting for measurements.
//
// Built with QUORVEL_COUNT_PROBES defined, the maps report how many groups
// each lookup and each placement examined; the counters are per thread so
// that a benchmark reads its own numbers.  Without the macro every call is
// an empty inline function and the counters do not exist: zero cost.
#pragma once

#include <algorithm>
#include <cstdint>

namespace quorvel {

struct ProbeCounts {
    std::uint64_t lookups = 0;
    std::uint64_t lookup_groups = 0;
    std::uint64_t max_lookup_groups = 0;
    std::uint64_t insertions = 0;
    std::uint64_t insertion_groups = 0;
    std::uint64_t max_insertion_groups = 0;
};

#ifdef QUORVEL_COUNT_PROBES
inline constexpr bool counting_probes = true;
inline thread_local ProbeCounts probe_counts;

inline void count_lookup(std::uint64_t groups) noexcept {
    ++probe_counts.lookups;
    probe_counts.lookup_groups += groups;
    probe_counts.max_lookup_groups = std::max(probe_counts.max_lookup_groups, groups);
}
inline void count_insertion(std::uint64_t groups) noexcept {
    ++probe_counts.insertions;
    probe_counts.insertion_groups += groups;
    probe_counts.max_insertion_groups = std::max(probe_counts.max_insertion_groups, groups);
}
inline void reset_probe_counts() noexcept { probe_counts = ProbeCounts{}; }
#else
inline constexpr bool counting_probes = false;
inline void count_lookup(std::uint64_t) noexcept {}
inline void count_insertion(std::uint64_t) noexcept {}
inline void reset_probe_counts() noexcept {}
#endif

}  // namespace quorvel
