// The map objects, as the map classes (map.cpp), their views and their
// iterators all see them.
//
//     MapObject<Family> = Object<MapClass<Family>>
//                       { PyObject ob_base; header { borrow flag; owner thread };
//                         MapState { core map; mutation_count; cursors } }
//
// The core map owns every entry: one HashedAny (a strong reference to the
// key, with its hash) and one strong reference to the value per slot.
//
// `mutation_count` is a wrapping 64-bit counter that every completed
// mutation increases by exactly one: item assignment (also when only the
// value is replaced), a deletion, pop or popitem that removed an entry,
// setdefault that inserted, clear (always), and the update routine once at
// its successful end.  Iterators capture it and refuse to go on once it
// moved; views read the map live and need no counter.
//
// `cursors` links the map's live iterators (cursors.hpp).
#pragma once

#include <cstdint>
#include <utility>

#include "python/cursors.hpp"
#include "python/family.hpp"
#include "python/object.hpp"

namespace quorvel::python {

// The native value of a map object.
template <class Family>
struct MapState {
    explicit MapState(typename Family::Core built) noexcept : core(std::move(built)) {}

    typename Family::Core core;
    std::uint64_t mutation_count = 0;
    CursorList cursors;  // the live iterators over this map (cursors.hpp)
};

// The class description of the family's map class (object.hpp).
template <class Family>
struct MapClass {
    using Native = MapState<Family>;
    static constexpr bool thread_bound = true;
    static constexpr const char* python_name = Family::map_name;
    static constexpr const char* native_name = Family::native_map_name;
};

template <class Family>
using MapObject = Object<MapClass<Family>>;

}  // namespace quorvel::python
