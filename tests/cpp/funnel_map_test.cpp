// Funnel map behaviour at the edges: growth, where keys go when their
// windows are full, removal and its rebuild triggers, clear, entry order,
// aborted operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

#include "funnel_test_support.hpp"

namespace quorvel {
namespace {

using namespace funnel_test;
using KeyMap = Map<HashedKey>;

TEST(FunnelMapGrowth, FirstInsertionIntoCapacityZeroLandsInLevel23) {
    KeyMap map = make_map<HashedKey>(0);
    EXPECT_EQ(map.max_insertions(), 0u);
    EXPECT_EQ(map.levels().size(), 24u);
    EXPECT_FALSE(map.insert(ordinary_key(1), Value(10)).has_value());
    EXPECT_EQ(map.capacity(), 16u);
    EXPECT_EQ(map.levels()[23].len(), 1u);
    EXPECT_EQ(map.max_populated_level(), 23u);
    EXPECT_EQ(map.get(ordinary_key(1))->get(), 10u);
    // The probe limit of capacity 0 (1) survives every growth.
    EXPECT_EQ(map.primary_probe_limit(), 1u);
    for (std::uint64_t i = 2; i < 3000; ++i) map.insert(ordinary_key(i), Value(i));
    EXPECT_EQ(map.primary_probe_limit(), 1u);
    EXPECT_EQ(map.fallback().bucket_width(), 2u);
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
}

TEST(FunnelMapGrowth, FifteenKeysFitCapacity16AndTheSixteenthGrows) {
    KeyMap map = make_map<HashedKey>(16);
    for (std::uint64_t i = 0; i < 15; ++i) map.insert(ordinary_key(i), Value(i));
    EXPECT_EQ(map.capacity(), 16u);
    EXPECT_EQ(map.len(), 15u);
    EXPECT_EQ(map.levels()[23].len(), 15u);
    // Replacing a present key at max_insertions returns the old value and never grows.
    EXPECT_EQ(map.insert(ordinary_key(7), Value(7))->get(), 7u);
    EXPECT_EQ(map.capacity(), 16u);
    map.insert(ordinary_key(15), Value(15));
    EXPECT_EQ(map.capacity(), 32u);
    EXPECT_EQ(map.len(), 16u);
    for (std::uint64_t i = 0; i < 16; ++i) EXPECT_EQ(map.get(ordinary_key(i))->get(), i);
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
}

// Keys of one hash share every window: they fill their level windows, then
// their primary groups, then their fallback buckets; then the rules have no
// slot, and a map at least half of max_insertions grows although it is below
// max_insertions.
TEST(FunnelMapPlacement, FullWindowsGoToPrimaryThenFallbackThenGrow) {
    KeyMap map = make_map<HashedKey>(1000);
    std::uint64_t next_id = 0;
    while (map.len() < 470) map.insert(ordinary_key(next_id++), Value(0));
    ASSERT_EQ(map.capacity(), 1000u);

    std::vector<FunnelRegion> regions;
    const MapHash h = map.hash_key(colliding_key(0));
    for (std::uint64_t i = 1;; ++i) {
        const bool rules_have_slot = map.choose_slot_for_new_key(h).has_value();
        map.insert(colliding_key(next_id + i), Value(i));
        if (!rules_have_slot) {
            EXPECT_EQ(map.capacity(), 2000u) << "no slot by the rules: the map grows";
            EXPECT_LT(map.len() - 1, 900u);
            break;
        }
        ASSERT_EQ(map.capacity(), 1000u);
        regions.push_back(map.find(colliding_key(next_id + i), h)->region);
    }
    ASSERT_FALSE(regions.empty());
    EXPECT_TRUE(std::is_sorted(regions.begin(), regions.end()));
    EXPECT_EQ(regions.front(), FunnelRegion::level);
    EXPECT_NE(std::find(regions.begin(), regions.end(), FunnelRegion::primary), regions.end());
    EXPECT_EQ(regions.back(), FunnelRegion::fallback);
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
}

// Below half of max_insertions the same key is placed outside its windows
// instead, without growing, and is counted as such.
TEST(FunnelMapPlacement, KeyWithoutRuleSlotInAHalfEmptyMapTakesTheFirstFreeSlot) {
    KeyMap map = make_map<HashedKey>(1000);
    const MapHash h = map.hash_key(colliding_key(0));
    std::uint64_t id = 0;
    for (; map.choose_slot_for_new_key(h); ++id) map.insert(colliding_key(id), Value(id));
    ASSERT_LT(2 * map.len(), map.max_insertions());
    map.insert(colliding_key(id), Value(id));
    EXPECT_EQ(map.capacity(), 1000u);
    EXPECT_EQ(map.overflow_index().count(h.value), 1u);
    const auto loc = map.find(colliding_key(id), h);
    ASSERT_TRUE(loc.has_value());
    EXPECT_FALSE(at_rule_location(map, h, *loc));
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
    // Removing it leaves no overflow hash behind.
    EXPECT_TRUE(map.remove(colliding_key(id)).has_value());
    EXPECT_TRUE(map.overflow_index().empty());
}

TEST(FunnelMapPlacement, TopSevenBitsZeroIsStoredWithTagOne) {
    KeyMap map = make_map<HashedKey>(1000);
    std::uint64_t id = 0;
    while ((map.hash_key(ordinary_key(id)).value >> 57) != 0) ++id;
    const HashedKey key = ordinary_key(id);
    map.insert(key, Value(5));
    const auto loc = map.find(key, map.hash_key(key));
    ASSERT_TRUE(loc.has_value());
    EXPECT_EQ(map.levels()[loc->level].table().control(loc->slot), 1u);
    EXPECT_EQ(map.get(key)->get(), 5u);
}

// With reserve fractions below 1/256 buckets are 32 or 48 slots wide; the
// whole bucket is used, so such maps hold what their growth rule promises.
TEST(FunnelMapPlacement, TinyReserveFractionsFillWholeBuckets) {
    for (const double delta : {0.001, 0.000001}) {
        SCOPED_TRACE(testing::Message() << "reserve fraction " << delta);
        KeyMap map = make_map<HashedKey>(0, delta);
        for (std::uint64_t i = 0; i < 20000; ++i) map.insert(ordinary_key(i), Value(i));
        EXPECT_EQ(map.len(), 20000u);
        for (std::uint64_t i = 0; i < 20000; i += 7) ASSERT_EQ(map.get(ordinary_key(i))->get(), i);
        std::uint32_t fullest = 0;
        const auto& level = map.levels()[0];
        for (std::uint32_t b = 0; b < level.bucket_count(); ++b) {
            const std::uint32_t start = b * level.bucket_width();
            fullest = std::max(fullest, count_controls(level.table(), start, start + level.bucket_width()).full);
        }
        EXPECT_GT(fullest, 16u);
        ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
    }
}

TEST(FunnelMapRemoval, RemovingTheOnlyKeyLeavesOneTombstone) {
    KeyMap map = make_map<HashedKey>(1000);
    const HashedKey key = ordinary_key(3);
    map.insert(key, Value(3));
    const SlotLocation loc = *map.find(key, map.hash_key(key));
    ASSERT_EQ(loc.region, FunnelRegion::level);
    const auto removed = map.remove(key);
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(removed->get(), 3u);
    EXPECT_EQ(map.len(), 0u);
    EXPECT_EQ(map.max_populated_level(), 0u);
    EXPECT_EQ(map.levels()[loc.level].table().control(loc.slot), DELETED);
    EXPECT_EQ(map.levels()[loc.level].tombstones(), 1u);
    EXPECT_FALSE(map.remove(key).has_value());
    EXPECT_EQ(map.get(key), nullptr);
}

// A removal never rebuilds the map, however many tombstones a region
// collects: five removals from one primary group leave five tombstones, and
// every other entry stays where it was.
TEST(FunnelMapRemoval, RemovalsFromAPrimaryGroupLeaveTombstones) {
    KeyMap map = make_map<HashedKey>(1000);
    const MapHash h = map.hash_key(colliding_key(0));
    // Keys of one hash fill their level windows, then the primary groups of
    // their walk one after the other; collect five from one group.
    std::map<std::uint32_t, std::vector<HashedKey>> by_group;
    std::vector<HashedKey> in_group;
    std::uint32_t group = 0;
    for (std::uint64_t id = 0; in_group.empty(); ++id) {
        map.insert(colliding_key(id), Value(id));
        ASSERT_EQ(map.capacity(), 1000u);
        const SlotLocation loc = *map.find(colliding_key(id), h);
        if (loc.region != FunnelRegion::primary) continue;
        auto& keys = by_group[loc.slot / GROUP_WIDTH];
        keys.push_back(colliding_key(id));
        if (keys.size() == 5) {
            group = loc.slot / GROUP_WIDTH;
            in_group = keys;
        }
    }
    const std::uint32_t len = map.len();
    const std::vector<SlotLocation> before = entry_locations(map);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(map.remove(in_group[i]).has_value());
    EXPECT_EQ(map.primary().group_tombstones()[group], 5u);
    EXPECT_EQ(map.capacity(), 1000u);
    EXPECT_EQ(map.len(), len - 5);
    std::vector<SlotLocation> kept;
    for (const SlotLocation& loc : before) {
        if (loc.region == FunnelRegion::primary && loc.slot / GROUP_WIDTH == group &&
            map.primary().control(loc.slot) == DELETED) {
            continue;
        }
        kept.push_back(loc);
    }
    EXPECT_EQ(entry_locations(map), kept) << "no entry moved";
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
}

// A level of 16 slots with nine removals keeps its tombstones, and
// placements reuse the removed slots.
TEST(FunnelMapRemoval, TombstonesOfALevelStayUntilItIsRebuilt) {
    KeyMap map = make_map<HashedKey>(16);
    const auto& level = [&]() -> const KeyMap::Level& { return map.levels()[23]; };
    ASSERT_EQ(level().slots(), 16u);
    for (std::uint64_t i = 0; i < 15; ++i) map.insert(ordinary_key(i), Value(i));
    for (std::uint64_t i = 0; i < 8; ++i) ASSERT_TRUE(map.remove(ordinary_key(i)).has_value());
    EXPECT_EQ(level().tombstones(), 8u);
    map.insert(ordinary_key(100), Value(100));  // reuses a removed slot
    EXPECT_EQ(level().tombstones(), 8u);
    EXPECT_EQ(level().len(), 8u);
    ASSERT_TRUE(map.remove(ordinary_key(8)).has_value());
    EXPECT_EQ(level().tombstones(), 9u) << "a removal does not rebuild";
    EXPECT_EQ(level().len(), 7u);
    EXPECT_EQ(map.capacity(), 16u);
    for (std::uint64_t i = 9; i < 15; ++i) EXPECT_EQ(map.get(ordinary_key(i))->get(), i);
    EXPECT_EQ(map.get(ordinary_key(100))->get(), 100u);
    map.resize(16);
    EXPECT_EQ(level().tombstones(), 0u) << "a rebuild starts afresh";
    for (std::uint32_t s = 0; s < 16; ++s) EXPECT_NE(level().table().control(s), DELETED);
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
}

TEST(FunnelMapRemoval, EmptyingLevelZeroKeepsMaxPopulatedLevel) {
    KeyMap map = make_map<HashedKey>(1000);
    const MapHash h = map.hash_key(colliding_key(0));
    for (std::uint64_t id = 0; id < 17; ++id) map.insert(colliding_key(id), Value(id));
    ASSERT_EQ(map.levels()[0].len(), 16u);
    ASSERT_EQ(map.levels()[1].len(), 1u);
    ASSERT_EQ(map.max_populated_level(), 1u);
    HashedKey deeper{};
    for (std::uint64_t id = 0; id < 17; ++id) {
        if (map.find(colliding_key(id), h)->level == 1) deeper = colliding_key(id);
    }
    for (std::uint64_t id = 0; id < 17; ++id) {
        if (id != deeper.id) {
            ASSERT_TRUE(map.remove(colliding_key(id)).has_value());
        }
    }
    EXPECT_EQ(map.levels()[0].len(), 0u);
    EXPECT_EQ(map.levels()[0].tombstones(), 16u) << "no rebuild was due";
    EXPECT_EQ(map.max_populated_level(), 1u);
    EXPECT_EQ(map.get(deeper)->get(), deeper.id);
    ASSERT_TRUE(map.remove(deeper).has_value());
    EXPECT_EQ(map.max_populated_level(), 0u);
}

TEST(FunnelMapClear, KeepsCapacityAndTables) {
    KeyMap map = make_map<HashedKey>(1000);
    for (std::uint64_t i = 0; i < 900; ++i) map.insert(ordinary_key(i), Value(i));
    for (std::uint64_t i = 0; i < 300; ++i) map.insert(colliding_key(10000 + i), Value(i));
    const std::size_t bytes_before = map.allocated_bytes();
    const std::uint32_t capacity = map.capacity();
    map.clear();
    EXPECT_EQ(map.len(), 0u);
    EXPECT_EQ(map.capacity(), capacity);
    EXPECT_EQ(map.max_populated_level(), 0u);
    EXPECT_TRUE(map.overflow_index().empty());
    EXPECT_FALSE(map.first_location().has_value());
    EXPECT_LE(map.allocated_bytes(), bytes_before);
    for (const auto& level : map.levels()) EXPECT_EQ(level.tombstones(), 0u);
    map.insert(ordinary_key(1), Value(1));
    EXPECT_EQ(map.capacity(), capacity) << "clear keeps max_insertions: no growth";
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
}

TEST(FunnelMapOrder, IterationIsLevelsThenPrimaryThenFallbackAscending) {
    KeyMap map = make_map<HashedKey>(1000);
    FunnelIter<HashedKey, Value> empty(map);
    EXPECT_EQ(empty.next(), nullptr);
    EXPECT_EQ(empty.next(), nullptr);
    for (std::uint64_t i = 0; i < 600; ++i) map.insert(ordinary_key(i), Value(i));
    for (std::uint64_t i = 0; i < 250; ++i) map.insert(colliding_key(5000 + i), Value(i));
    const std::vector<SlotLocation> order = entry_locations(map);
    ASSERT_EQ(order.size(), map.len());
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end(), entry_order_less));
    EXPECT_NE(std::find_if(order.begin(), order.end(),
                           [](const SlotLocation& l) { return l.region == FunnelRegion::fallback; }),
              order.end());
    EXPECT_EQ(map.first_location(), std::optional(order.front()));

    std::vector<std::uint64_t> visited;
    map.for_each([&](const HashedKey& key, const Value&) { visited.push_back(key.id); });
    ASSERT_EQ(visited.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(visited[i], map.entry_at(order[i]).key.id);

    // popitem: the first entry of the order, again and again.
    for (int i = 0; i < 100; ++i) {
        const SlotLocation first = *map.first_location();
        EXPECT_EQ(first, entry_locations(map).front());
        map.remove_at(first);
    }
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
}

// Order keys stand for locations in the map's remembered positions: the
// round trip is exact and integer order is entry order, for every region
// and for level indices and slots at the ends of their ranges.
TEST(FunnelMapOrder, OrderKeysRoundTripAndSortAsEntryOrder) {
    std::vector<SlotLocation> locations;
    for (const std::uint32_t slot : {0u, 1u, 15u, 16u, 0xFFFFu, 0x7FFF'FFFFu, 0xFFFF'FFFFu}) {
        for (const std::uint32_t level : {0u, 1u, 7u, 63u, 0x3FFF'FFFFu}) {
            locations.push_back(SlotLocation::level_slot(level, slot));
        }
        locations.push_back(SlotLocation::primary_slot(slot));
        locations.push_back(SlotLocation::fallback_slot(slot));
    }
    for (const SlotLocation& a : locations) {
        EXPECT_EQ(location_of(order_key(a)), a);
        for (const SlotLocation& b : locations) EXPECT_EQ(order_key(a) < order_key(b), a < b);
    }
}

// popitem interleaved with insertions: keys placed before the remembered
// first entry (into slots popitem emptied) move it back, and the first
// entry is always the order's front.
TEST(FunnelMapOrder, FirstEntryFollowsInsertionsBeforeIt) {
    KeyMap map = make_map<HashedKey>(1000);
    for (std::uint64_t i = 0; i < 700; ++i) map.insert(ordinary_key(i), Value(i));
    std::uint64_t next = 700;
    for (int round = 0; round < 60; ++round) {
        for (int i = 0; i < 5; ++i) {
            const SlotLocation first = *map.first_location();
            ASSERT_EQ(first, entry_locations(map).front());
            map.remove_at(first);
        }
        for (int i = 0; i < 3; ++i, ++next) map.insert(ordinary_key(next), Value(next));
        ASSERT_EQ(map.first_location(), std::optional(entry_locations(map).front()));
    }
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
}

// The destructor and clear release entries in entry order.
struct Logged {
    std::uint64_t id;
    std::vector<std::uint64_t>* log;

    Logged(std::uint64_t i, std::vector<std::uint64_t>* l) noexcept : id(i), log(l) {}
    Logged(Logged&& o) noexcept : id(o.id), log(std::exchange(o.log, nullptr)) {}
    Logged& operator=(Logged&& o) noexcept {
        id = o.id;
        log = std::exchange(o.log, nullptr);
        return *this;
    }
    ~Logged() {
        if (log != nullptr) log->push_back(id);
    }
};

TEST(FunnelMapOrder, EntriesAreReleasedInEntryOrder) {
    std::vector<std::uint64_t> log;
    std::vector<std::uint64_t> expected;
    {
        auto map = FunnelHashMap<HashedKey, Logged>::with_options_and_hasher(FunnelOptions{1000, 0.1, std::nullopt}, 9, funnel_test::TEST_GLOBAL_SEED);
        for (std::uint64_t i = 0; i < 500; ++i) map.insert(ordinary_key(i), Logged(i, &log));
        for (std::uint64_t i = 0; i < 200; ++i) map.insert(colliding_key(1000 + i), Logged(1000 + i, &log));
        map.for_each([&](const HashedKey& key, const Logged&) { expected.push_back(key.id); });
        log.clear();
        map.clear();
        EXPECT_EQ(log, expected);
        for (std::uint64_t i = 0; i < 300; ++i) map.insert(ordinary_key(i), Logged(i, &log));
        expected.clear();
        map.for_each([&](const HashedKey& key, const Logged&) { expected.push_back(key.id); });
        log.clear();
    }
    EXPECT_EQ(log, expected);
}

// Equality that throws aborts the operation before anything has changed.
TEST(FunnelMapAbort, ThrowingEqualityLeavesTheMapUnchanged) {
    using TMap = Map<ThrowingKey>;
    TMap map = make_map<ThrowingKey>(1000);
    const std::uint64_t shared_hash = 99;
    for (std::uint64_t i = 0; i < 400; ++i) map.insert(ThrowingKey{i, shared_hash}, Value(i));
    for (std::uint64_t i = 400; i < 800; ++i) map.insert(ThrowingKey{i, i * 0x9E3779B97F4A7C15ull}, Value(i));
    std::mt19937_64 rng(5);
    int aborted = 0;
    for (int round = 0; round < 300; ++round) {
        const std::uint64_t id = rng() % 900;  // present and absent keys, mostly of the shared hash
        const ThrowingKey key{id, id < 400 || id >= 800 ? shared_hash : id * 0x9E3779B97F4A7C15ull};
        const std::vector<SlotLocation> order = entry_locations(map);
        const std::uint32_t len = map.len();
        const std::uint32_t capacity = map.capacity();
        ThrowingKey::throw_after = static_cast<int>(rng() % 40);
        bool threw = false;
        try {
            switch (round % 3) {
                case 0: map.insert(key, Value(1)); break;
                case 1: map.remove(key); break;
                default: map.get(key); break;
            }
        } catch (const std::runtime_error&) {
            threw = true;
        }
        ThrowingKey::throw_after = -1;
        if (!threw) continue;
        ++aborted;
        ASSERT_EQ(map.len(), len);
        ASSERT_EQ(map.capacity(), capacity);
        ASSERT_EQ(entry_locations(map), order) << "round " << round;
    }
    EXPECT_GT(aborted, 100);
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));

    // remove_at and insert_new compare no keys at all.
    ThrowingKey::throw_after = 0;
    const std::uint32_t len = map.len();
    auto entry = map.remove_at(*map.first_location());
    map.insert_new(std::move(entry.key), std::move(entry.value));
    ThrowingKey::throw_after = -1;
    EXPECT_EQ(map.len(), len);
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
}

TEST(FunnelMapMove, MoveAssignmentReleasesTheOldEntries) {
    KeyMap a = make_map<HashedKey>(100);
    for (std::uint64_t i = 0; i < 80; ++i) a.insert(ordinary_key(i), Value(i));
    KeyMap b = make_map<HashedKey>(16);
    b.insert(ordinary_key(1000), Value(1));
    b = std::move(a);
    EXPECT_EQ(b.len(), 80u);
    EXPECT_EQ(b.get(ordinary_key(1000)), nullptr);
    EXPECT_EQ(b.get(ordinary_key(79))->get(), 79u);
    // The moved-from map is empty and still usable.
    EXPECT_EQ(a.len(), 0u);
    a.insert(ordinary_key(5), Value(5));
    EXPECT_EQ(a.get(ordinary_key(5))->get(), 5u);
}

}  // namespace
}  // namespace quorvel
