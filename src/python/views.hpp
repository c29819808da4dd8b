// The live views (views.cpp): creation by the map methods keys(), values()
// and items(), and the view frame shared with the set operations
// (set_ops.hpp).
#pragma once

#include "python/hashed_any.hpp"
#include "python/map.hpp"

namespace quorvel::python {

// A new view of kind E over `map` (a map object of the Family's class).
template <class Family, Element E>
OwnedRef make_view(PyObject* map);

// The whole native value of a view: its map.
struct ViewState {
    OwnedRef map;
};

// Step 2 of the view frame: the map's thread check and a shared borrow of
// the map for the life of this object.  A refused borrow is a
// PanicException ("Already mutably borrowed: ..."); both failures throw.
template <class Family>
class MapBorrow {
public:
    explicit MapBorrow(const ViewState& view)
        : map_(checked_thread(MapObject<Family>::from(view.map.get()))), borrow_(map_.header.borrow, Access::shared) {
        if (!borrow_) refused();
    }

    MapObject<Family>& operator*() const noexcept { return map_; }
    MapObject<Family>* operator->() const noexcept { return &map_; }

    // The map is not borrowed between release() and reacquire().
    void release() noexcept { borrow_.release(); }
    void reacquire() {
        if (!borrow_.reacquire()) refused();
    }

private:
    static MapObject<Family>& checked_thread(MapObject<Family>& map) {
        if (!map.check_thread()) throw PythonError{};
        return map;
    }
    [[noreturn]] static void refused() {
        set_borrow_refused_panic(Access::shared);
        throw PythonError{};
    }

    MapObject<Family>& map_;
    Borrow<LocalBorrowFlag> borrow_;
};

// `stored == probe` by rich comparison and truth value; an ordinary
// exception counts as unequal, the others propagate (PythonError).
inline bool objects_equal(PyObject* stored, PyObject* probe) {
    OwnedRef result = OwnedRef::steal(PyObject_RichCompare(stored, probe, Py_EQ));
    const int truth = result ? PyObject_IsTrue(result.get()) : -1;
    if (truth < 0) absorb_or_throw();
    return truth == 1;
}

// Keys-view membership: the probe's hash (failures propagate), then the
// map's own lookup.
template <class Family>
bool keys_contain(const MapState<Family>& map, PyObject* probe) {
    const KeyProbe key(probe);
    if (!key) throw PythonError{};
    return map.core.get(key.key()) != nullptr;
}

// Items-view membership: only a 2-tuple can be a member.
template <class Family>
bool items_contain(const MapState<Family>& map, PyObject* probe) {
    if (!PyTuple_Check(probe) || PyTuple_GET_SIZE(probe) != 2) return false;
    const KeyProbe key(PyTuple_GET_ITEM(probe, 0));
    if (!key) throw PythonError{};
    const OwnedRef* stored = map.core.get(key.key());
    return stored != nullptr && objects_equal(stored->get(), PyTuple_GET_ITEM(probe, 1));
}

}  // namespace quorvel::python
