// Per-map key hashing.
//
// A key brings a fixed 64-bit hash (for Python keys, the interpreter's hash
// computed once).  Inside one map it becomes the 64-bit map hash
//
//     H = fold_multiply(S XOR h, G)
//
// where S is the map's own seed and G the process-wide seed.  The top seven
// bits of H are the key's tag, kept in the control byte of its slot; 0 is
// reserved for EMPTY, so a zero tag is stored as 1.  The low and high words
// of H pick start groups, steps and buckets; which bits each map uses is
// documented with the map.
#pragma once

#include <cstdint>

namespace quorvel {

// The folded multiply in its 32-bit form: four 32x32->64 products, the
// outer two XORed in place, the inner two XORed and rotated by 32.
constexpr std::uint64_t fold_multiply(std::uint64_t x, std::uint64_t y) noexcept {
    const std::uint64_t xl = x & 0xFFFF'FFFFu, xh = x >> 32;
    const std::uint64_t yl = y & 0xFFFF'FFFFu, yh = y >> 32;
    const std::uint64_t ll = xl * yl, lh = xl * yh, hl = xh * yl, hh = xh * yh;
    const std::uint64_t cross = hl ^ lh;
    return (hh ^ ll) ^ ((cross << 32) | (cross >> 32));
}

struct MapHash {
    std::uint64_t value;

    constexpr std::uint32_t lo() const noexcept { return static_cast<std::uint32_t>(value); }
    constexpr std::uint32_t hi() const noexcept { return static_cast<std::uint32_t>(value >> 32); }
    // Top seven bits; 0 becomes 1 so that a tag is never an EMPTY byte.
    constexpr std::uint8_t tag() const noexcept {
        const auto t = static_cast<std::uint8_t>(value >> 57);
        return t == 0 ? std::uint8_t{1} : t;
    }
};

// The whole 64-bit key hash enters x: on a 64-bit host the key hash is as
// wide as the seed, and dropping half of it would only add collisions.
constexpr MapHash map_hash(std::uint64_t key_hash, std::uint64_t map_seed,
                           std::uint64_t global_seed) noexcept {
    return MapHash{fold_multiply(map_seed ^ key_hash, global_seed)};
}

}  // namespace quorvel
