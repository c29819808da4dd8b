// A deterministic shuffle: Fisher-Yates driven by splitmix64, so that a
// rebuild that re-places entries in shuffled order gives the same layout
// for the same seed.  Not for anything that needs unpredictability.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace quorvel {

class SplitMix64 {
public:
    explicit constexpr SplitMix64(std::uint64_t seed) noexcept : state_(seed) {}

    constexpr std::uint64_t next() noexcept {
        std::uint64_t z = (state_ += 0x9E37'79B9'7F4A'7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58'476D'1CE4'E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D0'49BB'1331'11EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, bound) for bound <= 2^32: the high word scaled, whose
    // bias (below 2^-32 per value) nothing here can observe.
    constexpr std::uint32_t below(std::uint64_t bound) noexcept {
        return static_cast<std::uint32_t>(((next() >> 32) * bound) >> 32);
    }

private:
    std::uint64_t state_;
};

template <class T>
void shuffle(std::vector<T>& items, std::uint64_t seed) noexcept {
    SplitMix64 rng(seed);
    for (std::size_t i = items.size(); i > 1; --i) {
        std::swap(items[i - 1], items[rng.below(i)]);
    }
}

}  // namespace quorvel
