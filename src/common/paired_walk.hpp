// When a lookup reads the groups of two levels at once.
//
// Which level holds a key is nothing a branch predictor can learn, so a
// walk that asks it one level at a time mispredicts at most of the levels
// it passes.  Both maps can instead read the next two levels' groups
// together and try their candidates as one mask (each map says how, and
// why its comparisons stay those of its rules).  That costs instructions
// and a group read that may be in vain, and it pays only in the middle:
//
//   - in small tables the predictor does learn the walk of a tight lookup
//     loop over integral keys: at 2^10 and 2^12 slots the paired walk took
//     up to 1.8x (elastic) and 1.5x (funnel) the time of the plain one.
//     Other keys are compared through code of their own, and a caller
//     that drives the map from an interpreter runs its own branches
//     between two lookups, which leaves the predictor no loop to learn:
//     funnel hits of Python keys at 300 and 1,000 keys (300 to 2,048
//     slots) took 0.75-0.98x their time paired, misses 0.87-1.0x; at 100
//     keys (100 to 128 slots) it made no difference.  For such keys the
//     range starts at 2^8 slots;
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
#include <type_traits>

#include "common/sizing.hpp"

namespace quorvel {

inline constexpr std::uint32_t PAIRED_WALK_MIN_SLOTS = 1u << 13;
inline constexpr std::uint32_t PAIRED_WALK_MIN_SLOTS_OTHER_KEYS = 1u << 8;
inline constexpr std::size_t PAIRED_WALK_MAX_BYTES = std::size_t{4} << 20;

// The lower end of the range for a map of keys K (see above).
template <class K>
inline constexpr std::uint32_t paired_walk_min_slots =
    std::is_integral_v<K> ? PAIRED_WALK_MIN_SLOTS : PAIRED_WALK_MIN_SLOTS_OTHER_KEYS;

// Every lookup asks, so the range is one unsigned comparison: capacities
// below the lower end wrap past the upper one.
template <class Entry, std::uint32_t MinSlots = PAIRED_WALK_MIN_SLOTS>
constexpr bool reads_levels_in_pairs(std::uint32_t capacity) noexcept {
    constexpr std::size_t most = PAIRED_WALK_MAX_BYTES / sizeof(Entry);  // capacity * sizeof(Entry) <= MAX_BYTES
    if constexpr (most < MinSlots) {
        return false;
    } else {
        constexpr auto span = static_cast<std::uint32_t>(std::min<std::size_t>(most, U32_MAX) - MinSlots);
        return capacity - MinSlots <= span;
    }
}

}  // namespace quorvel
