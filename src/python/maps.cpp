// ElasticHashMap and FunnelHashMap: one class template, MapType<Twin>,
// instantiated for each twin.
//
// Every function below is an implementation wrapped by the entry-point frame
// (frame.hpp), which parses arguments, checks receiver and thread, takes the
// borrow named in the method table and translates failures.  The bodies only
// do their own work.
//
// Construction.  The constructor, with_options, copy and `|` build the core
// map first, with a fresh per-map seed, and make the Python object last, so a
// failure leaves nothing behind.  The constructor's update runs before the
// object exists: no Python code can reach the map while it is being filled.
//
// Copying and pickling (pickling.hpp).  `__reduce__` hands out the class and
// an iterator over the items, so the map is rebuilt empty with default
// options and then filled item by item; `__copy__` is `copy()`, which keeps
// every key's hash instead of hashing it again.  `__class_getitem__` makes
// `ElasticHashMap[str, int]` a `types.GenericAlias`, as for dict.

#include "common/errors.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/interned.hpp"
#include "python/iterators.hpp"
#include "python/map_class.hpp"
#include "python/rich_compare.hpp"
#include "python/views.hpp"

namespace quorvel::python {

namespace {

template <class Twin>
struct MapType {
    using Class = MapClass<Twin>;
    using Self = MapObject<Twin>;
    using OptionsClass = typename Twin::OptionsClass;

    // ---- construction (class-level entry points) ----

    static constexpr Signature constructor_signature{Twin::map_name, {"other", "capacity"}, 2, 0, 1};

    static OwnedRef construct(PyTypeObject*, PyObject* other, PyObject* capacity_arg) {
        const std::uint32_t capacity = capacity_arg == nullptr ? 0 : to_size(capacity_arg, "capacity");
        MapState<Twin> map{new_core<Twin>(default_options<Twin>(capacity))};
        if (other != nullptr && other != Py_None) update_map(map, other);
        return make_object<Class>(std::move(map));
    }

    static constexpr Signature with_options_signature{"with_options", {"options"}, 1, 1, 1};

    static OwnedRef with_options(PyTypeObject*, PyObject* options) {
        check_instance(options, type_of<OptionsClass>(), OptionsClass::python_name, "options");
        auto& instance = Object<OptionsClass>::from(options);
        typename Twin::Options core_options;
        {
            Borrow borrow(instance.header.borrow, Access::shared);  // never refused: nothing mutates options
            core_options = instance.value;
        }
        return make_object<Class>(MapState<Twin>{new_core<Twin>(core_options)});
    }

    // ---- capacity, copy, update, |, repr ----

    static OwnedRef capacity(Self& self) { return checked(PyLong_FromUnsignedLong(self.value.core.capacity())); }

    static OwnedRef copy(Self& self) { return make_object<Class>(copy_map(self.value)); }

    static constexpr Signature update_signature{"update", {"other"}, 1, 1, 1};

    static OwnedRef update(Self& self, PyObject* other) {
        update_map(self.value, other);
        return OwnedRef::from_borrowed(Py_None);
    }

    // `self | other`: a copy of self updated from other; no reflected form.
    static OwnedRef merged(Self& self, PyObject* other) {
        MapState<Twin> result = copy_map(self.value);
        update_map(result, other);
        return make_object<Class>(std::move(result));
    }

    // (class, (), None, None, items): `cls()`, then `m[k] = v` per item.
    static OwnedRef reduce(Self& self) {
        OwnedRef items = make_iterator<Twin, Element::items>(self);
        OwnedRef no_arguments = checked(PyTuple_New(0));
        return checked(PyTuple_Pack(5, reinterpret_cast<PyObject*>(Py_TYPE(self.py())), no_arguments.get(), Py_None,
                                    Py_None, items.get()));
    }

    // The object itself plus every table and side array its core map owns,
    // as dict.__sizeof__ counts its keys table, so that sys.getsizeof is
    // the map's real footprint.  Keys and values are not included.
    static OwnedRef size_of(Self& self) {
        return checked(PyLong_FromSize_t(sizeof(Self) + self.value.core.allocated_bytes()));
    }

    static OwnedRef repr(Self& self) {
        return checked(PyUnicode_FromFormat("%s(len=%u, capacity=%u)", Twin::map_name,
                                            unsigned{self.value.core.len()}, unsigned{self.value.core.capacity()}));
    }

    // ---- mapping operations ----
    //
    // The hot paths (subscript, assignment, membership, get) hash the key
    // once in a KeyProbe, which takes no reference, and go straight to the
    // core; they report a missing key or a failed hash by returning the
    // error value, without throwing.  Only a key the map keeps gets a
    // reference of its own.

    // KeyError for `key` as the interpreter's set raises it: the key is the
    // single argument, a tuple key is the argument tuple, None gives none.
    static void set_key_error(PyObject* key) noexcept { PyErr_SetObject(PyExc_KeyError, key); }

    static Py_ssize_t length(Self& self) { return self.value.core.len(); }

    static OwnedRef subscript(Self& self, PyObject* key) {
        const KeyProbe probe(key);
        if (!probe) return {};
        if (const OwnedRef* value = self.value.core.get(probe.key())) return value->dup();
        set_key_error(key);
        return {};
    }

    // `m[k] = v`, or `del m[k]` when value is null.
    static int assign(Self& self, PyObject* key, PyObject* value) {
        const KeyProbe probe(key);
        if (!probe) return -1;
        MapState<Twin>& map = self.value;
        if (value == nullptr) {
            std::optional<OwnedRef> removed = map.core.remove(probe.key());
            if (!removed) {
                set_key_error(key);
                return -1;
            }
            ++map.mutation_count;
            return 0;
        }
        std::optional<OwnedRef> replaced = map.core.insert(probe.owned(), OwnedRef::from_borrowed(value));
        ++map.mutation_count;
        return 0;  // `replaced`, if any, is released here, after the map is consistent
    }

    static int contains(Self& self, PyObject* key) {
        const KeyProbe probe(key);
        if (!probe) return -1;
        return self.value.core.get(probe.key()) != nullptr;
    }

    static constexpr Signature get_signature{"get", {"key", "default"}, 2, 1, 2};

    static OwnedRef get(Self& self, PyObject* key, PyObject* default_value) {
        const KeyProbe probe(key);
        if (!probe) return {};
        if (const OwnedRef* value = self.value.core.get(probe.key())) return value->dup();
        return OwnedRef::from_borrowed(default_value != nullptr ? default_value : Py_None);
    }

    static OwnedRef clear(Self& self) {
        self.value.core.clear();
        ++self.value.mutation_count;
        return OwnedRef::from_borrowed(Py_None);
    }

    template <Element E>
    static OwnedRef view(Self& self) {
        return make_view<Twin, E>(self.py());
    }

    static constexpr Signature pop_signature{"pop", {"key", "default"}, 2, 1, 2};

    // Unlike dict.pop, a default of None counts as no default.
    static OwnedRef pop(Self& self, PyObject* key, PyObject* default_value) {
        const KeyProbe probe(key);
        if (!probe) return {};
        if (std::optional<OwnedRef> removed = self.value.core.remove(probe.key())) {
            ++self.value.mutation_count;
            return std::move(*removed);
        }
        if (default_value != nullptr && default_value != Py_None) return OwnedRef::from_borrowed(default_value);
        set_key_error(key);
        return {};
    }

    // Removes the first entry of the entry order, at the slot where it was
    // found: no second lookup, so a misbehaving __eq__ cannot make it remove
    // another entry than the one it returns.
    static OwnedRef popitem(Self& self) {
        MapState<Twin>& map = self.value;
        const auto location = map.core.first_location();
        if (!location) {
            if (map.core.len() > 0) throw InternalError("len > 0");
            PyErr_SetString(PyExc_KeyError, "popitem(): map is empty");
            return {};
        }
        const auto& entry = map.core.entry_at(*location);
        OwnedRef pair = checked(PyTuple_Pack(2, entry.key.object(), entry.value.get()));
        auto removed = map.core.remove_at(*location);
        ++map.mutation_count;
        return pair;  // `removed` releases the map's references after this
    }

    static constexpr Signature setdefault_signature{"setdefault", {"key", "default"}, 2, 1, 2};

    // A missing key is stored with insert_new: the lookup just showed it is
    // absent and nothing can have changed the map since (it is borrowed
    // exclusively), so no key is compared twice.
    static OwnedRef setdefault(Self& self, PyObject* key, PyObject* default_value) {
        const KeyProbe probe(key);
        if (!probe) return {};
        MapState<Twin>& map = self.value;
        if (const OwnedRef* value = map.core.get(probe.key())) return value->dup();
        PyObject* value = default_value != nullptr ? default_value : Py_None;
        map.core.insert_new(probe.owned(), OwnedRef::from_borrowed(value));
        ++map.mutation_count;
        return OwnedRef::from_borrowed(value);
    }

    static OwnedRef iter(Self& self) { return make_iterator<Twin, Element::keys>(self); }

    // ---- comparison ----

    // `self == other`: other must look like a mapping (a `keys` attribute),
    // have the same length, and map every stored key to a value equal to the
    // stored one (stored value on the left).  Any failure along the way makes
    // the maps unequal, except the exceptions that are never absorbed.
    static bool equal(MapState<Twin>& map, PyObject* other) {
        {
            PyObject* name = keys_name();
            if (name == nullptr) throw PythonError{};
            PyObject* keys;
            const int found = PyObject_GetOptionalAttr(other, name, &keys);
            OwnedRef discarded = OwnedRef::steal(keys);
            if (found < 0) absorb_or_throw();
            if (found <= 0) return false;
        }
        const Py_ssize_t size = PyObject_Size(other);
        if (size < 0) absorb_or_throw();
        if (size != static_cast<Py_ssize_t>(map.core.len())) return false;
        bool equal = true;
        map.core.for_each([&](const HashedAny& key, const OwnedRef& value) {
            if (!equal) return;
            equal = values_equal(value.get(), key.object(), other);
        });
        return equal;
    }

    static bool values_equal(PyObject* stored, PyObject* key, PyObject* other) {
        OwnedRef item = OwnedRef::steal(PyObject_GetItem(other, key));
        if (!item) {
            absorb_or_throw();
            return false;
        }
        OwnedRef result = OwnedRef::steal(PyObject_RichCompare(stored, item.get(), Py_EQ));
        const int truth = result ? PyObject_IsTrue(result.get()) : -1;
        if (truth < 0) absorb_or_throw();
        return truth == 1;
    }

    static OwnedRef compare(Self& self, PyObject* other, int op) {
        return rich_compare(self.py(), other, op, [&] {
            Borrow borrow(self.header.borrow, Access::shared);
            if (!borrow) return OwnedRef::from_borrowed(Py_NotImplemented);
            return OwnedRef::from_borrowed(equal(self.value, other) ? Py_True : Py_False);
        });
    }

    // ---- tables ----

    static constexpr Frame OPERAND_SHARED{Access::shared, Refusal::not_implemented, Receiver::operand};
    static constexpr Frame OPERAND{Access::none, Refusal::not_implemented, Receiver::operand};
    // Views check thread and borrow when they are used, not when made.
    static constexpr Frame VIEW_FACTORY{Access::none, Refusal::runtime_error, Receiver::method, false};
    static constexpr Frame SHARED_OR_PANIC{Access::shared, Refusal::panic};

    static inline PyMethodDef methods[] = {
        {"with_options",
         as_cfunction(&StaticEntry<&with_options>::template class_method<with_options_signature>),
         METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "with_options($cls, options)\n--\n\n"},
        {"copy", as_cfunction(&Entry<SHARED, &copy>::noargs), METH_NOARGS, "copy($self)\n--\n\n"},
        {"update", as_cfunction(&Entry<EXCLUSIVE, &update>::template method<update_signature>),
         METH_FASTCALL | METH_KEYWORDS, "update($self, other)\n--\n\n"},
        {"get", as_cfunction(&Entry<SHARED, &get>::template method<get_signature>), METH_FASTCALL | METH_KEYWORDS,
         "get($self, key, default=None)\n--\n\n"},
        {"clear", as_cfunction(&Entry<EXCLUSIVE, &clear>::noargs), METH_NOARGS, "clear($self)\n--\n\n"},
        {"keys", as_cfunction(&Entry<VIEW_FACTORY, &view<Element::keys>>::noargs), METH_NOARGS,
         "keys($self)\n--\n\n"},
        {"values", as_cfunction(&Entry<VIEW_FACTORY, &view<Element::values>>::noargs), METH_NOARGS,
         "values($self)\n--\n\n"},
        {"items", as_cfunction(&Entry<VIEW_FACTORY, &view<Element::items>>::noargs), METH_NOARGS,
         "items($self)\n--\n\n"},
        {"pop", as_cfunction(&Entry<EXCLUSIVE, &pop>::template method<pop_signature>), METH_FASTCALL | METH_KEYWORDS,
         "pop($self, key, default=None)\n--\n\n"},
        {"popitem", as_cfunction(&Entry<EXCLUSIVE, &popitem>::noargs), METH_NOARGS, "popitem($self)\n--\n\n"},
        {"setdefault", as_cfunction(&Entry<EXCLUSIVE, &setdefault>::template method<setdefault_signature>),
         METH_FASTCALL | METH_KEYWORDS, "setdefault($self, key, default=None)\n--\n\n"},
        {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585"},
        {"__copy__", as_cfunction(&Entry<SHARED, &copy>::noargs), METH_NOARGS, "__copy__($self)\n--\n\n"},
        {"__reduce__", as_cfunction(&Entry<SHARED, &reduce>::noargs), METH_NOARGS, "__reduce__($self)\n--\n\n"},
        {"__sizeof__", as_cfunction(&Entry<SHARED, &size_of>::noargs), METH_NOARGS, "__sizeof__($self)\n--\n\n"},
        {},
    };

    static inline PyGetSetDef properties[] = {
        {"capacity", &Entry<SHARED, &capacity>::getter, nullptr, nullptr, nullptr},
        {},
    };

    static inline PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(Twin::map_doc)},
        {Py_tp_new, as_slot(&StaticEntry<&construct>::template constructor<constructor_signature>)},
        {Py_tp_dealloc, as_slot(&dealloc<Class>)},
        {Py_tp_repr, as_slot(&Entry<SHARED, &repr>::slot)},
        {Py_nb_or, as_slot(&Entry<OPERAND_SHARED, &merged>::slot)},
        {Py_tp_richcompare, as_slot(&Entry<OPERAND, &compare>::slot)},
        {Py_mp_length, as_slot(&Entry<SHARED, &length>::slot)},
        {Py_mp_subscript, as_slot(&Entry<SHARED, &subscript>::slot)},
        {Py_mp_ass_subscript, as_slot(&Entry<EXCLUSIVE, &assign>::slot)},
        {Py_sq_contains, as_slot(&Entry<SHARED, &contains>::slot)},
        {Py_tp_iter, as_slot(&Entry<SHARED_OR_PANIC, &iter>::slot)},
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        {0, nullptr},
    };

    static inline PyType_Spec spec{Twin::map_spec_name, sizeof(Self), 0, Py_TPFLAGS_DEFAULT, slots};
};

}  // namespace

template <class Twin>
ClassRegistration map_class() noexcept {
    return {Twin::map_name, &MapType<Twin>::spec, &type_object<MapClass<Twin>>};
}

template ClassRegistration map_class<ElasticTwin>() noexcept;
template ClassRegistration map_class<FunnelTwin>() noexcept;

}  // namespace quorvel::python
