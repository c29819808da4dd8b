// One slot's content: a key and its value, in that order.
//
// An Entry owns both; the table that stores it never constructs or destroys
// entries on its own - the table's owner does, guided by the control bytes.
#pragma once

#include <memory>

namespace quorvel {

template <class K, class V>
struct Entry {
    K key;
    V value;
};

// Ends a live entry: the key is released before the value (an Entry's own
// destructor would go the other way round).  Releasing may run arbitrary
// code - for Python objects, finalizers - so the order is part of what
// callers can observe.
template <class K, class V>
void release_entry(Entry<K, V>* entry) noexcept {
    std::destroy_at(&entry->key);
    std::destroy_at(&entry->value);
}

}  // namespace quorvel
