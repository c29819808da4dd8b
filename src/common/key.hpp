// What the maps require of a key type K.
//
//   KeyOps<K>::hash(k)            a 64-bit hash fixed for the key's lifetime;
//                                 it is fed into the map hash and never
//                                 recomputed by the maps.
//   KeyOps<K>::equal(stored, probe)
//                                 equality, always called with the key held
//                                 in a slot first.  It may throw to abort the
//                                 operation; the maps compare keys only
//                                 before they change anything, so an aborted
//                                 operation leaves the map as it was.
//
// The default uses a member `hash_value()` and `operator==`; integral keys
// hash to themselves, as Python's small ints do.
#pragma once

#include <concepts>
#include <cstdint>
#include <type_traits>

namespace quorvel {

template <class K>
struct KeyOps {
    static std::uint64_t hash(const K& key) noexcept(noexcept(key.hash_value())) {
        return static_cast<std::uint64_t>(key.hash_value());
    }
    static bool equal(const K& stored, const K& probe) { return stored == probe; }
};

template <std::integral K>
struct KeyOps<K> {
    static constexpr std::uint64_t hash(K key) noexcept { return static_cast<std::uint64_t>(key); }
    static constexpr bool equal(K stored, K probe) noexcept { return stored == probe; }
};

// Whether comparing two keys has no effect but its answer, so that a lookup
// may compare its candidates in any order, and some that the rules' walk
// would not reach, and nobody can tell.  True for integral keys; a key type
// whose equality may run code of its own (or throw) keeps the walk's order.
template <class K>
inline constexpr bool unobservable_equality = std::is_integral_v<K>;

template <class K>
concept MapKey = requires(const K& a, const K& b) {
    { KeyOps<K>::hash(a) } -> std::convertible_to<std::uint64_t>;
    { KeyOps<K>::equal(a, b) } -> std::convertible_to<bool>;
};

}  // namespace quorvel
