// The six view classes: one template, ViewClass<Family, Element>.
//
//     Object<ViewClass> { ..., ViewState { map } }
//
// A view holds a strong reference to its map and nothing else: no copy of
// the contents, no length, no mutation_count.  Every slot reads the map as
// it is at that moment, inside the view frame:
//
//   1. the entry-point frame of the view (receiver, thread, shared borrow of
//      the view - never refused, nothing borrows a view exclusively);
//   2. the map's thread check and a shared borrow of the map.  A refusal
//      means a mutating map operation further down the stack called Python
//      code that reached this view: PanicException "Already mutably
//      borrowed: ...", not RuntimeError.
//
// Membership: keys views hash the probe and use the map's lookup; items
// views accept only 2-tuples (subclasses too), look the key up and compare
// the stored value with the given one (stored value on the left, failures
// absorbed as unequal); values views walk the entries and never hash.
//
// Keys and items views add comparison and set operators (set_ops.hpp);
// values views have neither comparison nor hash slot, so they compare and
// hash by identity.
//
// Their one method, __reduce__, refuses copying and pickling
// (pickling.hpp): a view is a window onto one live map object.
#include "python/views.hpp"

#include "python/entry_point.hpp"
#include "python/iterators.hpp"
#include "python/pickling.hpp"
#include "python/registration.hpp"
#include "python/set_ops.hpp"

namespace quorvel::python {

namespace {

// The text of repr(object) taken over as UTF-8: a text with lone surrogates
// is encoded with them passed through, then decoded with every invalid
// sequence replaced by U+FFFD.
OwnedRef repr_text(PyObject* object) {
    OwnedRef text = checked(PyObject_Repr(object));
    if (PyUnicode_AsUTF8AndSize(text.get(), nullptr) != nullptr) return text;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
    PyErr_Clear();
    OwnedRef bytes = checked(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    return checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
}

template <Element E>
OwnedRef entry_text(const HashedAny& key, const OwnedRef& value) {
    if constexpr (E == Element::keys) {
        return repr_text(key.object());
    } else if constexpr (E == Element::values) {
        return repr_text(value.get());
    } else {
        OwnedRef key_text = repr_text(key.object());
        OwnedRef value_text = repr_text(value.get());
        return checked(PyUnicode_FromFormat("(%U, %U)", key_text.get(), value_text.get()));
    }
}

template <class Family, Element E>
struct ViewClass {
    using Native = ViewState;
    using Self = Object<ViewClass>;
    static constexpr bool thread_bound = true;
    static constexpr const char* python_name = Family::view_names[static_cast<int>(E)];
    static constexpr const char* native_name = Family::native_view_names[static_cast<int>(E)];

    static Py_ssize_t length(Self& self) {
        MapBorrow<Family> map(self.value);
        return map->value.core.len();
    }

    static OwnedRef iter(Self& self) {
        MapBorrow<Family> map(self.value);
        return make_iterator<Family, E>(*map);
    }

    static int contains(Self& self, PyObject* probe) {
        MapBorrow<Family> map(self.value);
        if constexpr (E == Element::keys) {
            return keys_contain(map->value, probe);
        } else if constexpr (E == Element::items) {
            return items_contain(map->value, probe);
        } else {
            return values_contain(map->value, probe);
        }
    }

    // Walks the values in entry order; the probe is never hashed.
    static bool values_contain(const MapState<Family>& map, PyObject* probe) {
        bool found = false;
        map.core.for_each([&](const HashedAny&, const OwnedRef& value) {
            if (!found) found = objects_equal(value.get(), probe);
        });
        return found;
    }

    static OwnedRef repr(Self& self) {
        MapBorrow<Family> map(self.value);
        OwnedRef texts = checked(PyList_New(0));
        map->value.core.for_each([&texts](const HashedAny& key, const OwnedRef& value) {
            OwnedRef text = entry_text<E>(key, value);
            checked_status(PyList_Append(texts.get(), text.get()));
        });
        OwnedRef separator = checked(PyUnicode_FromString(", "));
        OwnedRef joined = checked(PyUnicode_Join(separator.get(), texts.get()));
        return checked(PyUnicode_FromFormat("%s([%U])", python_name, joined.get()));
    }

    static constexpr bool set_like = E != Element::values;

    static inline PyType_Slot slots[] = {
        {Py_tp_dealloc, as_slot(&dealloc<ViewClass>)},
        {Py_mp_length, as_slot(&EntryPoint<SHARED, &length>::slot)},
        {Py_tp_iter, as_slot(&EntryPoint<SHARED, &iter>::slot)},
        {Py_sq_contains, as_slot(&EntryPoint<SHARED, &contains>::slot)},
        {Py_tp_repr, as_slot(&EntryPoint<SHARED, &repr>::slot)},
        {Py_tp_methods, unpicklable_methods<ViewClass>},
        // Keys and items views only (the list ends early for values views).
        {set_like ? Py_tp_richcompare : 0, as_slot(SetOps<ViewClass, Family, E>::compare_slot)},
        {Py_nb_subtract, as_slot(SetOps<ViewClass, Family, E>::difference_slot)},
        {Py_nb_and, as_slot(SetOps<ViewClass, Family, E>::intersection_slot)},
        {Py_nb_or, as_slot(SetOps<ViewClass, Family, E>::union_slot)},
        // Keys views only.
        {E == Element::keys ? Py_nb_xor : 0, as_slot(SetOps<ViewClass, Family, E>::symmetric_difference_slot)},
        {0, nullptr},
    };

    static inline PyType_Spec spec = type_spec<ViewClass>(
        Family::view_spec_names[static_cast<int>(E)], Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);

    static ClassRegistration registration() noexcept { return registration_of<ViewClass>(spec); }
};

}  // namespace

template <class Family, Element E>
OwnedRef make_view(PyObject* map) {
    return make_object<ViewClass<Family, E>>(ViewState{OwnedRef::from_borrowed(map)});
}

template <class Family>
std::array<ClassRegistration, 3> view_registrations() noexcept {
    return {ViewClass<Family, Element::keys>::registration(), ViewClass<Family, Element::values>::registration(),
            ViewClass<Family, Element::items>::registration()};
}

#define QUORVEL_VIEWS(Family)                                        \
    template OwnedRef make_view<Family, Element::keys>(PyObject*);   \
    template OwnedRef make_view<Family, Element::values>(PyObject*); \
    template OwnedRef make_view<Family, Element::items>(PyObject*);  \
    template std::array<ClassRegistration, 3> view_registrations<Family>() noexcept;
QUORVEL_VIEWS(ElasticFamily)
QUORVEL_VIEWS(FunnelFamily)
#undef QUORVEL_VIEWS

}  // namespace quorvel::python
