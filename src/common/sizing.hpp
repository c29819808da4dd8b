// Size arithmetic shared by both maps.
//
// Capacities, counts and slot indices are 32-bit.  Products and sums that
// could leave that range saturate at 2^32 - 1, and a double becomes a size
// by truncation clamped to [0, 2^32 - 1] (NaN as 0): every sizing rule of
// both maps is written with these two, so no arithmetic on a size wraps.
#pragma once

#include <cstdint>
#include <limits>

namespace quorvel {

inline constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

constexpr std::uint32_t saturate_u32(std::uint64_t x) noexcept {
    return x > U32_MAX ? U32_MAX : static_cast<std::uint32_t>(x);
}

// The truncating conversion: fraction dropped (floor for x > 0), negative
// and NaN to 0, beyond 2^32 - 1 to 2^32 - 1.
inline std::uint32_t truncate_to_u32(double x) noexcept {
    if (!(x > 0.0)) return 0;
    if (x >= static_cast<double>(U32_MAX)) return U32_MAX;
    return static_cast<std::uint32_t>(x);
}

// The capacity a map grows to: 16 from 0, double below 2^31, 2^32 - 1 above.
constexpr std::uint32_t grown_capacity(std::uint32_t capacity) noexcept {
    if (capacity == 0) return 16;
    if (capacity >= 0x8000'0000u) return U32_MAX;
    return 2 * capacity;
}

// Each level of either map XORs its own salt into the map hash, so that a
// key's places in two levels are unrelated: (index + 1) times the golden
// ratio in 64-bit fixed point.
inline constexpr std::uint64_t LEVEL_SALT_STEP = 0x9E3779B97F4A7C15ull;

constexpr std::uint64_t level_salt(std::uint32_t index) noexcept {
    return (std::uint64_t{index} + 1) * LEVEL_SALT_STEP;
}

}  // namespace quorvel
