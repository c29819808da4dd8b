// When a lookup reads the groups of two levels at once.
//
// Which level holds a key is nothing a branch predictor can learn, so a
// walk that asks it one level at a time mispredicts at most of the levels
// it passes.  Both maps can instead read the next two levels' groups
// together and try their candidates as one mask (each map says how, and
// why its comparisons stay those of its rules).  That costs instructions
// and a group read that may be in vain, and it pays only in the middle:
//
//   - in small tables the predictor does learn the walk of a lookup loop
//     over the same keys: at 2^10 and 2^12 slots the paired walk took
//     1.07-1.15x (elastic) and up to 1.3x (funnel) the time of the plain
//     one, and Python lookups at 10^3 keys 1.1-1.2x;
//   - from 2^14 slots on the predictor cannot: elastic hits took 0.50-0.68x
//     their time, funnel hits 0.60-0.67x, and Python hits at 10^4 keys
//     0.92-0.95x (funnel);
//   - once the tables outgrow the caches, the extra group read is a cache
//     and translation miss of its own: at 2^20 slots of 16-byte entries
//     hits and misses took 1.1-1.27x.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "common/sizing.hpp"

namespace quorvel {

inline constexpr std::uint32_t PAIRED_WALK_MIN_SLOTS = 1u << 13;
inline constexpr std::size_t PAIRED_WALK_MAX_BYTES = std::size_t{4} << 20;

// Every lookup asks, so the range is one unsigned comparison: capacities
// below the lower end wrap past the upper one.
template <class Entry>
constexpr bool reads_levels_in_pairs(std::uint32_t capacity) noexcept {
    constexpr std::size_t most = PAIRED_WALK_MAX_BYTES / sizeof(Entry);  // capacity * sizeof(Entry) <= MAX_BYTES
    if constexpr (most < PAIRED_WALK_MIN_SLOTS) {
        return false;
    } else {
        constexpr auto span = static_cast<std::uint32_t>(std::min<std::size_t>(most, U32_MAX) - PAIRED_WALK_MIN_SLOTS);
        return capacity - PAIRED_WALK_MIN_SLOTS <= span;
    }
}

}  // namespace quorvel
