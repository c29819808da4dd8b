// The early stops of elastic lookups against a walk over every slot.
//
// A lookup leaves a level at a group with a never-used slot, after the
// longest placement that started in the key's start group, or at once when
// no placement started there.  These tests fill levels until those stops
// are what decides (nearly full levels, crowded start groups, removals and
// reused slots) and check every answer against a scan of every slot.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <unordered_set>

#include "elastic/elastic_map.hpp"
#include "elastic_test_support.hpp"

namespace quorvel {
namespace {

using test::HashMode;
using test::TestKey;
using Map = ElasticHashMap<TestKey, std::uint64_t>;

// Every stored key, read from every occupied slot of every level, and the
// lookup of each id in [0, ids) against that.
void expect_lookups_agree(const Map& map, std::uint64_t ids, HashMode mode, std::uint64_t seed) {
    std::unordered_set<std::uint64_t> stored;
    map.for_each([&](const TestKey& key, const std::uint64_t&) { stored.insert(key.id); });
    ASSERT_EQ(stored.size(), map.len());
    for (std::uint64_t id = 0; id < ids; ++id) {
        const TestKey key = TestKey::make(id, mode);
        const auto found = map.find(key, map.hash_key(key));
        ASSERT_EQ(found.has_value(), stored.count(id) == 1) << "key " << id << ", seed " << seed;
        if (found) {
            EXPECT_EQ(map.entry_at(*found).key, key) << "key " << id << ", seed " << seed;
        }
    }
}

Map nearly_full_map(double reserve_fraction, std::uint32_t capacity, std::uint64_t seed) {
    return Map::with_options_and_hasher(ElasticOptions{reserve_fraction, 16.0, capacity}, seed,
                                        test::TEST_GLOBAL_SEED);
}

TEST(ElasticLookupBounds, NearlyFullLevelsAgreeWithAFullScan) {
    for (const std::uint64_t seed : {1u, 2u, 3u}) {
        // A reserve of 1 % lets levels fill to their last slots, where
        // placements walk several groups and EMPTY bytes are rare.
        Map map = nearly_full_map(0.01, 4096, seed);
        for (std::uint64_t id = 0; id < map.max_insertions(); ++id) map.insert(TestKey::make(id), id);
        ASSERT_EQ(map.capacity(), 4096u);
        expect_lookups_agree(map, 2 * map.max_insertions(), HashMode::identity, seed);
    }
}

TEST(ElasticLookupBounds, CrowdedStartGroupsAgreeWithAFullScan) {
    // Seven distinct hashes: every key of one hash shares its start group and
    // its whole sequence in every level, so placements from those groups go
    // deep while every other start group stays unused.
    Map map = nearly_full_map(0.1, 1024, 7);
    for (std::uint64_t id = 0; id < 600; ++id) map.insert(TestKey::make(id, HashMode::few), id);
    expect_lookups_agree(map, 900, HashMode::few, 7);
}

TEST(ElasticLookupBounds, RemovalsAndReusedSlotsAgreeWithAFullScan) {
    std::mt19937_64 rng(11);
    Map map = nearly_full_map(0.02, 2048, 11);
    for (std::uint64_t id = 0; id < map.max_insertions(); ++id) map.insert(TestKey::make(id), id);
    // Remove a scattered tenth, below any purge threshold of the big levels,
    // then place new keys into the freed (DELETED) slots.
    for (std::uint64_t id = 0; id < map.max_insertions(); id += 10) map.remove(TestKey::make(id));
    for (std::uint64_t n = 0; n < map.max_insertions() / 20; ++n) map.insert(TestKey::make(5000 + rng() % 5000), n);
    expect_lookups_agree(map, 10000, HashMode::identity, 11);
}

TEST(ElasticLookupBounds, LookupsAfterClearAgreeWithAFullScan) {
    Map map = nearly_full_map(0.01, 1024, 5);
    for (std::uint64_t id = 0; id < map.max_insertions(); ++id) map.insert(TestKey::make(id), id);
    map.clear();
    for (std::uint64_t id = 0; id < 1024; ++id) {
        const TestKey key = TestKey::make(id);
        EXPECT_FALSE(map.find(key, map.hash_key(key))) << "key " << id;
    }
    for (std::uint64_t id = 2000; id < 2300; ++id) map.insert(TestKey::make(id), id);
    expect_lookups_agree(map, 2400, HashMode::identity, 5);
}

}  // namespace
}  // namespace quorvel
