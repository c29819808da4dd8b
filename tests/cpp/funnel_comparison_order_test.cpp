// The order in which a funnel lookup compares keys.  For Python keys a
// comparison may run code of the key's owner, so which stored keys a
// lookup compares, and in what order, is something a caller can see.  In
// maps of such keys from 2^8 slots on the walk over the levels reads the
// windows of two levels at a time (and below, one at a time); these tests
// hold it to the walk the rules give, one level after the other:
// within each named level's window its tag matches by ascending slot,
// stopping at the key, and stopping after a window that has an EMPTY slot.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "funnel_test_support.hpp"

namespace quorvel {
namespace {

using funnel_test::make_map;

// A key that logs the stored key of every comparison it takes part in.
struct LoggedKey {
    std::uint64_t id;
    std::uint64_t hash;

    static inline std::vector<std::uint64_t> log;

    std::uint64_t hash_value() const noexcept { return hash; }
    friend bool operator==(const LoggedKey& stored, const LoggedKey& probe) {
        log.push_back(stored.id);
        return stored.id == probe.id;
    }
};

using Map = funnel_test::Map<LoggedKey>;

// The comparisons of the level-by-level walk over the hinted levels below
// the deep ones, and whether that walk settled the lookup there.
struct RuleWalk {
    std::vector<std::uint64_t> compared;
    bool settled = false;
};

RuleWalk rule_walk(const Map& map, const LoggedKey& key) {
    RuleWalk walk;
    const MapHash h = map.hash_key(key);
    const std::uint32_t named = map.level_hints().candidates(h);
    const auto& levels = map.levels();
    for (std::uint32_t i = 0; i < levels.size() && i < Map::DEEP_HINT; ++i) {
        if (((named >> i) & 1u) == 0) continue;
        const auto& level = levels[i];
        const std::uint32_t start = level.window_start(h);
        for (std::uint32_t g = 0; g < level.groups_per_bucket(); ++g) {
            bool empty = false;
            for (std::uint32_t s = start + g * GROUP_WIDTH; s < start + (g + 1) * GROUP_WIDTH; ++s) {
                const std::uint8_t c = level.control(s);
                empty = empty || c == EMPTY;
                if (c != h.tag()) continue;
                const std::uint64_t stored = level.entry(s).key.id;
                walk.compared.push_back(stored);
                if (stored == key.id) {
                    walk.settled = true;
                    return walk;
                }
            }
            if (empty) {
                walk.settled = true;
                return walk;
            }
        }
    }
    return walk;
}

// The comparisons logged since the log was cleared: exactly `compared`
// when the walk settled the operation, else that and then more.
void expect_logged(const std::vector<std::uint64_t>& compared, bool settled, std::uint64_t id) {
    if (settled) {
        EXPECT_EQ(LoggedKey::log, compared) << id;
    } else {
        ASSERT_GE(LoggedKey::log.size(), compared.size()) << id;
        EXPECT_EQ(std::vector(LoggedKey::log.begin(),
                              LoggedKey::log.begin() + static_cast<std::ptrdiff_t>(compared.size())),
                  compared)
            << id;
    }
}

void expect_rule_order(const Map& map, const LoggedKey& key) {
    const RuleWalk expected = rule_walk(map, key);
    LoggedKey::log.clear();
    (void)map.get(key);
    expect_logged(expected.compared, expected.settled, key.id);
}

// Few distinct hashes: every key shares its windows and its tag with
// others, so each window holds candidates that are not the key, in levels
// the walk reaches and in levels it does not.
TEST(FunnelComparisonOrder, LookupsCompareExactlyWhatTheLevelWalkCompares) {
    for (const std::uint32_t capacity : {8192u, 1024u}) {
        for (const std::uint64_t hashes : {2048u, 512u}) {
            for (const double reserve_fraction : {0.1, 0.01, 0.001}) {  // windows of one group, and of two
                Map map = make_map<LoggedKey>(capacity, reserve_fraction);
                std::mt19937_64 rng(hashes);
                std::vector<std::uint64_t> hash_of(hashes);
                for (auto& h : hash_of) h = rng();
                std::uint64_t id = 0;
                // Until the map is full, or grows because keys sharing one hash
                // have no slot left.
                while (map.len() < map.max_insertions() && map.capacity() == capacity) {
                    map.insert(LoggedKey{id, hash_of[id % hashes]}, funnel_test::Value(id));
                    ++id;
                }
                ASSERT_GT(map.len(), capacity / 8);
                for (std::uint64_t k = 0; k < id; k += 3) expect_rule_order(map, LoggedKey{k, hash_of[k % hashes]});
                for (std::uint64_t k = id; k < id + 500; ++k) expect_rule_order(map, LoggedKey{k, hash_of[k % hashes]});
            }
        }
    }
}

// Well-mixed hashes at the fill limit and after removals.
TEST(FunnelComparisonOrder, OrdinaryKeysThroughFillAndRemovals) {
    Map map = make_map<LoggedKey>(20000, 0.01);
    std::mt19937_64 rng(5);
    std::vector<LoggedKey> keys;
    for (std::uint64_t id = 0; map.len() < map.max_insertions(); ++id) {
        keys.push_back(LoggedKey{id, rng()});
        map.insert(keys.back(), funnel_test::Value(id));
    }
    for (std::size_t i = 0; i < keys.size(); i += 2) ASSERT_TRUE(map.remove(keys[i]).has_value());
    for (const LoggedKey& key : keys) expect_rule_order(map, key);
    for (std::uint64_t id = keys.size(); id < keys.size() + 2000; ++id) expect_rule_order(map, LoggedKey{id, rng()});
}

// Maps filled partly: most walks end at a window with an EMPTY slot, and
// the next named level's window often holds a key with the probe's tag,
// which the walk must not compare.
TEST(FunnelComparisonOrder, WalksEndAtTheFirstWindowWithAnEmptySlot) {
    std::mt19937_64 rng(11);
    for (const std::uint32_t capacity : {8192u, 600u, 300u}) {
        for (const double reserve_fraction : {0.1, 0.001}) {  // windows of one group, and of two
            for (const double fill : {0.3, 0.6, 0.9}) {
                Map map = make_map<LoggedKey>(capacity, reserve_fraction, std::nullopt, rng());
                std::uint64_t id = 0;
                while (map.len() < fill * map.max_insertions()) {
                    map.insert(LoggedKey{id, rng()}, funnel_test::Value(id));
                    ++id;
                }
                for (std::uint64_t k = id; k < id + 20000; ++k) expect_rule_order(map, LoggedKey{k, rng()});
            }
        }
    }
}

// An insertion into a map without removals walks the levels in order: in
// each window's groups the tag matches of the levels the key's bucket names
// (the deep ones sharing one name), by ascending slot, up to the key; and
// it stops at the first group with a free slot, where a new key goes.
struct InsertWalk {
    std::vector<std::uint64_t> compared;
    bool found = false;
    std::optional<SlotLocation> vacancy;
};

InsertWalk insert_walk(const Map& map, const LoggedKey& key) {
    InsertWalk walk;
    const MapHash h = map.hash_key(key);
    const std::uint32_t named = map.level_hints().candidates(h);
    const auto& levels = map.levels();
    for (std::uint32_t i = 0; i < levels.size(); ++i) {
        const auto& level = levels[i];
        if (level.bucket_count() == 0) continue;
        const bool is_named = ((named >> std::min(i, Map::DEEP_HINT)) & 1u) != 0;
        const std::uint32_t start = level.window_start(h);
        for (std::uint32_t g = 0; g < level.groups_per_bucket(); ++g) {
            std::optional<std::uint32_t> free;
            for (std::uint32_t s = start + g * GROUP_WIDTH; s < start + (g + 1) * GROUP_WIDTH; ++s) {
                const std::uint8_t c = level.control(s);
                if ((c == EMPTY || c == DELETED) && !free) free = s;
                if (!is_named || c != h.tag()) continue;
                const std::uint64_t stored = level.entry(s).key.id;
                walk.compared.push_back(stored);
                if (stored == key.id) {
                    walk.found = true;
                    return walk;
                }
            }
            if (free) {
                walk.vacancy = SlotLocation::level_slot(i, *free);
                return walk;
            }
        }
    }
    return walk;
}

void expect_insert_walk(Map& map, const LoggedKey& key, std::uint64_t value) {
    const InsertWalk expected = insert_walk(map, key);
    LoggedKey::log.clear();
    map.insert(key, funnel_test::Value(value));
    // Without a free slot in the levels the walk goes on outside them.
    expect_logged(expected.compared, expected.found || expected.vacancy, key.id);
    if (expected.vacancy && !expected.found) {
        const auto at = map.find(key, map.hash_key(key));
        ASSERT_TRUE(at.has_value()) << key.id;
        EXPECT_EQ(at->region, expected.vacancy->region) << key.id;
        EXPECT_EQ(at->level, expected.vacancy->level) << key.id;
        EXPECT_EQ(at->slot, expected.vacancy->slot) << key.id;
    }
}

// Every insertion of a fill, new keys and stored ones again, with few
// distinct hashes (windows full of candidates that are not the key, in
// named levels and in others) and with well-mixed ones.
TEST(FunnelComparisonOrder, InsertionsWithoutRemovalsCompareAndPlaceAsTheLevelWalk) {
    for (const std::uint64_t hashes : {512u, 0u}) {
        for (const double reserve_fraction : {0.1, 0.01, 0.001}) {  // windows of one group, and of two
            Map map = make_map<LoggedKey>(8192, reserve_fraction);
            std::mt19937_64 rng(hashes + 1);
            std::vector<std::uint64_t> hash_of(hashes == 0 ? 1 : hashes);
            for (auto& h : hash_of) h = rng();
            std::vector<LoggedKey> stored;
            for (std::uint64_t id = 0; map.len() < map.max_insertions() && map.capacity() == 8192; ++id) {
                const LoggedKey key{id, hashes == 0 ? rng() : hash_of[id % hashes]};
                expect_insert_walk(map, key, id);
                stored.push_back(key);
                if (id % 7 == 0) expect_insert_walk(map, stored[id / 2], id);
            }
            ASSERT_FALSE(map.churned());
            ASSERT_GT(map.len(), 1000u);
        }
    }
}

}  // namespace
}  // namespace quorvel
