// Map hash, tags and seeds.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "common/hash.hpp"
#include "common/seed.hpp"

namespace quorvel {
namespace {

// The folded multiply written out word by word, as its definition reads.
std::uint64_t fold_multiply_by_halves(std::uint64_t x, std::uint64_t y) {
    const auto lo = [](std::uint64_t v) { return static_cast<std::uint32_t>(v); };
    const auto hi = [](std::uint64_t v) { return static_cast<std::uint32_t>(v >> 32); };
    const std::uint64_t ll = std::uint64_t{lo(x)} * lo(y), lh = std::uint64_t{lo(x)} * hi(y);
    const std::uint64_t hl = std::uint64_t{hi(x)} * lo(y), hh = std::uint64_t{hi(x)} * hi(y);
    const std::uint32_t low = lo(hh) ^ lo(ll) ^ hi(hl) ^ hi(lh);
    const std::uint32_t high = hi(hh) ^ hi(ll) ^ lo(hl) ^ lo(lh);
    return (std::uint64_t{high} << 32) | low;
}

TEST(FoldMultiply, MatchesTheWordByWordDefinition) {
    std::mt19937_64 rng(20261208);
    const std::uint64_t edges[] = {0, 1, 0xFFFF'FFFFu, 0x1'0000'0000u, ~std::uint64_t{0}};
    for (auto a : edges)
        for (auto b : edges) EXPECT_EQ(fold_multiply(a, b), fold_multiply_by_halves(a, b)) << a << " " << b;
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t a = rng(), b = rng();
        ASSERT_EQ(fold_multiply(a, b), fold_multiply_by_halves(a, b)) << a << " " << b;
    }
}

TEST(MapHash, TagIsTopSevenBitsWithZeroBecomingOne) {
    EXPECT_EQ((MapHash{0x0123'4567'89AB'CDEFull}.tag()), 1);           // top 7 bits are 0
    EXPECT_EQ((MapHash{0x01FF'FFFF'FFFF'FFFFull}.tag()), 1);           // still 0 in bits 57..63
    EXPECT_EQ((MapHash{0x0200'0000'0000'0000ull}.tag()), 1);           // genuinely 1
    EXPECT_EQ((MapHash{0xFE00'0000'0000'0000ull}.tag()), 127);
    EXPECT_EQ((MapHash{0x8000'0000'0000'0000ull}.tag()), 64);
    const MapHash h{0x1122'3344'5566'7788ull};
    EXPECT_EQ(h.lo(), 0x5566'7788u);
    EXPECT_EQ(h.hi(), 0x1122'3344u);
}

// Known answers: a change of the map hash would move every key of every map
// (and so change every entry order), so the values themselves are pinned.
TEST(MapHash, KnownAnswers) {
    const std::uint64_t g = 0x8000'0000'8000'0001ull | 0x1234'5678'9ABC'DEF0ull;
    const std::uint64_t s = 0xDEAD'BEEF'0BAD'F00Dull;
    EXPECT_EQ(map_hash(42, s, g).value, 0xdcaa718df1b674e3ull);
    EXPECT_EQ(map_hash(7, s, g).value, 0x6cb83d64762d372eull);
    // The high half of a 64-bit key hash takes part too.
    EXPECT_EQ(map_hash(0x1'0000'0000ull, s, g).value, 0xc3181b3c33a869dcull);
    EXPECT_NE(map_hash(0x1'0000'0000ull, s, g).value, map_hash(0, s, g).value);
    // Another map seed, another hash.
    EXPECT_NE(map_hash(7, s, g).value, map_hash(7, s + 1, g).value);
}

bool has_seed_bits(std::uint64_t w) { return (w & SEED_BITS) == SEED_BITS; }

TEST(GlobalSeed, EveryWordHasBits0_31_63AndStaysFixed) {
    const std::uint64_t g = GlobalSeed::get();
    EXPECT_TRUE(has_seed_bits(g));
    for (auto w : GLOBAL_SEED_STORAGE.words) EXPECT_TRUE(has_seed_bits(w));
    EXPECT_EQ(GLOBAL_SEED_STORAGE.state.load(), static_cast<std::uint8_t>(SeedState::ready));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(GlobalSeed::get(), g);
}

TEST(GlobalSeed, ConcurrentFirstUseAgreesOnOneValue) {
    for (int round = 0; round < 20; ++round) {
        // Start from an unmade seed; no other thread of this test binary reads it now.
        GLOBAL_SEED_STORAGE.state.store(0);
        GLOBAL_SEED_STORAGE.words = {};
        constexpr int threads = 8;
        std::vector<std::uint64_t> seen(threads);
        std::vector<std::thread> pool;
        std::atomic<bool> go{false};
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                while (!go.load()) {}
                seen[t] = GlobalSeed::get();
            });
        }
        go.store(true);
        for (auto& th : pool) th.join();
        for (auto v : seen) {
            EXPECT_EQ(v, seen[0]);
            EXPECT_TRUE(has_seed_bits(v));
        }
        EXPECT_EQ(GLOBAL_SEED_STORAGE.words[0], seen[0]);
    }
}

TEST(SharedSeed, ExpandsIntoSixMarkedWords) {
    const SharedSeed a = SharedSeed::from_u64(1), b = SharedSeed::from_u64(2);
    std::set<std::uint64_t> distinct(a.words.begin(), a.words.end());
    EXPECT_EQ(distinct.size(), 6u);
    for (auto w : a.words) EXPECT_TRUE(has_seed_bits(w));
    EXPECT_NE(a.words, b.words);
}

TEST(PerHasherSeed, AdvancesOnEveryCallAndDiffersAcrossThreads) {
    std::set<std::uint64_t> seeds;
    for (int i = 0; i < 1000; ++i) seeds.insert(gen_per_hasher_seed());
    EXPECT_EQ(seeds.size(), 1000u);
    std::uint64_t other = 0;
    std::thread([&] { other = gen_per_hasher_seed(); }).join();
    EXPECT_EQ(seeds.count(other), 0u);
}

}  // namespace
}  // namespace quorvel
