// Probe counters: how many 16-slot groups each lookup and each placement
// examines, for the benchmarks that set the schemes' probe counts against
// their published bounds.
//
// The walks call `ProbeCounter::group()` for every group they examine, and
// an operation ends with `ProbeCounter::end_lookup()` or `end_insertion()`,
// which folds the groups counted since into the per-thread totals.  Only a
// build with QUORVEL_COUNT_PROBES has the counters; everywhere else every
// call is an empty inline function, so the walks carry no counting state
// and no parameter for it.
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

struct ProbeCounter {
    static inline thread_local std::uint64_t running = 0;

    static void group() noexcept { ++running; }
    static void end_lookup() noexcept {
        ++probe_counts.lookups;
        probe_counts.lookup_groups += running;
        probe_counts.max_lookup_groups = std::max(probe_counts.max_lookup_groups, running);
        running = 0;
    }
    static void end_insertion() noexcept {
        ++probe_counts.insertions;
        probe_counts.insertion_groups += running;
        probe_counts.max_insertion_groups = std::max(probe_counts.max_insertion_groups, running);
        running = 0;
    }
    // Drops what was counted since the last end (a lookup inside an
    // insertion is counted as a lookup, then the placement on its own).
    static void discard() noexcept { running = 0; }
};

inline void reset_probe_counts() noexcept {
    probe_counts = ProbeCounts{};
    ProbeCounter::running = 0;
}
#else
inline constexpr bool counting_probes = false;

struct ProbeCounter {
    static void group() noexcept {}
    static void end_lookup() noexcept {}
    static void end_insertion() noexcept {}
    static void discard() noexcept {}
};

inline void reset_probe_counts() noexcept {}
#endif

}  // namespace quorvel
