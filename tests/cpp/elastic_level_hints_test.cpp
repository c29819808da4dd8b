// The per-bucket level hints let lookups skip levels.  They may only ever
// over-approximate: every level a key was placed into must stay a candidate
// until the map is emptied, or a lookup would miss a stored key.  The map's
// differential tests check answers; these check the hints themselves on a
// map under churn, and how the words count the levels they name.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <unordered_set>

#include "elastic/elastic_map.hpp"
#include "common/level_hints.hpp"
#include "elastic_test_support.hpp"

namespace quorvel {
namespace {

using Map = ElasticHashMap<std::uint64_t, std::uint64_t>;

TEST(ElasticLevelHints, EveryStoredKeyNamesItsLevel) {
    std::mt19937_64 rng(20261209);
    Map map = Map::with_options_and_hasher({0.02, 16.0, 0}, 7, test::TEST_GLOBAL_SEED);
    std::unordered_set<std::uint64_t> keys;
    for (int round = 0; round < 20000; ++round) {
        const std::uint64_t k = rng() % 6000;
        if (rng() % 3 == 0) {
            map.remove(k);
            keys.erase(k);
        } else {
            map.insert(k, k);
            keys.insert(k);
        }
    }
    std::uint64_t skipped = 0;
    map.for_each([&](const std::uint64_t& k, const std::uint64_t&) {
        const MapHash h = map.hash_key(k);
        const auto loc = map.find(k, h);
        ASSERT_TRUE(loc.has_value()) << k;
        const std::uint32_t bit = std::min(loc->level, Map::SHARED_HINT);
        ASSERT_NE(map.level_hints().candidates(h) & (std::uint32_t{1} << bit), 0u) << k;
        skipped += std::min<std::size_t>(map.levels().size(), map.max_level() + 1) -
                   static_cast<std::size_t>(std::popcount(map.level_hints().candidates(h)));
    });
    EXPECT_EQ(keys.size(), map.len());
    EXPECT_GT(skipped, 0u);  // the hints do leave levels out
    map.clear();
    for (const std::uint64_t k : keys) EXPECT_EQ(map.level_hints().candidates(map.hash_key(k)), 0u);
}

TEST(LevelHints, BitsAreSetOnceAndCountedPerLevel) {
    LevelHints hints(1 << 10);
    EXPECT_EQ(hints.buckets(), 128u);
    const MapHash h{0x0123'4567'89AB'CDEFull};
    const MapHash other{h.value ^ (std::uint64_t{1} << LevelHints::BUCKET_SHIFT)};  // the next bucket
    EXPECT_TRUE(hints.note(h, 3));
    EXPECT_FALSE(hints.note(h, 3)) << "already set";
    EXPECT_TRUE(hints.note(h, 31));
    EXPECT_TRUE(hints.note(other, 3));
    EXPECT_EQ(hints.candidates(h), (1u << 3) | (1u << 31));
    EXPECT_EQ(hints.candidates(other), 1u << 3);
    EXPECT_DOUBLE_EQ(hints.share(3), 2.0 / 128);
    EXPECT_DOUBLE_EQ(hints.share(31), 1.0 / 128);
    EXPECT_DOUBLE_EQ(hints.mean_named(), 3.0 / 128);
    hints.clear();
    EXPECT_EQ(hints.candidates(h), 0u);
    EXPECT_EQ(hints.share(3), 0.0);
    EXPECT_EQ(hints.mean_named(), 0.0);
    EXPECT_EQ(LevelHints(0).candidates(h), 0u);  // no levels, nothing to name
    EXPECT_EQ(LevelHints(0).allocated_bytes(), 0u);
}

}  // namespace
}  // namespace quorvel
