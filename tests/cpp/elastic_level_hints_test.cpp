// The per-bucket level hints let lookups skip levels.  They may only ever
// over-approximate: every level a key was placed into must stay a candidate
// until the map is emptied, or a lookup would miss a stored key.  The map's
// differential tests check answers; these check the hints themselves on a
// map under churn, and the shared bit of the levels from 31 on.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <unordered_set>

#include "elastic/elastic_map.hpp"
#include "elastic/level_hints.hpp"
#include "elastic_test_support.hpp"

namespace quorvel {
namespace {

using elastic::LevelHints;
using Map = ElasticHashMap<std::uint64_t, std::uint64_t>;

TEST(ElasticLevelHints, EveryStoredKeyNamesItsLevel) {
    const std::uint64_t seed = std::random_device{}();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937_64 rng(seed);
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
        const std::uint32_t bit = std::min(loc->level, LevelHints::SHARED_BIT);
        ASSERT_NE(map.level_hints().candidates(h) & (std::uint32_t{1} << bit), 0u) << k;
        skipped += map.searched_levels() - std::popcount(map.level_hints().candidates(h));
    });
    EXPECT_EQ(keys.size(), map.len());
    EXPECT_GT(skipped, 0u);  // the hints do leave levels out
    map.clear();
    for (const std::uint64_t k : keys) EXPECT_EQ(map.level_hints().candidates(map.hash_key(k)), 0u);
}

TEST(ElasticLevelHints, LevelsFromTheSharedBitOnShareIt) {
    LevelHints hints(1 << 10);
    EXPECT_EQ(hints.buckets(), 128u);
    const MapHash h{0x0123'4567'89AB'CDEFull};
    hints.note(h, 3);
    hints.note(h, 31);
    hints.note(h, 45);
    EXPECT_EQ(hints.candidates(h), (1u << 3) | LevelHints::SHARED);
    hints.clear();
    EXPECT_EQ(hints.candidates(h), 0u);
    EXPECT_EQ(LevelHints(0).candidates(h), 0u);  // no levels, nothing to name
    EXPECT_EQ(LevelHints(0).allocated_bytes(), 0u);
}

}  // namespace
}  // namespace quorvel
