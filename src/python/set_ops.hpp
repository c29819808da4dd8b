// Comparison and set operators of keys and items views.
//
// The element sequence of a view is its map's entries in entry order: the
// stored key itself (keys views) or a (key, value) tuple made afresh for
// every entry each time an operation walks the map (items views).  The
// other operand only needs the protocol an operator uses, through the
// interpreter's own calls:
//
//     v == other   len(other) equal to the map's, and every element `in`
//                  other; any failure from other makes it False (exceptions
//                  that are never absorbed excepted)
//     v != other   not (v == other) through the full rich comparison;
//                  failures propagate
//     v - other    elements not `in` other           } other is probed,
//     v & other    elements `in` other               } never iterated
//     v | other    all elements, then everything other yields; the map's
//                  borrow is released while other is iterated, so code run
//                  by that iteration may mutate the map
//     v ^ other    keys not `in` other, then the objects of other that the
//                  map's own lookup does not find (map borrowed again)
//
// Results are new plain sets.  Only the left operand can be the view: with
// any other left operand the slots return NotImplemented, so there are no
// reflected forms, and there are no in-place forms either.  The ordering
// comparisons return NotImplemented.
#pragma once

#include "python/entry_point.hpp"
#include "python/iterators.hpp"
#include "python/rich_compare.hpp"
#include "python/views.hpp"

namespace quorvel::python {

template <class ViewClass, class Family, Element E>
struct SetOps {
    using Self = Object<ViewClass>;

    // Calls f(element) for every element of the view, in entry order, while
    // f returns true.
    template <class F>
    static void walk(const MapState<Family>& map, F&& f) {
        bool going = true;
        map.core.for_each([&](const HashedAny& key, const OwnedRef& value) {
            if (going) going = f(element_of<E>(key, value).get());
        });
    }

    static bool contained_in(PyObject* other, PyObject* element) {
        return checked_status(PySequence_Contains(other, element)) == 1;
    }

    static void add(const OwnedRef& set, PyObject* element) { checked_status(PySet_Add(set.get(), element)); }

    static bool equal(Self& self, PyObject* other) {
        MapBorrow<Family> map(self.value);
        const Py_ssize_t size = PyObject_Size(other);
        if (size < 0) absorb_or_throw();
        if (size != static_cast<Py_ssize_t>(map->value.core.len())) return false;
        bool equal = true;
        walk(map->value, [&](PyObject* element) {
            const int found = PySequence_Contains(other, element);
            if (found < 0) absorb_or_throw();
            return equal = found == 1;
        });
        return equal;
    }

    static OwnedRef compare(Self& self, PyObject* other, int op) {
        return rich_compare(self.py(), other, op, [&] {
            Borrow borrow(self.header.borrow, Access::shared);  // never refused
            return OwnedRef::from_borrowed(equal(self, other) ? Py_True : Py_False);
        });
    }

    // `v - other` (keep == false) and `v & other` (keep == true).
    template <bool Keep>
    static OwnedRef filtered(Self& self, PyObject* other) {
        MapBorrow<Family> map(self.value);
        OwnedRef result = checked(PySet_New(nullptr));
        walk(map->value, [&](PyObject* element) {
            if (contained_in(other, element) == Keep) add(result, element);
            return true;
        });
        return result;
    }

    static OwnedRef union_of(Self& self, PyObject* other) {
        MapBorrow<Family> map(self.value);
        OwnedRef result = checked(PySet_New(nullptr));
        walk(map->value, [&](PyObject* element) {
            add(result, element);
            return true;
        });
        map.release();
        OwnedRef iterator = checked(PyObject_GetIter(other));
        for (;;) {
            PyObject* next;
            if (checked_status(PyIter_NextItem(iterator.get(), &next)) == 0) return result;
            OwnedRef object = OwnedRef::steal(next);
            add(result, object.get());
        }
    }

    static OwnedRef symmetric_difference(Self& self, PyObject* other) {
        MapBorrow<Family> map(self.value);
        OwnedRef result = checked(PySet_New(nullptr));
        walk(map->value, [&](PyObject* key) {
            if (!contained_in(other, key)) add(result, key);
            return true;
        });
        map.release();
        map.reacquire();
        OwnedRef iterator = checked(PyObject_GetIter(other));
        for (;;) {
            PyObject* next;
            if (checked_status(PyIter_NextItem(iterator.get(), &next)) == 0) return result;
            OwnedRef object = OwnedRef::steal(next);
            if (!keys_contain(map->value, object.get())) add(result, object.get());
        }
    }

    // The view frame with NotImplemented for a left operand of another type.
    static constexpr Frame OPERATOR{.access = Access::shared, .receiver = Receiver::operand};
    static constexpr Frame COMPARISON{.access = Access::none, .receiver = Receiver::operand};

    static constexpr auto compare_slot = &EntryPoint<COMPARISON, &compare>::slot;
    static constexpr auto difference_slot = &EntryPoint<OPERATOR, &filtered<false>>::slot;
    static constexpr auto intersection_slot = &EntryPoint<OPERATOR, &filtered<true>>::slot;
    static constexpr auto union_slot = &EntryPoint<OPERATOR, &union_of>::slot;
    static constexpr auto symmetric_difference_slot = &EntryPoint<OPERATOR, &symmetric_difference>::slot;
};

}  // namespace quorvel::python
