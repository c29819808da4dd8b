// What both maps share: their sizes and seeds, the map hash of a key, and
// the operations that are a lookup followed by an access.
//
// A map derives from MapCore<Map, K, V> and supplies
//
//     find_location(key, map hash)           its lookup: a location, which
//     static found(location)                 tells whether the key was there
//     static constexpr auto find_slot        the same lookup giving an optional
//                                            location, under the name its
//                                            scheme gives it (found_or_nothing
//                                            is its body); `find` reaches it
//                                            from generic code
//     entry_at(location)                     the entry stored there
//     remove_at(location)                    removal from a known slot
//
// so that `get` and `remove` are written once, and the hot paths go
// through no optional.  The fields are the map's:
// the derived map keeps them up to date.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "common/hash.hpp"
#include "common/key.hpp"

namespace quorvel {

template <class Map, MapKey K, class V>
class MapCore {
public:
    std::uint32_t len() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    std::uint32_t capacity() const noexcept { return capacity_; }
    // When len has reached this, the next new key makes the map grow first.
    std::uint32_t max_insertions() const noexcept { return max_insertions_; }
    std::uint64_t seed() const noexcept { return seed_; }
    std::uint64_t global_seed() const noexcept { return global_seed_; }
    // How many times the map has rebuilt itself since it was constructed
    // (growth, and the rebuilds that keep churn in check).
    std::uint64_t rebuilds() const noexcept { return rebuilds_; }

    MapHash hash_key(const K& key) const noexcept {
        return map_hash(KeyOps<K>::hash(key), seed_, global_seed_);
    }

    // The map's lookup, under the one name that code written for both maps
    // uses.
    [[gnu::always_inline]] auto find(const K& key, MapHash h) const { return (map().*Map::find_slot)(key, h); }

    // The stored value of `key`; valid until the map next changes.  Inlined
    // into its callers: a call would save and restore the registers of the
    // whole walk on every lookup.
    [[gnu::always_inline]] V* get(const K& key) { return const_cast<V*>(std::as_const(*this).get(key)); }
    [[gnu::always_inline]] const V* get(const K& key) const {
        const auto loc = map().find_location(key, hash_key(key));
        return Map::found(loc) ? &map().entry_at(loc).value : nullptr;
    }

    // Takes the key's entry out; its value, or nothing when it is absent.
    // Inlined like get: the lookup is most of a removal.
    [[gnu::always_inline]] std::optional<V> remove(const K& key) {
        const auto loc = map().find_location(key, hash_key(key));
        if (!Map::found(loc)) return std::nullopt;
        return std::optional<V>(std::move(map().remove_at(loc).value));
    }

protected:
    // The body of the map's find_slot.
    [[gnu::always_inline]] auto found_or_nothing(const K& key, MapHash h) const {
        const auto loc = map().find_location(key, h);
        return Map::found(loc) ? std::optional(loc) : std::nullopt;
    }

    MapCore(std::uint64_t seed, std::uint64_t global_seed) noexcept : seed_(seed), global_seed_(global_seed) {}
    MapCore(const MapCore&) = default;
    MapCore& operator=(const MapCore&) = default;
    ~MapCore() = default;

    void swap_core(MapCore& other) noexcept {
        std::swap(len_, other.len_);
        std::swap(capacity_, other.capacity_);
        std::swap(max_insertions_, other.max_insertions_);
        std::swap(seed_, other.seed_);
        std::swap(global_seed_, other.global_seed_);
        std::swap(rebuilds_, other.rebuilds_);
    }
    // Takes over another map's sizes and seeds, leaving it empty.
    void take_core(MapCore& other) noexcept {
        len_ = std::exchange(other.len_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        max_insertions_ = std::exchange(other.max_insertions_, 0);
        seed_ = other.seed_;
        global_seed_ = other.global_seed_;
        rebuilds_ = std::exchange(other.rebuilds_, 0);
    }

    std::uint32_t len_ = 0;
    std::uint32_t capacity_ = 0;
    std::uint32_t max_insertions_ = 0;
    std::uint64_t seed_ = 0;
    std::uint64_t global_seed_ = 0;
    std::uint64_t rebuilds_ = 0;

private:
    Map& map() noexcept { return static_cast<Map&>(*this); }
    const Map& map() const noexcept { return static_cast<const Map&>(*this); }
};

}  // namespace quorvel
