// One slot's content: a key and its value, in that order.
//
// An Entry owns both; the table that stores it never constructs or destroys
// entries on its own - the table's owner does, guided by the control bytes.
#pragma once

namespace quorvel {

template <class K, class V>
struct Entry {
    K key;
    V value;
};

}  // namespace quorvel
