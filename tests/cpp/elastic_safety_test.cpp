// Ownership and failure behaviour of the elastic map: move-only values,
// release order, comparisons that abort an operation, and rebuilds that
// cannot get their memory.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "elastic/elastic_map.hpp"
#include "elastic_test_support.hpp"

namespace quorvel {
namespace {

using test::ComparisonAborted;
using test::FragileKey;
using test::LoggedKey;
using test::LoggedValue;
using test::ReleaseLog;

template <class K, class V>
ElasticHashMap<K, V> make_map(std::uint32_t capacity, double reserve_fraction = 0.1) {
    return ElasticHashMap<K, V>::with_options_and_hasher({reserve_fraction, 16.0, capacity}, 11,
                                                        test::TEST_GLOBAL_SEED);
}

TEST(ElasticOwnership, MoveOnlyValuesSurviveGrowthPurgeAndMoves) {
    using Map = ElasticHashMap<std::uint64_t, std::unique_ptr<std::uint64_t>>;
    Map map = make_map<std::uint64_t, std::unique_ptr<std::uint64_t>>(0);
    for (std::uint64_t i = 0; i < 5000; ++i) map.insert(i, std::make_unique<std::uint64_t>(i));
    const auto old = map.insert(7, std::make_unique<std::uint64_t>(700));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(**old, 7u);
    for (std::uint64_t i = 0; i < 5000; i += 2) {
        const auto v = map.remove(i);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(**v, i);
    }
    Map moved(std::move(map));
    EXPECT_EQ(map.len(), 0u);  // a moved-from map is empty and usable
    map.insert(1, std::make_unique<std::uint64_t>(1));
    EXPECT_EQ(**map.get(1), 1u);
    map = std::move(moved);
    EXPECT_EQ(map.len(), 2500u);
    for (std::uint64_t i = 1; i < 5000; i += 2) {
        ASSERT_NE(map.get(i), nullptr) << i;
        EXPECT_EQ(**map.get(i), i == 7 ? 700u : i);
    }
}

std::vector<std::string> expected_releases(const std::vector<std::uint64_t>& order) {
    std::vector<std::string> out;
    for (const std::uint64_t id : order) {
        out.push_back("k" + std::to_string(id));
        out.push_back("v" + std::to_string(id));
    }
    return out;
}

TEST(ElasticOwnership, ReleasesEntriesInEntryOrderKeyFirst) {
    using Map = ElasticHashMap<LoggedKey, LoggedValue>;
    ReleaseLog log;
    ReleaseLog elsewhere;  // outlives every map below
    const auto fill = [&](Map& map) {
        for (std::uint64_t i = 0; i < 60; ++i) map.insert(LoggedKey(i * 3, &log), LoggedValue(i * 3, &log));
        std::vector<std::uint64_t> order;
        map.for_each([&](const LoggedKey& k, const LoggedValue&) { order.push_back(k.id()); });
        EXPECT_TRUE(log.events.empty());  // growth moves entries, it releases none
        return order;
    };
    {
        Map map = make_map<LoggedKey, LoggedValue>(0);
        const std::vector<std::uint64_t> order = fill(map);
        map.clear();
        EXPECT_EQ(log.events, expected_releases(order));
        log.events.clear();

        const std::vector<std::uint64_t> again = fill(map);
        // Re-insertion releases the new key object, keeps the stored one, and
        // hands back the old value.
        auto previous = map.insert(LoggedKey(3, &elsewhere), LoggedValue(1003, &log));
        EXPECT_EQ(elsewhere.events, std::vector<std::string>{"k3"});
        EXPECT_TRUE(log.events.empty());
        previous.reset();
        EXPECT_EQ(log.events, std::vector<std::string>{"v3"});
        log.events.clear();

        // Move assignment releases the former entries, in entry order.
        Map other = make_map<LoggedKey, LoggedValue>(0);
        other.insert(LoggedKey(1, &elsewhere), LoggedValue(1, &elsewhere));
        map = std::move(other);
        std::vector<std::string> expected = expected_releases(again);
        expected[std::find(expected.begin(), expected.end(), "v3") - expected.begin()] = "v1003";
        EXPECT_EQ(log.events, expected);
        log.events.clear();
    }
    {
        Map map = make_map<LoggedKey, LoggedValue>(0);
        const std::vector<std::uint64_t> order = fill(map);
        log.events.clear();
        {
            Map dying(std::move(map));
        }
        EXPECT_EQ(log.events, expected_releases(order));
    }
}

// ---- comparisons that abort ------------------------------------------------------

using FragileMap = ElasticHashMap<FragileKey, std::uint64_t>;

FragileKey fragile(std::uint64_t id) { return FragileKey{id, 42}; }  // one hash: every lookup compares

// Runs `op` letting 0, 1, 2, ... comparisons succeed before one throws, until
// it completes; every aborted run must leave the map exactly as it was.
template <class Op>
void expect_aborts_change_nothing(FragileMap& map, const char* what, Op op) {
    SCOPED_TRACE(what);
    for (int allowed = 0;; ++allowed) {
        const test::MapState before = test::capture(map);
        FragileKey::comparisons_left = allowed;
        try {
            op(map);
            FragileKey::comparisons_left = -1;
            EXPECT_GT(allowed, 0) << "the operation compared no key";
            return;
        } catch (const ComparisonAborted&) {
            FragileKey::comparisons_left = -1;
            ASSERT_EQ(test::capture(map), before) << "aborted after " << allowed << " comparisons";
        }
    }
}

TEST(ElasticFailure, AbortedComparisonChangesNothing) {
    FragileMap map = make_map<FragileKey, std::uint64_t>(16);
    for (std::uint64_t i = 0; i < 15; ++i) map.insert(fragile(i), i);
    ASSERT_EQ(map.len(), map.max_insertions());  // a new key would grow the map

    // A key alone in a one-slot level: removing it purges the map.
    std::uint64_t lonely = 0;
    for (auto it = map.begin(); it != map.end(); ++it) {
        if (map.levels()[it.location().level].slots() == 1) lonely = it->key.id;
    }

    expect_aborts_change_nothing(map, "get present", [](FragileMap& m) { ASSERT_NE(m.get(fragile(9)), nullptr); });
    expect_aborts_change_nothing(map, "get absent", [](FragileMap& m) { ASSERT_EQ(m.get(fragile(99)), nullptr); });
    expect_aborts_change_nothing(map, "update", [](FragileMap& m) { ASSERT_TRUE(m.insert(fragile(4), 40)); });
    expect_aborts_change_nothing(map, "remove absent", [](FragileMap& m) { ASSERT_FALSE(m.remove(fragile(98))); });
    expect_aborts_change_nothing(map, "insert with growth", [](FragileMap& m) {
        ASSERT_FALSE(m.insert(fragile(15), 15));
        ASSERT_EQ(m.capacity(), 32u);
    });
    FragileMap full = make_map<FragileKey, std::uint64_t>(16);
    for (std::uint64_t i = 0; i < 15; ++i) full.insert(fragile(i), i);
    expect_aborts_change_nothing(full, "remove from a one-slot level", [&](FragileMap& m) {
        ASSERT_TRUE(m.remove(fragile(lonely)));
        ASSERT_EQ(m.len(), 14u);
    });

    for (std::uint64_t i = 0; i < 16; ++i) EXPECT_EQ(*map.get(fragile(i)), i == 4 ? 40u : i);
}

// ---- rebuilds without memory ---------------------------------------------------------

// In a child process whose address space is capped just above what it uses,
// the growth of a full map cannot get its tables: it must fail with
// bad_alloc and leave the map whole.  Removals need no memory: every one of
// them succeeds there, however many a level takes.
[[noreturn]] void rebuild_under_memory_cap() {
    using Map = ElasticHashMap<std::uint64_t, std::uint64_t>;
    Map map = make_map<std::uint64_t, std::uint64_t>(1u << 16);
    const std::uint32_t count = map.max_insertions();
    for (std::uint64_t i = 0; i < count; ++i) map.insert(i * 11, i);
    std::vector<std::uint64_t> level0;
    for (auto it = map.begin(); it != map.end() && it.location().level == 0; ++it) level0.push_back(it->key);

    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    if (pages == 0) std::_Exit(3);
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (256u << 10);
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(3);

    bool grow_failed = false, removals_failed = false;
    try {
        map.insert(1, 1);
    } catch (const std::bad_alloc&) {
        grow_failed = true;
    }
    std::size_t removed = 0;
    try {
        for (; removed < level0.size(); ++removed) map.remove(level0[removed]);
    } catch (const std::bad_alloc&) {
        removals_failed = true;
    }
    bool intact = map.len() == count - removed && map.capacity() == (1u << 16) && map.get(1) == nullptr;
    for (std::size_t i = 0; i < level0.size(); ++i) intact = intact && (map.get(level0[i]) == nullptr) == (i < removed);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t* v = map.get(i * 11);
        intact = intact && (v == nullptr || *v == i);
    }
    if (!(grow_failed && !removals_failed && removed == level0.size() && intact)) {
        std::fprintf(stderr, "growth failed: %d, removals failed: %d, map intact: %d\n", grow_failed, removals_failed,
                     intact);
        std::_Exit(1);
    }
    std::_Exit(0);
}

TEST(ElasticFailureDeathTest, FailedRebuildLeavesTheMapIntact) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space cap does not mix with the sanitizer's shadow memory";
#endif
    EXPECT_EXIT(rebuild_under_memory_cap(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quorvel
