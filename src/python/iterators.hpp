// Creation of the snapshot iterators (iterators.cpp) for the map's own
// __iter__ and the views.
#pragma once

#include "python/map.hpp"

namespace quorvel::python {

// A new iterator over the elements of `map` of kind E, in entry order.  The
// caller holds a shared borrow of the map.
template <class Family, Element E>
OwnedRef make_iterator(MapObject<Family>& map);

// One element of kind E of an entry: the key, the value, or a new
// (key, value) tuple.
template <Element E>
OwnedRef element_of(const HashedAny& key, const OwnedRef& value) {
    if constexpr (E == Element::keys) {
        return OwnedRef::from_borrowed(key.object());
    } else if constexpr (E == Element::values) {
        return value.dup();
    } else {
        return checked(PyTuple_Pack(2, key.object(), value.get()));
    }
}

}  // namespace quorvel::python
