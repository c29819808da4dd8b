// Lookups of integral keys.  Comparing two integers has no effect but its
// answer, so in maps of 2^13 slots to 4 MiB of entries lookups read the
// start groups of levels 0 and 1 at once and try their candidates as one mask, instead of
// one level after the other.  These tests hold that walk to the entries
// themselves: for every key, present or absent, at every load, after
// removals and in the steady state, the lookup answers exactly the slot
// the entry walk finds the key in, and nothing for an absent key.  The
// insertion's own walk (which keeps the level order) must agree as well:
// inserting a stored key replaces its value in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "elastic/elastic_map.hpp"
#include "elastic_test_support.hpp"

namespace quorvel {
namespace {

using Map = ElasticHashMap<std::uint64_t, std::uint64_t>;
using Location = Map::Location;

constexpr std::uint64_t VALUE_MARK = 0x5bd1'e995'0000'0000ull;

std::unordered_map<std::uint64_t, Location> stored_locations(const Map& map) {
    std::unordered_map<std::uint64_t, Location> where;
    for (auto it = map.begin(); it != map.end(); ++it) where.emplace(it->key, it.location());
    return where;
}

void expect_lookups_match_the_entries(const Map& map, const std::vector<std::uint64_t>& others) {
    const auto where = stored_locations(map);
    ASSERT_EQ(where.size(), map.len());
    for (const auto& [key, at] : where) {
        const auto found = map.find_slot_indices_with_hash(key, map.hash_key(key));
        ASSERT_TRUE(found.has_value()) << key;
        EXPECT_EQ(found->level, at.level) << key;
        EXPECT_EQ(found->slot, at.slot) << key;
        const std::uint64_t* value = map.get(key);
        ASSERT_NE(value, nullptr) << key;
        EXPECT_EQ(*value, key ^ VALUE_MARK) << key;
    }
    for (const std::uint64_t key : others) {
        if (!where.contains(key)) {
            EXPECT_EQ(map.get(key), nullptr) << key;
        }
    }
}

class IntegralLookups : public ::testing::TestWithParam<std::tuple<std::uint32_t, double>> {};

TEST_P(IntegralLookups, AnswerWhereTheEntriesAreThroughFillAndChurn) {
    const auto [capacity, reserve_fraction] = GetParam();
    std::mt19937_64 rng(capacity * 31 + static_cast<std::uint64_t>(reserve_fraction * 1e6));
    Map map = Map::with_options_and_hasher({reserve_fraction, 16.0, capacity}, rng(), test::TEST_GLOBAL_SEED);
    std::vector<std::uint64_t> keys;
    const auto add = [&](std::uint64_t key) {
        map.insert(key, key ^ VALUE_MARK);
        keys.push_back(key);
    };
    while (map.len() < map.max_insertions()) add(rng());
    ASSERT_EQ(map.capacity(), capacity) << "filled to the limit without growing";

    std::vector<std::uint64_t> absent(2000);
    for (auto& key : absent) key = rng();
    expect_lookups_match_the_entries(map, absent);

    // Churn at the limit: removals leave DELETED slots, and new keys take
    // the steady-state placements.
    for (int round = 0; round < 3; ++round) {
        std::shuffle(keys.begin(), keys.end(), rng);
        const std::size_t removed = keys.size() / 3;
        for (std::size_t i = 0; i < removed; ++i) ASSERT_TRUE(map.remove(keys[i]).has_value());
        absent.assign(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(removed, 2000)));
        keys.erase(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(removed));
        for (std::size_t i = 0; i < removed; ++i) add(rng());
        expect_lookups_match_the_entries(map, absent);
    }

    // The insertion's walk finds every stored key too: its value is replaced.
    for (const std::uint64_t key : keys) {
        const auto previous = map.insert(key, key ^ VALUE_MARK);
        ASSERT_TRUE(previous.has_value()) << key;
        EXPECT_EQ(*previous, key ^ VALUE_MARK);
    }
    EXPECT_EQ(map.len(), keys.size());
}

// From two slots (two levels of one slot each) through the sizes where
// lookups read two levels at once, and past them.
INSTANTIATE_TEST_SUITE_P(SmallToLarge, IntegralLookups,
                         ::testing::Combine(::testing::Values(2u, 16u, 5000u, 8192u, 65536u, 300000u),
                                            ::testing::Values(0.5, 0.1, 0.01, 0.001)));

}  // namespace
}  // namespace quorvel
