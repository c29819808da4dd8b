// Adapters over the C++ hash tables our maps are compared with, in the
// shape of the adapters of quorvel_adapters.hpp (which says how a load
// benchmark uses slots() and room()).
#pragma once

#include <cmath>
#include <cstddef>
#include <unordered_map>

#include <absl/container/flat_hash_map.h>
#include <boost/unordered/unordered_flat_map.hpp>
#include <tsl/robin_map.h>

#include "quorvel_adapters.hpp"

namespace quorvel::bench {

// ---- peers ------------------------------------------------------------------

template <class Map>
struct PeerAdapter {
    Map map;
    std::size_t size() const { return map.size(); }
    void insert(Key k, Value v) { map.insert_or_assign(k, v); }
    bool contains(Key k) const { return map.find(k) != map.end(); }
};

struct AbslAdapter : PeerAdapter<absl::flat_hash_map<Key, Value>> {
    static constexpr const char* name = "absl::flat_hash_map";
    AbslAdapter() = default;
    // rehash(n) gives the smallest capacity 2^k - 1 >= n.
    AbslAdapter(std::size_t slots, double) { map.rehash(slots - 1); }
    std::size_t slots() const { return map.capacity(); }
    std::size_t room() const { return map.capacity() - map.capacity() / 8; }
};

struct BoostAdapter : PeerAdapter<boost::unordered_flat_map<Key, Value>> {
    static constexpr const char* name = "boost::unordered_flat_map";
    BoostAdapter() = default;
    // Capacities are 15 * 2^k - 1 (groups of 15 slots): take the one nearest to `slots`.
    BoostAdapter(std::size_t slots, double) {
        const double groups = std::exp2(std::round(std::log2(static_cast<double>(slots) / 15.0)));
        map.rehash(static_cast<std::size_t>(groups) * 15 - 1);
    }
    std::size_t slots() const { return map.bucket_count(); }
    std::size_t room() const { return map.max_load(); }
};

struct RobinAdapter : PeerAdapter<tsl::robin_map<Key, Value>> {
    static constexpr const char* name = "tsl::robin_map";
    static constexpr float MAX_LOAD = 0.95f;  // the highest it accepts
    RobinAdapter() = default;
    RobinAdapter(std::size_t slots, double) {
        map.max_load_factor(MAX_LOAD);
        map.rehash(slots);
    }
    std::size_t slots() const { return map.bucket_count(); }
    // It grows on an insertion that finds size() >= bucket_count * max_load_factor.
    std::size_t room() const {
        return static_cast<std::size_t>(static_cast<float>(map.bucket_count()) * map.max_load_factor());
    }
};

struct StdAdapter : PeerAdapter<std::unordered_map<Key, Value>> {
    static constexpr const char* name = "std::unordered_map";
    StdAdapter() = default;
    StdAdapter(std::size_t slots, double) { map.rehash(slots); }
    std::size_t slots() const { return map.bucket_count(); }
    std::size_t room() const {
        return static_cast<std::size_t>(static_cast<double>(map.bucket_count()) * map.max_load_factor());
    }
};

}  // namespace quorvel::bench
