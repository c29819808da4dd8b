// Randomized differential test of the elastic map against std::unordered_map.
//
// Each configuration runs episodes of mixed operations (insert, update,
// insertion of a known-absent key, lookup, removal, removal of the first
// entry, clear) on a fresh map with a random seed, probe scale and starting
// capacity, and checks after every batch of operations the map's invariants
// and that iteration yields exactly the reference contents.  Small key
// ranges make collisions, removals and purges frequent; one hash mode gives
// every key the same hash.
//
// QUORVEL_DIFF_OPS sets the total number of operations (default 2 million);
// The seed is fixed, so a failure replays from the commit; QUORVEL_DIFF_SEED
// runs another one (the seed is printed on failure).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "elastic/elastic_map.hpp"
#include "elastic_test_support.hpp"

namespace quorvel {
namespace {

using test::HashMode;
using test::TestKey;
using Value = std::unique_ptr<std::uint64_t>;  // move-only, as owned references are
using Map = ElasticHashMap<TestKey, Value>;
using Reference = std::unordered_map<std::uint64_t, std::uint64_t>;

std::uint64_t env_u64(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

struct Config {
    double reserve_fraction;
    HashMode mode;
    std::uint64_t key_range;
    double share;                  // of the total operations
    std::uint32_t max_capacity;    // an episode ends once the map outgrows this
};

// The invariants of the structure, and the contents against the reference.
void check(const Map& map, const Reference& ref, HashMode mode) {
    std::uint64_t live_sum = 0;
    const auto& levels = map.levels();
    for (std::uint32_t i = 0; i < levels.size(); ++i) {
        const auto& level = levels[i];
        std::uint32_t occupied = 0;
        bool deleted = false;
        for (std::uint32_t s = 0; s < level.groups() * GROUP_WIDTH; ++s) {
            const std::uint8_t c = level.control(s);
            if (s >= level.slots()) {
                ASSERT_EQ(c, EMPTY) << "spare control written";
            }
            occupied += is_full(c) ? 1 : 0;
            deleted |= c == DELETED;
        }
        ASSERT_EQ(occupied, level.live()) << "level " << i;
        if (i > map.max_level()) {
            ASSERT_EQ(level.live(), 0u) << "entry above max_level in level " << i;
        }
        if (level.removed() == 0) {
            ASSERT_FALSE(deleted) << "DELETED byte without a removal in level " << i;
        }
        live_sum += level.live();
    }
    ASSERT_EQ(live_sum, map.len());
    ASSERT_EQ(map.len(), ref.size());
    if (!map.quotas().empty()) {
        ASSERT_LT(map.batch(), map.quotas().size());
        ASSERT_LE(map.quota_left(), map.quotas()[map.batch()]);
    } else {
        ASSERT_EQ(map.quota_left(), 0u);
    }
    if (!levels.empty()) {
        ASSERT_LT(map.max_level(), levels.size());
    }

    std::unordered_set<std::uint64_t> seen;
    bool contents_match = true;
    map.for_each([&](const TestKey& key, const Value& value) {
        const auto it = ref.find(key.id);
        contents_match = contents_match && seen.insert(key.id).second && it != ref.end() && *value == it->second;
    });
    ASSERT_TRUE(contents_match);
    ASSERT_EQ(seen.size(), ref.size());
    for (const auto& [id, value] : ref) {
        const Value* found = map.get(TestKey::make(id, mode));
        ASSERT_TRUE(found != nullptr && **found == value) << "key " << id << " not found";
    }
}

class Episode {
public:
    Episode(const Config& config, std::mt19937_64& rng) : config_(config), rng_(rng), map_(fresh_map()) {}

    // Runs up to `ops` operations; returns how many ran.
    std::uint64_t run(std::uint64_t ops) {
        std::uint64_t done = 0;
        while (done < ops && map_.capacity() <= config_.max_capacity) {
            step();
            if (testing::Test::HasFatalFailure()) return done;
            if (++done % 64 == 0) {
                check(map_, ref_, config_.mode);
                if (testing::Test::HasFatalFailure()) return done;
            }
        }
        check(map_, ref_, config_.mode);
        return done;
    }

private:
    Map fresh_map() {
        static constexpr double scales[] = {16.0, 16.0, 4.0, 1.0, 64.0};
        const double scale = scales[rng_() % 5];
        const std::uint32_t capacity = rng_() % 3 == 0 ? static_cast<std::uint32_t>(rng_() % 100) : 0;
        return Map::with_options_and_hasher({config_.reserve_fraction, scale, capacity}, rng_(), rng_() | SEED_BITS);
    }

    TestKey random_key() { return TestKey::make(rng_() % config_.key_range, config_.mode); }

    void step() {
        const TestKey key = random_key();
        const std::uint64_t value = rng_();
        const auto it = ref_.find(key.id);
        const unsigned roll = rng_() % 1000;
        if (roll < 350) {  // insert or update
            const auto previous = map_.insert(key, std::make_unique<std::uint64_t>(value));
            ASSERT_EQ(previous.has_value(), it != ref_.end());
            if (previous) {
                ASSERT_EQ(**previous, it->second);
            }
            ref_[key.id] = value;
        } else if (roll < 450) {  // setdefault-like: insert only when absent
            if (it == ref_.end()) {
                map_.insert_new(key, std::make_unique<std::uint64_t>(value));
                ref_[key.id] = value;
            } else {
                ASSERT_NE(map_.get(key), nullptr);
            }
        } else if (roll < 650) {  // lookup
            const Value* found = map_.get(key);
            ASSERT_EQ(found != nullptr, it != ref_.end());
            if (found) {
                ASSERT_EQ(**found, it->second);
            }
        } else if (roll < 930) {  // removal
            const auto removed = map_.remove(key);
            ASSERT_EQ(removed.has_value(), it != ref_.end());
            if (removed) {
                ASSERT_EQ(**removed, it->second);
                ref_.erase(it);
            }
        } else if (roll < 998) {  // popitem: the first entry in entry order
            const auto first = map_.first_location();
            ASSERT_EQ(first.has_value(), !ref_.empty());
            if (first) {
                ASSERT_EQ(*first, map_.begin().location());
                auto entry = map_.remove_at(*first);
                const auto ref_it = ref_.find(entry.key.id);
                ASSERT_NE(ref_it, ref_.end());
                ASSERT_EQ(*entry.value, ref_it->second);
                ref_.erase(ref_it);
            }
        } else {
            map_.clear();
            ref_.clear();
        }
    }

    const Config& config_;
    std::mt19937_64& rng_;
    Map map_;
    Reference ref_;
};

void run_config(const Config& config, std::uint64_t total_ops, std::uint64_t seed) {
    SCOPED_TRACE(testing::Message() << "reserve " << config.reserve_fraction << ", hash "
                                    << to_string(config.mode) << ", keys " << config.key_range);
    std::mt19937_64 rng(seed);
    const auto ops = static_cast<std::uint64_t>(static_cast<double>(total_ops) * config.share);
    std::uint64_t done = 0;
    while (done < ops) {
        const std::uint64_t episode_ops = 2000 + rng() % 30000;
        Episode episode(config, rng);
        done += episode.run(std::min(episode_ops, ops - done));
        if (testing::Test::HasFatalFailure()) return;
    }
}

// Reserve fractions near 1 leave max_insertions at 1 until the capacity
// passes a million, so every new key grows the map (and rebuilds grow
// as they move entries): a handful of keys is all such a map can hold.
const Config CONFIGS[] = {
    {0.1, HashMode::identity, 64, 0.12, 1u << 20},
    {0.1, HashMode::identity, 5000, 0.18, 1u << 20},
    {0.1, HashMode::few, 300, 0.08, 1u << 20},
    {0.1, HashMode::constant, 120, 0.05, 1u << 20},
    {0.000001, HashMode::identity, 64, 0.10, 1u << 20},
    {0.000001, HashMode::identity, 3000, 0.10, 1u << 20},
    {0.000001, HashMode::constant, 100, 0.04, 1u << 20},
    {0.5, HashMode::identity, 64, 0.08, 1u << 20},
    {0.5, HashMode::identity, 3000, 0.10, 1u << 20},
    {0.5, HashMode::few, 200, 0.05, 1u << 20},
    {0.999999, HashMode::identity, 3, 0.06, 1u << 14},
    {0.999999, HashMode::constant, 3, 0.04, 1u << 14},
};

TEST(ElasticDifferential, AgreesWithUnorderedMap) {
    const std::uint64_t total = env_u64("QUORVEL_DIFF_OPS", 2'000'000);
    const std::uint64_t base_seed = env_u64("QUORVEL_DIFF_SEED", 20261209);
    SCOPED_TRACE(testing::Message() << "replay with QUORVEL_DIFF_SEED=" << base_seed);
    std::uint64_t index = 0;
    for (const Config& config : CONFIGS) {
        run_config(config, total, base_seed + index++);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace quorvel
