// Keys that share one map hash: thousands of them, alone or mixed with
// ordinary keys, and the index of the entries placed outside their windows.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <unordered_map>

#include "funnel/overflow_index.hpp"
#include "funnel_test_support.hpp"

namespace quorvel {
namespace {

using namespace funnel_test;

std::uint32_t capacity_for_ordinary_keys(std::uint64_t n) {
    Map<HashedKey> map = make_map<HashedKey>(0);
    for (std::uint64_t i = 0; i < n; ++i) map.insert(ordinary_key(i), Value(i));
    return map.capacity();
}

TEST(FunnelCollisions, FiveThousandKeysOfOneHash) {
    constexpr std::uint64_t n = 5000;
    Map<HashedKey> map = make_map<HashedKey>(0);
    for (std::uint64_t i = 0; i < n; ++i) ASSERT_FALSE(map.insert(colliding_key(i), Value(i)).has_value());
    EXPECT_EQ(map.len(), n);
    EXPECT_LE(map.capacity(), 4 * capacity_for_ordinary_keys(n));
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
    for (std::uint64_t i = 0; i < n; ++i) ASSERT_EQ(map.get(colliding_key(i))->get(), i);
    EXPECT_EQ(map.get(colliding_key(n)), nullptr);

    // Remove every other key, then all; rebuilds on the way keep everything.
    for (std::uint64_t i = 0; i < n; i += 2) ASSERT_EQ(map.remove(colliding_key(i))->get(), i);
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
    for (std::uint64_t i = 1; i < n; i += 2) ASSERT_EQ(map.get(colliding_key(i))->get(), i);
    for (std::uint64_t i = 1; i < n; i += 2) ASSERT_EQ(map.remove(colliding_key(i))->get(), i);
    EXPECT_EQ(map.len(), 0u);
    EXPECT_TRUE(map.overflow_index().empty());

    const std::uint32_t capacity = map.capacity();
    for (std::uint64_t i = 0; i < n; ++i) map.insert(colliding_key(i), Value(i + 1));
    EXPECT_EQ(map.capacity(), capacity) << "the same keys fit again without growing";
    for (std::uint64_t i = 0; i < n; ++i) ASSERT_EQ(map.get(colliding_key(i))->get(), i + 1);
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
}

// Random keys and several colliding groups, inserted and removed in random
// order, checked against a reference.
TEST(FunnelCollisions, OrdinaryKeysMixedWithCollidingGroups) {
    for (const double delta : {0.1, 0.001}) {
        SCOPED_TRACE(testing::Message() << "reserve fraction " << delta);
        std::mt19937_64 rng(42);
        Map<HashedKey> map = make_map<HashedKey>(0, delta);
        std::unordered_map<std::uint64_t, std::uint64_t> reference;
        auto key_of = [](std::uint64_t id) {
            // ids below 6000: six colliding groups of 1000; above: ordinary keys.
            return id < 6000 ? colliding_key(id, 1000 + id / 1000) : ordinary_key(id);
        };
        for (int op = 0; op < 30000; ++op) {
            const std::uint64_t id = rng() % 10000;
            if (rng() % 3 != 0) {
                map.insert(key_of(id), Value(op));
                reference[id] = static_cast<std::uint64_t>(op);
            } else {
                const auto removed = map.remove(key_of(id));
                ASSERT_EQ(removed.has_value(), reference.erase(id) == 1) << "op " << op;
            }
            if (op % 5000 == 4999) {
                ASSERT_NO_FATAL_FAILURE(expect_invariants(map)) << "op " << op;
            }
        }
        ASSERT_EQ(map.len(), reference.size());
        for (const auto& [id, value] : reference) ASSERT_EQ(map.get(key_of(id))->get(), value);
        EXPECT_FALSE(map.overflow_index().empty());
        // The rules place nearly every ordinary key; the few they cannot
        // (this map is churned, so it does not grow for them) are in the index.
        std::uint64_t ordinary = 0, overflowed = 0;
        for (std::uint64_t id = 6000; id < 10000; ++id) {
            if (!reference.contains(id)) continue;
            ++ordinary;
            overflowed += map.overflow_index().count(map.hash_key(key_of(id)).value);
        }
        EXPECT_LE(overflowed * 50, ordinary) << overflowed << " of " << ordinary << " ordinary keys overflowed";
    }
}

// The index against a reference multimap: few hashes with equal low bits,
// so runs form and backward shifts move cells across them.
TEST(FunnelOverflowIndex, RecordsMatchAReference) {
    std::mt19937_64 rng(3);
    OverflowIndex index;
    std::multimap<std::uint64_t, std::uint32_t> reference;  // hash -> slot
    std::uint32_t next_slot = 0;
    for (int op = 0; op < 20000; ++op) {
        const std::uint64_t h = (rng() % 300) << 40;
        if (rng() % 2 == 0 || reference.empty()) {
            const std::uint32_t slot = next_slot++;
            index.add(h, SlotLocation::level_slot(slot % 7, slot));
            reference.emplace(h, slot);
        } else {
            auto it = reference.begin();
            std::advance(it, static_cast<long>(rng() % reference.size()));
            index.remove(it->first, SlotLocation::level_slot(it->second % 7, it->second));
            reference.erase(it);
        }
        ASSERT_EQ(index.size(), reference.size());
        ASSERT_EQ(index.empty(), reference.empty());
        if (op % 200 == 0) {
            for (std::uint64_t k = 0; k < 300; ++k) {
                const std::uint64_t hash = k << 40;
                ASSERT_EQ(index.count(hash), reference.count(hash));
                const auto [first, last] = reference.equal_range(hash);
                for (auto it = first; it != last; ++it) {
                    const SlotLocation want = SlotLocation::level_slot(it->second % 7, it->second);
                    ASSERT_TRUE(index.any_of(hash, [&](SlotLocation at) { return at == want; }));
                }
            }
        }
    }
    // A location recorded under another hash is not removed by mistake.
    index.add(1, SlotLocation::primary_slot(5));
    index.remove(2, SlotLocation::primary_slot(5));
    EXPECT_EQ(index.count(1), 1u);
    index.clear();
    EXPECT_TRUE(index.empty());
    EXPECT_EQ(index.allocated_bytes(), 0u);
}

}  // namespace
}  // namespace quorvel
