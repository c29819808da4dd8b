// The update and copy routines of the map classes.
//
// update_map distinguishes three sources, in this order:
//
//   dict (or subclass)  its own storage, read with PyDict_Next; overridden
//                       keys/__getitem__/__iter__ of a subclass are not used.
//                       Each step runs inside the dict's critical section
//                       and takes strong references to the key and the value
//                       there, before any Python code runs: hashing the key
//                       may run a __hash__ that deletes entries of the dict.
//                       A size change between steps, or more items than the
//                       dict had at the start, is a PanicException.
//   has a `keys` attr   for k in source.keys(): store (k, source[k]).
//   anything else       an iterable of sized, indexable pairs e:
//                       store (e[0], e[1]) when len(e) == 2.
//
// Any failure ends the routine with the pairs stored so far kept and
// mutation_count unchanged; success increases mutation_count once.
//
// copy_map walks the source in entry order and places every entry in the
// new map with insert_new: the keys are known to be distinct, so no key
// comparison (and no Python code) runs, and no __hash__ is called.
#include "python/map_class.hpp"

#include "common/errors.hpp"
#include "python/interned.hpp"

namespace quorvel::python {

namespace {

PyObject* checked_keys_name() {
    PyObject* name = keys_name();
    if (name == nullptr) throw PythonError{};
    return name;
}

// Wraps `key` (hashing it) and inserts the pair; a replaced value is released.
template <class Twin>
void store(MapState<Twin>& map, PyObject* key, OwnedRef value) {
    const KeyProbe probe(key);
    if (!probe) throw PythonError{};
    map.core.insert(probe.owned(), std::move(value));
}

template <class Twin>
void update_from_dict(MapState<Twin>& map, PyObject* dict) {
    const Py_ssize_t start_size = PyDict_GET_SIZE(dict);
    Py_ssize_t position = 0;
    Py_ssize_t delivered = 0;
    for (;;) {
        OwnedRef key;
        OwnedRef value;
        bool size_changed = false;
        Py_BEGIN_CRITICAL_SECTION(dict);
        if (PyDict_GET_SIZE(dict) != start_size) {
            size_changed = true;
        } else {
            PyObject* borrowed_key;
            PyObject* borrowed_value;
            if (PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) {
                key = OwnedRef::from_borrowed(borrowed_key);
                value = OwnedRef::from_borrowed(borrowed_value);
            }
        }
        Py_END_CRITICAL_SECTION();
        if (size_changed) throw InternalError("dictionary changed size during iteration");
        if (!key) return;
        if (++delivered > start_size) throw InternalError("dictionary keys changed during iteration");
        store(map, key.get(), std::move(value));
    }
}

template <class Twin>
void update_from_keys(MapState<Twin>& map, PyObject* source) {
    OwnedRef keys = checked(PyObject_CallMethodNoArgs(source, checked_keys_name()));
    OwnedRef iterator = checked(PyObject_GetIter(keys.get()));
    for (;;) {
        PyObject* next;
        if (checked_status(PyIter_NextItem(iterator.get(), &next)) == 0) return;
        OwnedRef key = OwnedRef::steal(next);
        OwnedRef value = checked(PyObject_GetItem(source, key.get()));
        store(map, key.get(), std::move(value));
    }
}

OwnedRef item_at(PyObject* pair, long index) {
    OwnedRef position = checked(PyLong_FromLong(index));
    return checked(PyObject_GetItem(pair, position.get()));
}

[[noreturn]] void throw_not_a_pair() {
    PyErr_SetString(PyExc_ValueError, "update sequence elements must be 2-tuples");
    throw PythonError{};
}

template <class Twin>
void update_from_pairs(MapState<Twin>& map, PyObject* source) {
    OwnedRef iterator = checked(PyObject_GetIter(source));
    for (;;) {
        PyObject* next;
        if (checked_status(PyIter_NextItem(iterator.get(), &next)) == 0) return;
        OwnedRef pair = OwnedRef::steal(next);
        const Py_ssize_t size = PyObject_Size(pair.get());
        if (size < 0) absorb_or_throw();  // len()'s own error gives way to ours
        if (size != 2) throw_not_a_pair();
        OwnedRef key = item_at(pair.get(), 0);
        OwnedRef value = item_at(pair.get(), 1);
        store(map, key.get(), std::move(value));
    }
}

}  // namespace

template <class Twin>
void update_map(MapState<Twin>& map, PyObject* source) {
    // An update that fails part-way leaves mutation_count alone, so the
    // iterators over the map must not see what it stored (cursors.hpp).
    map.cursors.detach_all();
    if (PyDict_Check(source)) {
        update_from_dict(map, source);
    } else {
        PyObject* keys_attribute;
        const bool has_keys =
            checked_status(PyObject_GetOptionalAttr(source, checked_keys_name(), &keys_attribute)) == 1;
        OwnedRef discarded = OwnedRef::steal(keys_attribute);  // a fresh method call is made below
        if (has_keys) {
            update_from_keys(map, source);
        } else {
            update_from_pairs(map, source);
        }
    }
    ++map.mutation_count;
}

template <class Twin>
MapState<Twin> copy_map(const MapState<Twin>& source) {
    MapState<Twin> copy{new_core<Twin>(default_options<Twin>(source.core.len()))};
    source.core.for_each([&copy](const HashedAny& key, const OwnedRef& value) {
        copy.core.insert_new(key.dup(), value.dup());
    });
    return copy;
}

template void update_map<ElasticTwin>(MapState<ElasticTwin>&, PyObject*);
template void update_map<FunnelTwin>(MapState<FunnelTwin>&, PyObject*);
template MapState<ElasticTwin> copy_map<ElasticTwin>(const MapState<ElasticTwin>&);
template MapState<FunnelTwin> copy_map<FunnelTwin>(const MapState<FunnelTwin>&);

}  // namespace quorvel::python
