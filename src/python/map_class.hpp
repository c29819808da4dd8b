// The map object shared by the map classes, views and iterators.
//
//     Object<MapClass<Twin>> { PyObject ob_base; borrow_flag; owner_thread;
//                              MapState { core map; mutation_count } }
//
// The core map owns every entry: one HashedAny (a strong reference to the
// key, with its hash) and one strong reference to the value per slot.
//
// `cursors` links the map's live iterators (cursors.hpp).
//
// `mutation_count` is a wrapping 64-bit counter that every completed
// mutation increases by exactly one: item assignment (also when only the
// value is replaced), a deletion, pop or popitem that removed an entry,
// setdefault that inserted, clear (always), and the update routine once at
// its successful end.  Iterators capture it and refuse to go on once it
// moved; views read the map live and need no counter.
#pragma once

#include <cstdint>

#include "common/seed.hpp"
#include "python/cursors.hpp"
#include "python/frame.hpp"
#include "python/twins.hpp"

namespace quorvel::python {

template <class Twin>
struct MapState {
    explicit MapState(typename Twin::Core built) noexcept : core(std::move(built)) {}

    typename Twin::Core core;
    std::uint64_t mutation_count = 0;
    CursorList cursors;  // the live iterators over this map (cursors.hpp)
};

template <class Twin>
struct MapClass {
    using Native = MapState<Twin>;
    static constexpr bool thread_bound = true;
    static constexpr const char* python_name = Twin::map_name;
    static constexpr const char* native_name = Twin::native_map_name;
};

template <class Twin>
using MapObject = Object<MapClass<Twin>>;

// The options of a map built by the constructor or by copy: the core's
// defaults but for the capacity.
template <class Twin>
typename Twin::Options default_options(std::uint32_t capacity) noexcept {
    typename Twin::Options options;
    options.capacity = capacity;
    return options;
}

// An empty core map with a fresh per-map seed (the process-wide seed is
// made first if this is the process's first map).
template <class Twin>
typename Twin::Core new_core(const typename Twin::Options& options) {
    (void)GlobalSeed::get();
    return Twin::Core::with_options_and_hasher(options, gen_per_hasher_seed());
}

// The update routine behind the constructor, update() and `|`: stores every
// pair of `source` (a dict, an object with keys(), or an iterable of pairs)
// and increases mutation_count once at the end.  Throws on failure, leaving
// the pairs stored so far.
template <class Twin>
void update_map(MapState<Twin>& map, PyObject* source);

// The copy routine: a new map with default options of capacity len, holding
// the same key and value objects, inserted without any key comparison.
template <class Twin>
MapState<Twin> copy_map(const MapState<Twin>& source);

}  // namespace quorvel::python
