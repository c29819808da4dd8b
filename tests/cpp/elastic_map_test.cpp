// Lookup, insertion, removal, rebuild, clear and entry order of the elastic
// map, through the edge cases that catch real faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "elastic/elastic_map.hpp"
#include "elastic_test_support.hpp"

namespace quorvel {
namespace {

using test::HashMode;
using test::TestKey;
using Map = ElasticHashMap<TestKey, std::uint64_t>;
using Location = Map::Location;

Map make_map(std::uint32_t capacity, double reserve_fraction = 0.1, std::uint64_t seed = 7) {
    return Map::with_options_and_hasher({reserve_fraction, 16.0, capacity}, seed, test::TEST_GLOBAL_SEED);
}

TestKey key(std::uint64_t id, HashMode mode = HashMode::identity) { return TestKey::make(id, mode); }

std::vector<Location> entry_locations(const Map& map) {
    std::vector<Location> out;
    for (auto it = map.begin(); it != map.end(); ++it) out.push_back(it.location());
    return out;
}

std::vector<std::uint64_t> entry_ids(const Map& map) {
    std::vector<std::uint64_t> out;
    map.for_each([&](const TestKey& k, const std::uint64_t&) { out.push_back(k.id); });
    return out;
}

bool has_deleted_byte(const Map& map) {
    for (const auto& level : map.levels()) {
        for (std::uint32_t i = 0; i < level.slots(); ++i) {
            if (level.control(i) == DELETED) return true;
        }
    }
    return false;
}

std::vector<std::uint64_t> keys_in_level(const Map& map, std::uint32_t level) {
    std::vector<std::uint64_t> out;
    for (auto it = map.begin(); it != map.end(); ++it) {
        if (it.location().level == level) out.push_back(it->key.id);
    }
    return out;
}

// ---- insertion and lookup ----------------------------------------------------

TEST(ElasticInsert, FirstInsertionGrowsAnEmptyMapTo16Slots) {
    Map map = make_map(0);
    EXPECT_TRUE(map.levels().empty());
    EXPECT_EQ(map.max_insertions(), 0u);
    EXPECT_FALSE(map.insert(key(1), 10).has_value());

    EXPECT_EQ(map.capacity(), 16u);
    std::vector<std::uint32_t> sizes;
    for (const auto& level : map.levels()) sizes.push_back(level.slots());
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{8, 4, 2, 1, 1}));
    EXPECT_EQ(map.quotas(), (std::vector<std::uint32_t>{6, 5, 3, 1, 0}));
    const auto loc = map.find(key(1), map.hash_key(key(1)));
    ASSERT_TRUE(loc.has_value());
    EXPECT_EQ(loc->level, 0u);
    EXPECT_EQ(map.len(), 1u);
    EXPECT_EQ(map.quota_left(), 5u);
}

TEST(ElasticInsert, SixteenthKeyGrowsCapacity16To32) {
    Map map = make_map(16);
    for (std::uint64_t i = 0; i < 15; ++i) map.insert(key(i), i * 3);
    EXPECT_EQ(map.capacity(), 16u);
    EXPECT_EQ(map.batch(), 3u);  // the 15th key took batch 3's single quota
    EXPECT_EQ(map.quota_left(), 0u);

    map.insert(key(15), 45);
    EXPECT_EQ(map.capacity(), 32u);
    EXPECT_EQ(map.len(), 16u);
    for (std::uint64_t i = 0; i < 16; ++i) {
        const std::uint64_t* v = map.get(key(i));
        ASSERT_NE(v, nullptr) << i;
        EXPECT_EQ(*v, i * 3);
    }
}

TEST(ElasticInsert, ReinsertionKeepsTheFirstKeyAndNeverGrows) {
    Map map = make_map(16);
    for (std::uint64_t i = 0; i < 15; ++i) map.insert(key(i), i);
    ASSERT_EQ(map.len(), map.max_insertions());
    const auto before = test::capture(map);

    const auto previous = map.insert(TestKey::make(3, HashMode::identity, /*copy=*/9), 300);
    ASSERT_TRUE(previous.has_value());
    EXPECT_EQ(*previous, 3u);
    EXPECT_EQ(map.len(), 15u);
    EXPECT_EQ(map.capacity(), 16u);
    EXPECT_EQ(map.batch(), before.batch);
    EXPECT_EQ(map.quota_left(), before.quota_left);
    const auto loc = map.find(key(3), map.hash_key(key(3)));
    ASSERT_TRUE(loc.has_value());
    EXPECT_EQ(map.entry_at(*loc).key.copy, 0u);
    EXPECT_EQ(map.entry_at(*loc).value, 300u);
}

TEST(ElasticInsert, KeysWithEqualHashesAreToldApartByEquality) {
    Map map = make_map(0);
    for (std::uint64_t i = 0; i < 300; ++i) map.insert(key(i, HashMode::constant), i + 1000);
    EXPECT_EQ(map.len(), 300u);
    for (std::uint64_t i = 0; i < 300; ++i) {
        const std::uint64_t* v = map.get(key(i, HashMode::constant));
        ASSERT_NE(v, nullptr) << i;
        EXPECT_EQ(*v, i + 1000);
    }
    EXPECT_EQ(map.get(key(300, HashMode::constant)), nullptr);
}

TEST(ElasticInsert, KeyWithZeroTopBitsGetsTagOne) {
    Map map = make_map(64);
    std::uint64_t id = 0;
    while ((map.hash_key(key(id)).value >> 57) != 0) ++id;
    for (std::uint64_t other = id + 1; other < id + 40; ++other) map.insert(key(other), other);
    map.insert(key(id), 77);

    const auto loc = map.find(key(id), map.hash_key(key(id)));
    ASSERT_TRUE(loc.has_value());
    EXPECT_EQ(map.levels()[loc->level].control(loc->slot), 1u);
    EXPECT_EQ(*map.get(key(id)), 77u);
}

TEST(ElasticInsert, InsertNewPlacesLikeInsert) {
    Map a = make_map(0);
    Map b = make_map(0);
    for (std::uint64_t i = 0; i < 500; ++i) {
        a.insert(key(i * 7), i);
        b.insert_new(key(i * 7), i);
    }
    EXPECT_EQ(test::capture(a), test::capture(b));
}

TEST(ElasticInsert, FirstFreeUniformFollowsTheKeysSequence) {
    Map map = make_map(64);
    const MapHash h = map.hash_key(key(5, HashMode::constant));
    const auto first = map.first_free_uniform(0, h);
    ASSERT_TRUE(first.has_value());
    map.insert(key(5, HashMode::constant), 1);
    // The key took that slot; the next key with the same hash gets another.
    EXPECT_EQ(map.find(key(5, HashMode::constant), h), (Location{0, *first}));
    const auto second = map.first_free_uniform(0, h);
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(*second, *first);
}

// ---- removal -------------------------------------------------------------------

TEST(ElasticRemove, RemovingTheOnlyEntry) {
    Map map = make_map(0);
    map.insert(key(1), 5);
    EXPECT_EQ(map.remove(key(1)), std::optional<std::uint64_t>(5));
    EXPECT_EQ(map.len(), 0u);
    EXPECT_EQ(map.get(key(1)), nullptr);
    EXPECT_EQ(map.remove(key(1)), std::nullopt);
    map.insert(key(1), 6);
    EXPECT_EQ(*map.get(key(1)), 6u);
    EXPECT_EQ(map.len(), 1u);
}

TEST(ElasticRemove, FreedSlotIsReusedAndKeysPlacedAfterAreFound) {
    // One hash for all keys: they share one probe sequence per level, so the
    // next key placed in a level takes the freed slot.
    Map map = make_map(64);
    for (std::uint64_t i = 0; i < 30; ++i) map.insert(key(i, HashMode::constant), i);
    const std::vector<std::uint64_t> level0 = keys_in_level(map, 0);
    ASSERT_GE(level0.size(), 2u);
    const TestKey victim = key(level0[0], HashMode::constant);
    const Location freed = *map.find(victim, map.hash_key(victim));
    ASSERT_TRUE(map.remove(victim).has_value());
    EXPECT_EQ(map.levels()[0].removed(), 1u);
    EXPECT_EQ(map.levels()[0].control(freed.slot), DELETED);

    bool reused = false;
    for (std::uint64_t i = 100; i < 120 && !reused; ++i) {
        map.insert(key(i, HashMode::constant), i);
        const auto loc = map.find(key(i, HashMode::constant), map.hash_key(key(i, HashMode::constant)));
        reused = loc == freed;
    }
    EXPECT_TRUE(reused);
    EXPECT_EQ(map.levels()[0].removed(), 1u);  // reuse does not lower the count
    for (auto it = map.begin(); it != map.end(); ++it) {
        EXPECT_EQ(map.get(it->key), &it->value) << it->key.id;
    }
    EXPECT_EQ(map.get(victim), nullptr);
}

// A removal never rebuilds: in a full map (reserve fraction 0.000001, all 16
// slots fill), emptying a level of 8, 2 or 1 slots leaves its DELETED bytes,
// counts every removal and moves no other entry.
TEST(ElasticRemove, RemovalsNeverRebuild) {
    for (const std::uint32_t level_index : {0u, 2u, 3u}) {
        Map map = make_map(16, 0.000001);
        for (std::uint64_t i = 0; i < 16; ++i) map.insert(key(i), i);
        ASSERT_EQ(map.capacity(), 16u);
        ASSERT_EQ(map.len(), 16u);
        const std::uint32_t slots = map.levels()[level_index].slots();
        SCOPED_TRACE(testing::Message() << "level of " << slots << " slots");
        const std::vector<std::uint64_t> victims = keys_in_level(map, level_index);
        ASSERT_EQ(victims.size(), slots);
        std::vector<Location> kept;
        for (const Location loc : entry_locations(map)) {
            if (loc.level != level_index) kept.push_back(loc);
        }
        for (std::uint32_t r = 0; r < slots; ++r) {
            ASSERT_TRUE(map.remove(key(victims[r])).has_value());
            EXPECT_EQ(map.levels()[level_index].removed(), r + 1);
        }
        EXPECT_EQ(map.capacity(), 16u);
        EXPECT_EQ(map.len(), 16u - slots);
        EXPECT_TRUE(has_deleted_byte(map));
        EXPECT_EQ(entry_locations(map), kept) << "no entry moved";
        for (std::uint64_t i = 0; i < 16; ++i) {
            const bool removed = std::find(victims.begin(), victims.end(), i) != victims.end();
            EXPECT_EQ(map.get(key(i)) == nullptr, removed) << i;
        }
    }
}

TEST(ElasticRemove, ReusedSlotsKeepTheirRemovalCount) {
    Map map = make_map(16, 0.000001);
    for (std::uint64_t i = 0; i < 16; ++i) map.insert(key(i), i);
    const std::vector<std::uint64_t> victims = keys_in_level(map, 0);
    ASSERT_EQ(victims.size(), 8u);
    for (int r = 0; r < 4; ++r) map.remove(key(victims[r]));
    // Every other level is full, so the new keys fill level 0's freed slots.
    for (std::uint64_t i = 100; i < 104; ++i) map.insert(key(i), i);
    EXPECT_EQ(map.levels()[0].live(), 8u);
    EXPECT_EQ(map.levels()[0].removed(), 4u);
    EXPECT_FALSE(has_deleted_byte(map));
    for (std::uint64_t i = 100; i < 104; ++i) EXPECT_EQ(*map.get(key(i)), i);

    map.remove(key(victims[4]));
    EXPECT_EQ(map.levels()[0].removed(), 5u);
    EXPECT_EQ(map.len(), 15u);
    map.resize(16);
    EXPECT_EQ(map.levels()[0].removed(), 0u) << "a rebuild starts afresh";
    EXPECT_FALSE(has_deleted_byte(map));
}

// ---- rebuild -------------------------------------------------------------------

TEST(ElasticRebuild, ResizeKeepsEveryEntryAndTheSeed) {
    Map map = make_map(0);
    for (std::uint64_t i = 0; i < 200; ++i) map.insert(key(i), i);
    const MapHash h = map.hash_key(key(17));
    map.resize(4096);
    EXPECT_EQ(map.capacity(), 4096u);
    EXPECT_EQ(map.hash_key(key(17)).value, h.value);
    EXPECT_EQ(map.len(), 200u);
    for (std::uint64_t i = 0; i < 200; ++i) ASSERT_EQ(*map.get(key(i)), i);
}

// Rebuilding into a capacity the entries outgrow: the new map grows while
// the entries move in, as insertions would make it grow.
TEST(ElasticRebuild, RebuildIntoATooSmallCapacityGrowsOnTheWay) {
    Map map = make_map(0);
    for (std::uint64_t i = 0; i < 100; ++i) map.insert(key(i), i);
    map.resize(16);
    EXPECT_EQ(map.capacity(), 128u);  // 16 -> 32 -> 64 -> 128: max_insertions(64) = 58 < 100 <= 116
    EXPECT_EQ(map.len(), 100u);
    for (std::uint64_t i = 0; i < 100; ++i) ASSERT_EQ(*map.get(key(i)), i);
}

// With a reserve fraction near 1, max_insertions stays 1 for every capacity
// here, so every new key grows the map, and so does every entry a rebuild
// moves in after the first: each insertion checks growth once, and the
// rebuild's own insertions check it too.
TEST(ElasticRebuild, NearlyFullReserveGrowsAsInsertionsDo) {
    Map map = make_map(0, 0.999999);
    map.insert(key(0), 0);
    EXPECT_EQ(map.capacity(), 16u);
    map.insert(key(1), 1);
    EXPECT_EQ(map.capacity(), 32u);
    map.insert(key(2), 2);  // to 64, where moving the second entry grows it to 128
    EXPECT_EQ(map.capacity(), 128u);
    for (std::uint64_t i = 0; i < 3; ++i) ASSERT_EQ(*map.get(key(i)), i);

    // A removal leaves the capacity alone; a rebuild at 128 moves the two
    // remaining entries into a map of 128, which grows to 256 on the way.
    map.remove(key(1));
    EXPECT_EQ(map.capacity(), 128u);
    map.resize(128);
    EXPECT_EQ(map.capacity(), 256u);
    EXPECT_EQ(map.len(), 2u);
    for (std::uint64_t i = 0; i < 3; ++i) EXPECT_EQ(map.get(key(i)) == nullptr, i == 1);
}

// ---- clear and entry order ---------------------------------------------------------

TEST(ElasticClear, ClearedMapReplaysLikeANewOne) {
    Map cleared = make_map(0);
    cleared.clear();  // harmless when empty
    EXPECT_EQ(cleared.len(), 0u);
    for (std::uint64_t i = 0; i < 300; ++i) cleared.insert(key(i * 5), i);
    for (std::uint64_t i = 0; i < 300; i += 4) cleared.remove(key(i * 5));
    const std::uint32_t capacity = cleared.capacity();
    cleared.clear();
    EXPECT_EQ(cleared.len(), 0u);
    EXPECT_EQ(cleared.capacity(), capacity);
    EXPECT_EQ(cleared.batch(), 0u);
    EXPECT_EQ(cleared.quota_left(), cleared.quotas()[0]);
    EXPECT_EQ(cleared.max_level(), 0u);
    for (const auto& level : cleared.levels()) {
        EXPECT_EQ(level.live(), 0u);
        EXPECT_EQ(level.removed(), 0u);
        for (std::uint32_t i = 0; i < level.groups() * GROUP_WIDTH; ++i) ASSERT_EQ(level.control(i), EMPTY);
    }
    EXPECT_EQ(cleared.begin(), cleared.end());

    Map fresh = make_map(capacity);
    for (std::uint64_t i = 1000; i < 1200; ++i) {
        cleared.insert(key(i), i);
        fresh.insert(key(i), i);
    }
    EXPECT_EQ(entry_ids(cleared), entry_ids(fresh));
    EXPECT_EQ(test::capture(cleared), test::capture(fresh));
}

TEST(ElasticOrder, EntryOrderIsLevelByLevelSlotsAscending) {
    Map map = make_map(0);
    for (std::uint64_t i = 0; i < 1000; ++i) map.insert(key(i * 13), i);
    const std::vector<Location> order = entry_locations(map);
    ASSERT_EQ(order.size(), 1000u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(std::adjacent_find(order.begin(), order.end()), order.end());
    EXPECT_EQ(order.front().level, 0u);
    EXPECT_GT(order.back().level, 0u);

    std::vector<std::uint64_t> iterated;
    for (const auto& entry : map) iterated.push_back(entry.key.id);
    EXPECT_EQ(iterated, entry_ids(map));
}

TEST(ElasticOrder, PopFirstEntryUntilEmpty) {
    Map map = make_map(0);
    for (std::uint64_t i = 0; i < 2000; ++i) map.insert(key(i), i);
    std::set<std::uint64_t> popped;
    while (!map.empty()) {
        const std::vector<Location> order = entry_locations(map);
        const auto first = map.first_location();
        ASSERT_TRUE(first.has_value());
        ASSERT_EQ(*first, order.front());
        const std::uint32_t removed_before = map.levels()[first->level].removed();
        const std::uint64_t second_id = order.size() > 1 ? map.entry_at(order[1]).key.id : 0;
        const auto entry = map.remove_at(*first);
        EXPECT_EQ(entry.value, entry.key.id);
        EXPECT_TRUE(popped.insert(entry.key.id).second);
        const bool purged = map.levels()[first->level].removed() != removed_before + 1;
        if (!purged && !map.empty()) {
            ASSERT_EQ(map.entry_at(*map.first_location()).key.id, second_id);
        }
        // Keep adding a few keys now and then: new entries may land before the
        // remembered front and must be found first.
        if (popped.size() % 97 == 0) map.insert(key(100000 + popped.size()), 100000 + popped.size());
    }
    EXPECT_FALSE(map.first_location().has_value());
    EXPECT_GE(popped.size(), 2000u);
}

}  // namespace
}  // namespace quorvel
