// Key and value types for the elastic map tests, and a snapshot of a map's
// whole observable state.
//
//   TestKey      hash chosen by the test (its id, a few buckets, or one
//                constant for all keys); a `copy` mark not part of equality
//                tells two equal key objects apart.
//   FragileKey   equality throws once a countdown runs out: an aborted
//                comparison, as the binding layer produces for a Python
//                exception that must propagate.
//   LoggedKey / LoggedValue
//                record their release in a shared log, to check that the
//                map releases entries in entry order, key before value.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "elastic/elastic_map.hpp"

namespace quorvel::test {

// A fixed global seed (bits 0, 31 and 63 set, as every real one has) so that
// tests replay one exact layout.
inline constexpr std::uint64_t TEST_GLOBAL_SEED = 0x243F'6A88'85A3'08D3ull | SEED_BITS;

enum class HashMode { identity, few, constant };

inline const char* to_string(HashMode mode) {
    switch (mode) {
        case HashMode::identity: return "identity";
        case HashMode::few: return "few";
        case HashMode::constant: return "constant";
    }
    return "?";
}

struct TestKey {
    std::uint64_t id = 0;
    std::uint64_t hash = 0;
    std::uint32_t copy = 0;

    static TestKey make(std::uint64_t id, HashMode mode = HashMode::identity, std::uint32_t copy = 0) {
        switch (mode) {
            case HashMode::identity: return {id, id, copy};
            case HashMode::few: return {id, id % 7, copy};
            case HashMode::constant: return {id, 42, copy};
        }
        return {id, id, copy};
    }
    std::uint64_t hash_value() const noexcept { return hash; }
    friend bool operator==(const TestKey& a, const TestKey& b) noexcept { return a.id == b.id; }
};

struct ComparisonAborted : std::exception {};

struct FragileKey {
    std::uint64_t id = 0;
    std::uint64_t hash = 0;

    // Comparisons left before one throws; negative: never throw.
    static inline thread_local int comparisons_left = -1;

    std::uint64_t hash_value() const noexcept { return hash; }
    friend bool operator==(const FragileKey& a, const FragileKey& b) {
        if (comparisons_left == 0) throw ComparisonAborted{};
        if (comparisons_left > 0) --comparisons_left;
        return a.id == b.id;
    }
};

struct ReleaseLog {
    std::vector<std::string> events;
};

// Releases are logged as "k<id>" and "v<id>"; a moved-from object logs nothing.
template <char Kind>
class Logged {
public:
    Logged(std::uint64_t id, ReleaseLog* log) : id_(id), log_(log) {}
    Logged(Logged&& other) noexcept : id_(other.id_), log_(std::exchange(other.log_, nullptr)) {}
    Logged& operator=(Logged&& other) noexcept {
        if (this != &other) {
            release();
            id_ = other.id_;
            log_ = std::exchange(other.log_, nullptr);
        }
        return *this;
    }
    ~Logged() { release(); }

    std::uint64_t id() const noexcept { return id_; }
    std::uint64_t hash_value() const noexcept { return id_; }
    friend bool operator==(const Logged& a, const Logged& b) noexcept { return a.id_ == b.id_; }

private:
    void release() noexcept {
        if (log_ != nullptr) log_->events.push_back(Kind + std::to_string(id_));
        log_ = nullptr;
    }
    std::uint64_t id_;
    ReleaseLog* log_;
};
using LoggedKey = Logged<'k'>;
using LoggedValue = Logged<'v'>;

// Everything an aborted operation must leave unchanged.
struct MapState {
    std::uint32_t len, capacity, batch, quota_left, max_level;
    std::vector<std::uint32_t> live, removed;
    std::vector<std::uint8_t> controls;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;  // (key id, value) in entry order

    friend bool operator==(const MapState&, const MapState&) = default;
};

template <class K>
MapState capture(const ElasticHashMap<K, std::uint64_t>& map) {
    MapState s{map.len(), map.capacity(), map.batch(), map.quota_left(), map.max_level(), {}, {}, {}, {}};
    for (const auto& level : map.levels()) {
        s.live.push_back(level.live());
        s.removed.push_back(level.removed());
        for (std::uint32_t i = 0; i < level.groups() * GROUP_WIDTH; ++i) s.controls.push_back(level.control(i));
    }
    map.for_each([&](const K& key, const std::uint64_t& value) { s.entries.emplace_back(key.id, value); });
    return s;
}

}  // namespace quorvel::test
