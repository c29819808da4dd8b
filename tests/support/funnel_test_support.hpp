// Shared helpers of the funnel map tests: keys with a chosen hash, keys
// whose equality can be made to throw, move-only values, and a full check
// of the map's invariants.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

#include "common/control.hpp"
#include "common/key.hpp"
#include "common/seed.hpp"
#include "funnel/funnel_iter.hpp"
#include "funnel/funnel_map.hpp"

namespace quorvel::funnel_test {

// A fixed global seed (bits 0, 31 and 63 set, as every real one has) so that
// tests replay one exact layout.
inline constexpr std::uint64_t TEST_GLOBAL_SEED = 0x13198A2E'03707344ull | SEED_BITS;

// A key whose hash is given explicitly: equal ids are equal keys, and any
// number of keys may share one hash.
struct HashedKey {
    std::uint64_t id;
    std::uint64_t hash;

    std::uint64_t hash_value() const noexcept { return hash; }
    bool operator==(const HashedKey& other) const noexcept { return id == other.id; }
};

inline HashedKey ordinary_key(std::uint64_t id) {
    // A well-mixed hash, as a good key type would give.
    std::uint64_t x = id * 0x9E3779B97F4A7C15ull;
    x ^= x >> 31;
    return HashedKey{id, x * 0xBF58476D1CE4E5B9ull};
}
inline HashedKey colliding_key(std::uint64_t id, std::uint64_t hash = 0x5EED) { return HashedKey{id, hash}; }

// A key whose comparisons throw once `throw_after` more of them have run.
struct ThrowingKey {
    std::uint64_t id;
    std::uint64_t hash;

    static inline int throw_after = -1;  // -1: never
    static inline int comparisons = 0;

    std::uint64_t hash_value() const noexcept { return hash; }
    bool operator==(const ThrowingKey& other) const {
        ++comparisons;
        if (throw_after == 0) throw std::runtime_error("comparison aborted");
        if (throw_after > 0) --throw_after;
        return id == other.id;
    }
};

// A move-only value that owns memory, so that leaks and double releases show
// under the sanitizers, and counts its live objects (moved-from ones too),
// so that a slot whose entry moved away must still be destroyed.
struct Value {
    std::unique_ptr<std::uint64_t> v;
    static inline std::int64_t live = 0;

    explicit Value(std::uint64_t x) : v(std::make_unique<std::uint64_t>(x)) { ++live; }
    Value(Value&& other) noexcept : v(std::move(other.v)) { ++live; }
    Value& operator=(Value&&) noexcept = default;
    ~Value() { --live; }
    std::uint64_t get() const { return *v; }
};

template <class K>
using Map = FunnelHashMap<K, Value>;

template <class K>
Map<K> make_map(std::uint32_t capacity, double reserve_fraction = 0.1,
                std::optional<std::uint32_t> probe_limit = std::nullopt, std::uint64_t seed = 12345) {
    return Map<K>::with_options_and_hasher(FunnelOptions{capacity, reserve_fraction, probe_limit}, seed,
                                           TEST_GLOBAL_SEED);
}

// Where an entry sits, in entry order.
template <class K, class V>
std::vector<SlotLocation> entry_locations(const FunnelHashMap<K, V>& map) {
    std::vector<SlotLocation> out;
    FunnelIter<K, V> it(map);
    while (it.next() != nullptr) out.push_back(it.location());
    return out;
}

inline bool entry_order_less(const SlotLocation& a, const SlotLocation& b) {
    if (a.region != b.region) return a.region < b.region;
    if (a.level != b.level) return a.level < b.level;
    return a.slot < b.slot;
}

template <class K, class V>
bool at_rule_location(const FunnelHashMap<K, V>& map, MapHash h, SlotLocation loc) {
    switch (loc.region) {
        case FunnelRegion::level: return map.levels()[loc.level].in_window(h, loc.slot);
        case FunnelRegion::primary: return map.primary().in_probe_sequence(h, loc.slot);
        case FunnelRegion::fallback: return map.fallback().in_buckets(h, loc.slot);
    }
    return false;
}

// Counts of one region's control bytes.
struct ControlCounts {
    std::uint32_t full = 0;
    std::uint32_t deleted = 0;
};

template <class T>
ControlCounts count_controls(const RawTable<T>& table, std::uint32_t begin, std::uint32_t end) {
    ControlCounts counts;
    for (std::uint32_t s = begin; s < end; ++s) {
        const std::uint8_t c = table.control(s);
        if (c == DELETED) ++counts.deleted;
        else if (c != EMPTY) ++counts.full;
    }
    return counts;
}

// Every structural invariant of the map; returns the number of entries.
template <class K, class V>
void expect_invariants(const FunnelHashMap<K, V>& map) {
    std::uint64_t sum = 0;
    for (std::uint32_t i = 0; i < map.levels().size(); ++i) {
        const auto& level = map.levels()[i];
        const ControlCounts c = count_controls(level.table(), 0, level.slots());
        ASSERT_EQ(c.full, level.len()) << "level " << i;
        ASSERT_LE(c.deleted, level.tombstones()) << "level " << i;
        if (i > map.max_populated_level()) {
            ASSERT_EQ(level.len(), 0u) << "level " << i << " above max";
        }
        sum += level.len();
    }
    const auto& primary = map.primary();
    ASSERT_EQ(count_controls(primary.table(), 0, primary.slots()).full, primary.len());
    for (std::uint32_t g = 0; g < primary.groups(); ++g) {
        const std::uint32_t end = std::min(primary.slots(), (g + 1) * GROUP_WIDTH);
        ASSERT_LE(count_controls(primary.table(), g * GROUP_WIDTH, end).deleted, primary.group_tombstones()[g]);
    }
    const auto& fallback = map.fallback();
    const ControlCounts fc = count_controls(fallback.table(), 0, fallback.slots());
    ASSERT_EQ(fc.full, fallback.len());
    ASSERT_LE(fc.deleted, fallback.tombstones());
    sum += primary.len() + fallback.len();
    ASSERT_EQ(sum, map.len());

    // Every entry: right tag, found where it is, recorded in the overflow
    // index exactly when it sits outside the places the rules give it.
    std::set<std::uint64_t> keys;
    std::map<std::uint64_t, std::uint32_t> outside;
    {
        FunnelIter<K, V> first(map);
        const bool any = first.next() != nullptr;
        ASSERT_EQ(map.first_location_from({}).has_value(), any);
        if (any) {
            ASSERT_EQ(*map.first_location_from({}), first.location()) << "first entry in entry order";
        }
    }
    FunnelIter<K, V> it(map);
    while (const auto* entry = it.next()) {
        const SlotLocation loc = it.location();
        const MapHash h = map.hash_key(entry->key);
        ASSERT_TRUE(keys.insert(entry->key.id).second) << "key stored twice: " << entry->key.id;
        const auto& table = loc.region == FunnelRegion::level     ? map.levels()[loc.level].table()
                            : loc.region == FunnelRegion::primary ? primary.table()
                                                                  : fallback.table();
        ASSERT_EQ(table.control(loc.slot), h.tag());
        if (loc.region == FunnelRegion::primary) {
            ASSERT_TRUE(primary.tag_filters()[loc.slot / GROUP_WIDTH].contains(h.tag()));
        }
        ASSERT_EQ(map.find(entry->key, h), std::optional(loc)) << "key " << entry->key.id;
        if (!at_rule_location(map, h, loc)) {
            ++outside[h.value];
            if (!map.overflow_index().saturated()) {
                ASSERT_TRUE(map.overflow_index().any_of(h.value, [&](SlotLocation at) { return at == loc; }))
                    << "an entry outside its places is not in the overflow index";
            }
        }
    }
    ASSERT_EQ(keys.size(), map.len());
    if (!map.overflow_index().saturated()) {
        std::size_t recorded = 0;
        for (const auto& [hash, count] : outside) {
            ASSERT_EQ(map.overflow_index().count(hash), count);
            recorded += count;
        }
        ASSERT_EQ(map.overflow_index().size(), recorded);
    }
}

}  // namespace quorvel::funnel_test
