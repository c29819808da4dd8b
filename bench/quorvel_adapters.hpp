// Adapters over quorvel's two maps for the benchmarks, the shape every
// adapter has (peer_adapters.hpp gives the peers the same shape), and the
// keys they are all fed.
//
// Load benchmarks.  Adapter(slots, delta) builds an empty table of about
// `slots` slots meant to be filled to load 1 - delta.  Each table says how
// many slots it really has (slots(): our maps take `slots` exactly, the
// peers round to their own sizes) and how many entries it takes before it
// grows (room()).  The benchmark stores floor((1 - delta) * slots()) keys,
// skips a peer whose room() is smaller than that, and after the fill checks
// that slots() did not change: the load it reports is then exactly
// entries / slots(), the load the table really ran at.
//
//   map                         slots()             room()
//   quorvel elastic / funnel    capacity            max_insertions (n - floor(delta n))
//   absl::flat_hash_map         2^k - 1             capacity - capacity / 8
//   boost::unordered_flat_map   15 * 2^k - 1        max_load()  (0.875 of the slots)
//   tsl::robin_map              2^k                 0.95 of the slots (its highest setting)
//   std::unordered_map          a prime >= slots    bucket_count (max_load_factor 1)
//
// The funnel map's reserve fraction is capped at 1/8 by the scheme, so at
// delta above 1/8 it is built with 1/8 and simply filled less.
//
// Growth benchmarks use Adapter(): every map with its default settings,
// starting empty.
//
// Keys are distinct by construction: key(i) is a bijective 64-bit mix of i,
// so no deduplication pass is needed even for 10^7 keys, and stored and
// absent keys come from disjoint ranges of i.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "common/seed.hpp"
#include "elastic/elastic_map.hpp"
#include "funnel/funnel_map.hpp"

namespace quorvel::bench {

using Key = std::uint64_t;
using Value = std::uint64_t;

// ---- keys -------------------------------------------------------------------

// A bijection of 64-bit integers (a splitmix finaliser): distinct inputs give
// distinct, well-mixed keys.
constexpr Key key(std::uint64_t i) noexcept {
    i ^= i >> 30;
    i *= 0xBF58476D1CE4E5B9ull;
    i ^= i >> 27;
    i *= 0x94D049BB133111EBull;
    i ^= i >> 31;
    return i;
}

// Keys stored by a benchmark: key(first + 0 .. count).  Absent keys use a
// `first` of ABSENT or more, which no stored key ever reaches.
inline constexpr std::uint64_t ABSENT = std::uint64_t{1} << 62;

inline std::vector<Key> keys(std::uint64_t first, std::size_t count) {
    std::vector<Key> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = key(first + i);
    return out;
}

inline std::vector<Key> shuffled(std::vector<Key> v, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::shuffle(v.begin(), v.end(), rng);
    return v;
}

// How many keys fill a table of `slots` slots to load 1 - delta.
inline std::size_t entries_at_load(std::size_t slots, double delta) {
    return static_cast<std::size_t>(std::floor((1.0 - delta) * static_cast<double>(slots)));
}

// ---- our maps ---------------------------------------------------------------

// What both core maps answer alike; each adapter below only says how its
// map is built.
template <class Map>
struct CoreMapAdapter {
    Map map;

    explicit CoreMapAdapter(Map&& built) : map(std::move(built)) {}

    std::size_t slots() const { return map.capacity(); }
    std::size_t room() const { return map.max_insertions(); }
    std::size_t size() const { return map.len(); }
    void insert(Key k, Value v) { map.insert(k, v); }
    bool contains(Key k) const { return map.get(k) != nullptr; }
    bool remove(Key k) { return map.remove(k).has_value(); }
};

struct ElasticAdapter : CoreMapAdapter<ElasticHashMap<Key, Value>> {
    using Map = ElasticHashMap<Key, Value>;
    static constexpr const char* name = "elastic";

    ElasticAdapter() : CoreMapAdapter(Map::with_options_and_hasher(ElasticOptions{}, gen_per_hasher_seed())) {}
    ElasticAdapter(std::size_t slots, double delta)
        : CoreMapAdapter(Map::with_options_and_hasher(
              ElasticOptions{.reserve_fraction = delta, .probe_scale = 16.0,
                             .capacity = static_cast<std::uint32_t>(slots)},
              gen_per_hasher_seed())) {}
};

struct FunnelAdapter : CoreMapAdapter<FunnelHashMap<Key, Value>> {
    using Map = FunnelHashMap<Key, Value>;
    static constexpr const char* name = "funnel";
    static constexpr double MAX_RESERVE = FUNNEL_MAX_RESERVE_FRACTION;

    FunnelAdapter() : CoreMapAdapter(Map::with_options_and_hasher(FunnelOptions{}, gen_per_hasher_seed())) {}
    FunnelAdapter(std::size_t slots, double delta)
        : CoreMapAdapter(Map::with_options_and_hasher(
              FunnelOptions{.capacity = static_cast<std::uint32_t>(slots),
                            .reserve_fraction = std::min(delta, MAX_RESERVE),
                            .primary_probe_limit = {}},
              gen_per_hasher_seed())) {}
};

}  // namespace quorvel::bench
