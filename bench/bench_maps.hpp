// Uniform adapters over the maps the native benchmarks compare.
//
// Every adapter is built for a table of `slots` slots that will be filled to
// a load of 1 - delta, and answers insert / contains.  A peer that cannot
// run at that load says so through supports(delta), and is skipped there.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <boost/unordered/unordered_flat_map.hpp>
#include <tsl/robin_map.h>

#include "common/seed.hpp"
#include "elastic/elastic_map.hpp"
#include "funnel/funnel_map.hpp"

namespace quorvel::bench {

using Key = std::uint64_t;
using Value = std::uint64_t;

struct ElasticAdapter {
    static constexpr const char* name = "quorvel::ElasticHashMap";
    static bool supports(double) { return true; }
    ElasticHashMap<Key, Value> map;
    ElasticAdapter(std::uint32_t slots, double delta)
        : map(ElasticHashMap<Key, Value>::with_options_and_hasher(
              ElasticOptions{.reserve_fraction = delta, .probe_scale = 16.0, .capacity = slots},
              gen_per_hasher_seed())) {}
    void insert(Key k, Value v) { map.insert(k, v); }
    bool contains(Key k) const { return map.get(k) != nullptr; }
};

struct FunnelAdapter {
    static constexpr const char* name = "quorvel::FunnelHashMap";
    static bool supports(double) { return true; }
    FunnelHashMap<Key, Value> map;
    // The funnel map keeps at most 1/8 in reserve; lighter loads just fill less.
    FunnelAdapter(std::uint32_t slots, double delta)
        : map(FunnelHashMap<Key, Value>::with_options_and_hasher(
              FunnelOptions{.capacity = slots, .reserve_fraction = delta < 0.125 ? delta : 0.125,
                            .primary_probe_limit = {}},
              gen_per_hasher_seed())) {}
    void insert(Key k, Value v) { map.insert(k, v); }
    bool contains(Key k) const { return map.get(k) != nullptr; }
};

// Peers sized so that `slots` is their whole table: a power-of-two table of
// `slots` buckets filled to 1 - delta, as long as their maximum load allows.
template <class Map, double MaxLoad>
struct PeerAdapter {
    static bool supports(double delta) { return 1.0 - delta <= MaxLoad; }
    Map map;
    PeerAdapter(std::uint32_t slots, double) { map.reserve(static_cast<std::size_t>(slots * MaxLoad)); }
    void insert(Key k, Value v) { map.insert_or_assign(k, v); }
    bool contains(Key k) const { return map.find(k) != map.end(); }
};

struct AbslAdapter : PeerAdapter<absl::flat_hash_map<Key, Value>, 0.875> {
    static constexpr const char* name = "absl::flat_hash_map";
    using PeerAdapter::PeerAdapter;
};
struct BoostAdapter : PeerAdapter<boost::unordered_flat_map<Key, Value>, 0.875> {
    static constexpr const char* name = "boost::unordered_flat_map";
    using PeerAdapter::PeerAdapter;
};
struct RobinAdapter : PeerAdapter<tsl::robin_map<Key, Value>, 0.95> {
    static constexpr const char* name = "tsl::robin_map";
    RobinAdapter(std::uint32_t slots, double delta) : PeerAdapter(0, delta) {
        map.max_load_factor(0.95f);
        map.reserve(static_cast<std::size_t>(slots * 0.95));
    }
};
struct StdAdapter : PeerAdapter<std::unordered_map<Key, Value>, 1.0> {
    static constexpr const char* name = "std::unordered_map";
    using PeerAdapter::PeerAdapter;
};

// Distinct random keys: the first `stored` are inserted, the rest never are.
inline std::vector<Key> distinct_keys(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<Key> keys;
    keys.reserve(count);
    std::unordered_map<Key, bool> seen;
    seen.reserve(count);
    while (keys.size() < count) {
        const Key k = rng();
        if (seen.emplace(k, true).second) keys.push_back(k);
    }
    return keys;
}

}  // namespace quorvel::bench
