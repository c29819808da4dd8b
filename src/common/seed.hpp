// Seeds of the map hash.
//
// The global seed G is made once per process, on the first map
// construction, and never changes afterwards.  Several threads may race to
// make it: each computes its own words, one publishes them by moving the
// state byte 0 -> 1 with a compare-and-swap, stores the words and releases
// state 2; the others spin while the state is 1 and then read the winner's
// words.  Every word has bits 0, 31 and 63 set, so G is odd and its two
// halves both carry a high bit into the folded multiply.
//
// The per-map seed S comes from a per-thread state advanced on every call,
// mixed with a stack address, so maps made one after another (or on
// different threads) get unrelated seeds.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#endif

#include "common/hash.hpp"

namespace quorvel {

inline constexpr std::uint64_t SEED_BITS = 0x8000'0000'8000'0001ull;

struct SharedSeed {
    std::array<std::uint64_t, 6> words{};

    static SharedSeed from_u64(std::uint64_t x) noexcept {
        // Distinct odd multipliers (digits of pi) spread one value over six words.
        static constexpr std::array<std::uint64_t, 6> mix = {
            0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull,
            0x082EFA98EC4E6C89ull, 0x452821E638D01377ull, 0xBE5466CF34E90C6Cull};
        SharedSeed seed;
        for (std::size_t i = 0; i < seed.words.size(); ++i) {
            x = fold_multiply(x ^ mix[i], mix[(i + 1) % mix.size()]);
            seed.words[i] = x | SEED_BITS;
        }
        return seed;
    }
};

enum class SeedState : std::uint8_t { uninitialised = 0, initialising = 1, ready = 2 };

struct GlobalSeedStorage {
    std::array<std::uint64_t, 6> words{};  // written once, before state becomes ready
    std::atomic<std::uint8_t> state{0};
};

inline GlobalSeedStorage GLOBAL_SEED_STORAGE;

namespace detail {

inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
    _mm_pause();
#endif
}

inline std::uint64_t address_of(const void* p) noexcept {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
}

inline std::uint64_t generate_global_seed() {
    std::uint64_t x = 0x243F6A8885A308D3ull;
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    if (since_epoch.count() >= 0) {
        const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
        const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - secs);
        x = fold_multiply(x ^ static_cast<std::uint64_t>(secs.count()), 0x13198A2E03707344ull);
        x = fold_multiply(x ^ static_cast<std::uint64_t>(nanos.count()), 0xA4093822299F31D0ull);
    }
    const int local = 0;
    x = fold_multiply(x ^ address_of(&local), 0x082EFA98EC4E6C89ull);
    x = fold_multiply(x ^ address_of(reinterpret_cast<const void*>(&generate_global_seed)),
                      0x452821E638D01377ull);
    x = fold_multiply(x ^ address_of(&GLOBAL_SEED_STORAGE), 0xBE5466CF34E90C6Cull);
    const auto probe = std::make_unique<std::uint8_t>(0);
    x = fold_multiply(x ^ address_of(probe.get()), 0xC0AC29B7C97C50DDull);
    return x;
}

}  // namespace detail

struct GlobalSeed {
    // G, making it first if this is the process's first map.
    static std::uint64_t get() {
        if (GLOBAL_SEED_STORAGE.state.load(std::memory_order_acquire) !=
            static_cast<std::uint8_t>(SeedState::ready)) {
            init_slow();
        }
        return GLOBAL_SEED_STORAGE.words[0];
    }

    static void init_slow() {
        const SharedSeed fresh = SharedSeed::from_u64(detail::generate_global_seed());
        for (;;) {
            std::uint8_t expected = static_cast<std::uint8_t>(SeedState::uninitialised);
            if (GLOBAL_SEED_STORAGE.state.compare_exchange_strong(
                    expected, static_cast<std::uint8_t>(SeedState::initialising),
                    std::memory_order_acquire, std::memory_order_acquire)) {
                GLOBAL_SEED_STORAGE.words = fresh.words;
                GLOBAL_SEED_STORAGE.state.store(static_cast<std::uint8_t>(SeedState::ready),
                                                std::memory_order_release);
                return;
            }
            if (expected == static_cast<std::uint8_t>(SeedState::ready)) return;
            detail::spin_hint();
        }
    }
};

inline thread_local std::uint64_t PER_HASHER_NONDETERMINISM = 0;

// A fresh seed for one new map.
inline std::uint64_t gen_per_hasher_seed() noexcept {
    const int local = 0;
    const std::uint64_t a = detail::address_of(&local);
    const std::uint64_t t = fold_multiply(a, PER_HASHER_NONDETERMINISM ^ 0x13198A2E03707344ull);
    PER_HASHER_NONDETERMINISM = t;
    return fold_multiply(t, 0xA4093822299F31D0ull);
}

}  // namespace quorvel
