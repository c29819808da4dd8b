// Randomized differential test: mixed operations on a funnel map and on
// std::unordered_map must agree, and the map's invariants must hold
// throughout, over reserve fractions, probe limits, capacities and key
// hashes from well mixed to constant.
//
// QUORVEL_DIFF_OPS sets the operations per configuration (default 6000);
// QUORVEL_DIFF_SEED replays one seed.  A failure prints its seed and the
// process's global seed (which also shapes every layout).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "funnel_test_support.hpp"

namespace quorvel {
namespace {

using namespace funnel_test;

enum class HashKind { mixed, few, constant };

struct Config {
    HashKind kind;
    double reserve_fraction;
    std::optional<std::uint32_t> probe_limit;
    std::uint32_t capacity;
    std::uint64_t key_range;
};

std::uint64_t env_or(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text == nullptr ? fallback : std::strtoull(text, nullptr, 10);
}

HashedKey make_key(HashKind kind, std::uint64_t id) {
    switch (kind) {
        case HashKind::mixed: return ordinary_key(id);
        case HashKind::few: return HashedKey{id, ordinary_key(id % 7).hash};
        case HashKind::constant: return colliding_key(id);
    }
    return ordinary_key(id);
}

void run_ops(const Config& config, std::uint64_t seed, std::uint64_t ops) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " (replay with QUORVEL_DIFF_SEED=" << seed
                                    << "; global seed " << GlobalSeed::get() << ") kind " << static_cast<int>(config.kind) << " delta "
                                    << config.reserve_fraction << " limit "
                                    << (config.probe_limit ? std::to_string(*config.probe_limit) : "default")
                                    << " capacity " << config.capacity << " keys " << config.key_range);
    std::mt19937_64 rng(seed);
    Map<HashedKey> map = make_map<HashedKey>(config.capacity, config.reserve_fraction, config.probe_limit, rng());
    std::unordered_map<std::uint64_t, std::uint64_t> reference;
    const std::uint64_t check_every = std::max<std::uint64_t>(ops / 8, 1);

    for (std::uint64_t op = 0; op < ops; ++op) {
        const std::uint64_t id = rng() % config.key_range;
        const HashedKey key = make_key(config.kind, id);
        const std::uint64_t value = rng();
        const auto expected = reference.find(id);
        const unsigned dice = static_cast<unsigned>(rng() % 10000);
        if (dice < 4000) {
            // insert; an absent key must land where the slot choice says.
            const MapHash h = map.hash_key(key);
            const auto chosen = map.choose_slot_for_new_key(h);
            const std::uint64_t rebuilds = map.rebuilds();
            const auto old = map.insert(key, Value(value));
            ASSERT_EQ(old.has_value(), expected != reference.end()) << "op " << op;
            if (old) {
                ASSERT_EQ(old->get(), expected->second) << "op " << op;
            } else if (chosen && map.rebuilds() == rebuilds) {
                ASSERT_EQ(map.find(key, h), chosen) << "op " << op;
            }
            reference[id] = value;
        } else if (dice < 5000) {
            if (expected == reference.end()) {
                map.insert_new(key, Value(value));
                reference[id] = value;
            }
        } else if (dice < 7500) {
            const auto removed = map.remove(key);
            ASSERT_EQ(removed.has_value(), expected != reference.end()) << "op " << op;
            if (removed) {
                ASSERT_EQ(removed->get(), expected->second) << "op " << op;
                reference.erase(expected);
            }
        } else if (dice < 9500) {
            const Value* got = map.get(key);
            ASSERT_EQ(got != nullptr, expected != reference.end()) << "op " << op;
            if (got != nullptr) {
                ASSERT_EQ(got->get(), expected->second) << "op " << op;
            }
        } else if (dice < 9999) {
            // popitem
            const auto first = map.first_location();
            ASSERT_EQ(first.has_value(), !reference.empty()) << "op " << op;
            if (first) {
                auto entry = map.remove_at(*first);
                const auto it = reference.find(entry.key.id);
                ASSERT_NE(it, reference.end()) << "op " << op;
                ASSERT_EQ(entry.value.get(), it->second) << "op " << op;
                reference.erase(it);
            }
        } else {
            map.clear();
            reference.clear();
        }
        ASSERT_EQ(map.len(), reference.size()) << "op " << op;
        if (op % check_every == check_every - 1) {
            ASSERT_NO_FATAL_FAILURE(expect_invariants(map)) << "op " << op;
        }
    }
    ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
    std::unordered_map<std::uint64_t, std::uint64_t> contents;
    map.for_each([&](const HashedKey& key, const Value& value) {
        EXPECT_TRUE(contents.emplace(key.id, value.get()).second);
    });
    EXPECT_EQ(contents, reference);
}

void run(const Config& config, std::uint64_t seed, std::uint64_t ops) {
    const std::int64_t live = Value::live;
    run_ops(config, seed, ops);
    EXPECT_EQ(Value::live, live) << "every value made was destroyed";
}

std::vector<Config> configs() {
    std::vector<Config> out;
    const double deltas[] = {0.000001, 0.001, 0.01, 0.1, 0.125};
    const std::uint32_t capacities[] = {0, 1, 16, 100, 1000};
    const std::uint64_t ranges[] = {8, 60, 400, 2500};
    std::size_t i = 0;
    for (const HashKind kind : {HashKind::mixed, HashKind::few, HashKind::constant}) {
        for (const double delta : deltas) {
            for (std::uint32_t limit = 0; limit <= 8; limit += 2) {
                const std::optional<std::uint32_t> probe_limit =
                    limit == 0 ? std::nullopt : std::optional<std::uint32_t>(limit - (i % 2));
                std::uint64_t range = ranges[i % 4];
                out.push_back(Config{kind, delta, probe_limit, capacities[i % 5], range});
                ++i;
            }
        }
    }
    return out;
}

TEST(FunnelDifferential, AgreesWithUnorderedMap) {
    const std::uint64_t ops = env_or("QUORVEL_DIFF_OPS", 6000);
    const std::uint64_t replay = env_or("QUORVEL_DIFF_SEED", 0);
    std::uint64_t seed = 0x5EED0000;
    for (const Config& config : configs()) {
        ++seed;
        if (replay != 0 && replay != seed) continue;
        ASSERT_NO_FATAL_FAILURE(run(config, seed, ops));
    }
}

// At full load: the map holds max_insertions entries and every step removes
// one and inserts a new one, so removals, reused slots, tombstone-driven
// rebuilds and lookups past tombstones all happen at the highest load the
// map allows.
TEST(FunnelDifferential, ChurnAtFullLoad) {
    const std::uint64_t steps = env_or("QUORVEL_DIFF_OPS", 6000);
    std::uint64_t seed = 0xC4C40000;
    for (const double delta : {0.125, 0.1, 0.01, 0.001, 0.000001}) {
        for (const std::uint32_t capacity : {100u, 1000u, 5000u}) {
            ++seed;
            SCOPED_TRACE(testing::Message() << "seed " << seed << " delta " << delta << " capacity " << capacity);
            std::mt19937_64 rng(seed);
            Map<HashedKey> map = make_map<HashedKey>(capacity, delta, std::nullopt, rng());
            std::vector<std::uint64_t> present;
            std::uint64_t next_id = 0;
            // With a tiny reserve fraction max_insertions is the whole
            // capacity, more than the placement rules can fill: such a map
            // grows on the way, and the churn runs at its load.
            const std::uint32_t target = map.max_insertions();
            while (map.len() < target) {
                map.insert_new(ordinary_key(next_id), Value(next_id));
                present.push_back(next_id++);
            }
            if (delta >= 0.001) {
                ASSERT_EQ(map.capacity(), capacity);
            }
            for (std::uint64_t step = 0; step < steps; ++step) {
                const std::size_t victim = rng() % present.size();
                const std::uint64_t id = present[victim];
                ASSERT_EQ(map.remove(ordinary_key(id))->get(), id) << "step " << step;
                present[victim] = present.back();
                present.pop_back();
                ASSERT_EQ(map.get(ordinary_key(id)), nullptr) << "step " << step;
                ASSERT_FALSE(map.insert(ordinary_key(next_id), Value(next_id)).has_value());
                present.push_back(next_id++);
            }
            EXPECT_LE(map.capacity(), 2 * capacity);
            ASSERT_NO_FATAL_FAILURE(expect_invariants(map));
            for (const std::uint64_t id : present) ASSERT_EQ(map.get(ordinary_key(id))->get(), id);
        }
    }
}

}  // namespace
}  // namespace quorvel
