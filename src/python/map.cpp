// ElasticHashMap and FunnelHashMap: one class template, MapMethods<Family>,
// instantiated for each family, with the update and copy routines behind
// its constructor, update(), copy() and `|`.
//
// Every method below is an implementation wrapped by an entry point
// (entry_point.hpp), which parses arguments, checks receiver and thread,
// takes the borrow named in the method table and translates failures.  The
// bodies only do their own work.
//
// Construction.  The constructor, with_options, copy and `|` build the core
// map first, with a fresh per-map seed, and make the Python object last, so a
// failure leaves nothing behind.  The constructor's update runs before the
// object exists: no Python code can reach the map while it is being filled.
// with_options hands the options object's value, the core's own option
// struct (options.hpp), to the core as it is.
//
// Update.  update_map distinguishes three sources, in this order:
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
// Copy.  copy_map walks the source in entry order and places every entry in
// the new map with insert_new: the keys are known to be distinct, so no key
// comparison (and no Python code) runs, and no __hash__ is called.
//
// Copying and pickling (pickling.hpp).  `__reduce__` hands out the class and
// an iterator over the items, so the map is rebuilt empty with default
// options and then filled item by item; `__copy__` is `copy()`, which keeps
// every key's hash instead of hashing it again.  `__class_getitem__` makes
// `ElasticHashMap[str, int]` a `types.GenericAlias`, as for dict.
#include "common/errors.hpp"
#include "common/seed.hpp"
#include "common/sizing.hpp"
#include "python/arguments.hpp"
#include "python/entry_point.hpp"
#include "python/interned.hpp"
#include "python/iterators.hpp"
#include "python/map.hpp"
#include "python/registration.hpp"
#include "python/rich_compare.hpp"
#include "python/views.hpp"

namespace quorvel::python {

namespace {

// ---- construction ----------------------------------------------------------

// The options of a map built by the constructor or by copy: the core's
// defaults but for the capacity.
template <class Family>
typename Family::Options default_options(std::uint32_t capacity) noexcept {
    typename Family::Options options;
    options.capacity = capacity;
    return options;
}

// An empty core map with a fresh per-map seed (the process-wide seed is
// made first if this is the process's first map).
template <class Family>
typename Family::Core new_core(const typename Family::Options& options) {
    (void)GlobalSeed::get();
    return Family::Core::with_options_and_hasher(options, gen_per_hasher_seed());
}

// ---- update ----------------------------------------------------------------

PyObject* checked_keys_name() {
    PyObject* name = keys_name();
    if (name == nullptr) throw PythonError{};
    return name;
}

// Wraps `key` (hashing it) and inserts the pair; a replaced value is released.
template <class Family>
void store(MapState<Family>& map, PyObject* key, OwnedRef value) {
    const KeyProbe probe(key);
    if (!probe) throw PythonError{};
    map.core.insert(probe.owned(), std::move(value));
}

template <class Family>
void update_from_dict(MapState<Family>& map, PyObject* dict) {
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

template <class Family>
void update_from_keys(MapState<Family>& map, PyObject* source) {
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

template <class Family>
void update_from_pairs(MapState<Family>& map, PyObject* source) {
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

// The update routine: stores every pair of `source` and increases
// mutation_count once at the end.  Throws on failure, leaving the pairs
// stored so far.
template <class Family>
void update_map(MapState<Family>& map, PyObject* source) {
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

// ---- copy ------------------------------------------------------------------

// From this many entries on a copy walks its source with a lookahead: below
// it the objects are mostly in the last-level cache, and asking for them
// gained nothing at 100,000 entries (38-41 ns an entry either way), while
// at 1,000,000 it takes 137-139 ns to 103-112 (elastic).
inline constexpr std::uint32_t LOOKAHEAD_FROM = 1u << 18;

// A new map with default options of capacity len, holding the same key and
// value objects.
//
// Filled with len entries, a map of capacity len grows once its
// max_insertions are placed (len - floor(delta * len) < len), to
// grown_capacity(len), which then holds them all.  Built at that capacity
// from the start, the copy ends with the same capacity and the same
// entries without placing most of them twice; its seed is fresh, so which
// of the two layouts it has is nothing a caller can tell.  The one case
// where the two could end at different capacities - a funnel map that grows
// because the rules found no slot for a key, which only many keys sharing
// one hash can make happen at half load - is left to the routine as
// written: a copy built ahead that grew is dropped and made again.
template <class Family>
MapState<Family> copy_map(const MapState<Family>& source) {
    const std::uint32_t len = source.core.len();
    // Taking the new references touches every key and value object, which
    // in slot order lie anywhere: a large map asks for them a few groups
    // ahead of the walk, so that the misses overlap.
    const auto fill = [&source, len](MapState<Family>& copy) {
        const auto place = [&copy](const HashedAny& key, const OwnedRef& value) {
            copy.core.insert_new(key.dup(), value.dup());
        };
        if (len < LOOKAHEAD_FROM) {
            source.core.for_each(place);
        } else {
            source.core.for_each(place, [](const auto& entry) {
                __builtin_prefetch(entry.key.object(), 1);
                __builtin_prefetch(entry.value.get(), 1);
            });
        }
    };
    const typename Family::Options as_written = default_options<Family>(len);
    if (len > Family::Core::max_insertions_for(as_written)) {
        MapState<Family> ahead{new_core<Family>(default_options<Family>(grown_capacity(len)))};
        fill(ahead);
        if (ahead.core.rebuilds() == 0) return ahead;
    }
    MapState<Family> copy{new_core<Family>(as_written)};
    fill(copy);
    return copy;
}

// ---- the class -------------------------------------------------------------

// The map class's implementation functions and its type tables.
template <class Family>
struct MapMethods {
    using Class = MapClass<Family>;
    using Self = MapObject<Family>;
    using OptionsClass = typename Family::OptionsClass;

    // ---- construction (class-level entry points) ----

    static constexpr Signature constructor_signature{
        .name = Family::map_name, .parameters = {"other", "capacity"}, .count = 2, .required = 0, .positional = 1};

    static OwnedRef construct(PyTypeObject*, PyObject* other, PyObject* capacity_arg) {
        const std::uint32_t capacity = capacity_arg == nullptr ? 0 : to_size(capacity_arg, "capacity");
        MapState<Family> map{new_core<Family>(default_options<Family>(capacity))};
        if (other != nullptr && other != Py_None) update_map(map, other);
        return make_object<Class>(std::move(map));
    }

    static constexpr Signature with_options_signature{
        .name = "with_options", .parameters = {"options"}, .count = 1, .required = 1, .positional = 1};

    static OwnedRef with_options(PyTypeObject*, PyObject* options) {
        check_instance(options, type_of<OptionsClass>(), OptionsClass::python_name, "options");
        auto& instance = Object<OptionsClass>::from(options);
        typename Family::Options core_options;
        {
            Borrow borrow(instance.header.borrow, Access::shared);  // never refused: nothing mutates options
            core_options = instance.value;
        }
        return make_object<Class>(MapState<Family>{new_core<Family>(core_options)});
    }

    // ---- capacity, copy, update, |, repr ----

    static OwnedRef capacity(Self& self) { return checked(PyLong_FromUnsignedLong(self.value.core.capacity())); }

    static OwnedRef copy(Self& self) { return make_object<Class>(copy_map(self.value)); }

    static constexpr Signature update_signature{
        .name = "update", .parameters = {"other"}, .count = 1, .required = 1, .positional = 1};

    static OwnedRef update(Self& self, PyObject* other) {
        update_map(self.value, other);
        return OwnedRef::from_borrowed(Py_None);
    }

    // `self | other`: a copy of self updated from other; no reflected form.
    static OwnedRef merged(Self& self, PyObject* other) {
        MapState<Family> result = copy_map(self.value);
        update_map(result, other);
        return make_object<Class>(std::move(result));
    }

    // (class, (), None, None, items): `cls()`, then `m[k] = v` per item.
    static OwnedRef reduce(Self& self) {
        OwnedRef items = make_iterator<Family, Element::items>(self);
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
        return checked(PyUnicode_FromFormat("%s(len=%u, capacity=%u)", Family::map_name,
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
        MapState<Family>& map = self.value;
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

    static constexpr Signature get_signature{
        .name = "get", .parameters = {"key", "default"}, .count = 2, .required = 1, .positional = 2};

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
        return make_view<Family, E>(self.py());
    }

    static constexpr Signature pop_signature{
        .name = "pop", .parameters = {"key", "default"}, .count = 2, .required = 1, .positional = 2};

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
        MapState<Family>& map = self.value;
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

    static constexpr Signature setdefault_signature{
        .name = "setdefault", .parameters = {"key", "default"}, .count = 2, .required = 1, .positional = 2};

    // A missing key is stored with insert_new: the lookup just showed it is
    // absent and nothing can have changed the map since (it is borrowed
    // exclusively), so no key is compared twice.
    static OwnedRef setdefault(Self& self, PyObject* key, PyObject* default_value) {
        const KeyProbe probe(key);
        if (!probe) return {};
        MapState<Family>& map = self.value;
        if (const OwnedRef* value = map.core.get(probe.key())) return value->dup();
        PyObject* value = default_value != nullptr ? default_value : Py_None;
        map.core.insert_new(probe.owned(), OwnedRef::from_borrowed(value));
        ++map.mutation_count;
        return OwnedRef::from_borrowed(value);
    }

    static OwnedRef iter(Self& self) { return make_iterator<Family, Element::keys>(self); }

    // ---- comparison ----

    // `self == other`: other must look like a mapping (a `keys` attribute),
    // have the same length, and map every stored key to a value equal to the
    // stored one (stored value on the left).  Any failure along the way makes
    // the maps unequal, except the exceptions that are never absorbed.
    static bool equal(MapState<Family>& map, PyObject* other) {
        {
            PyObject* keys;
            const int found = PyObject_GetOptionalAttr(other, checked_keys_name(), &keys);
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

    static constexpr Frame OPERAND_SHARED{
        .access = Access::shared, .refusal = Refusal::not_implemented, .receiver = Receiver::operand};
    static constexpr Frame OPERAND{
        .access = Access::none, .refusal = Refusal::not_implemented, .receiver = Receiver::operand};
    // Views check thread and borrow when they are used, not when made.
    static constexpr Frame VIEW_FACTORY{.access = Access::none, .thread_check = false};
    static constexpr Frame SHARED_OR_PANIC{.access = Access::shared, .refusal = Refusal::panic};

    static inline PyMethodDef methods[] = {
        {"with_options",
         as_cfunction(&StaticEntryPoint<&with_options>::template class_method<with_options_signature>),
         METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "with_options($cls, options)\n--\n\n"},
        {"copy", as_cfunction(&EntryPoint<SHARED, &copy>::noargs), METH_NOARGS, "copy($self)\n--\n\n"},
        {"update", as_cfunction(&EntryPoint<EXCLUSIVE, &update>::template method<update_signature>),
         METH_FASTCALL | METH_KEYWORDS, "update($self, other)\n--\n\n"},
        {"get", as_cfunction(&EntryPoint<SHARED, &get>::template method<get_signature>), METH_FASTCALL | METH_KEYWORDS,
         "get($self, key, default=None)\n--\n\n"},
        {"clear", as_cfunction(&EntryPoint<EXCLUSIVE, &clear>::noargs), METH_NOARGS, "clear($self)\n--\n\n"},
        {"keys", as_cfunction(&EntryPoint<VIEW_FACTORY, &view<Element::keys>>::noargs), METH_NOARGS,
         "keys($self)\n--\n\n"},
        {"values", as_cfunction(&EntryPoint<VIEW_FACTORY, &view<Element::values>>::noargs), METH_NOARGS,
         "values($self)\n--\n\n"},
        {"items", as_cfunction(&EntryPoint<VIEW_FACTORY, &view<Element::items>>::noargs), METH_NOARGS,
         "items($self)\n--\n\n"},
        {"pop", as_cfunction(&EntryPoint<EXCLUSIVE, &pop>::template method<pop_signature>),
         METH_FASTCALL | METH_KEYWORDS, "pop($self, key, default=None)\n--\n\n"},
        {"popitem", as_cfunction(&EntryPoint<EXCLUSIVE, &popitem>::noargs), METH_NOARGS, "popitem($self)\n--\n\n"},
        {"setdefault", as_cfunction(&EntryPoint<EXCLUSIVE, &setdefault>::template method<setdefault_signature>),
         METH_FASTCALL | METH_KEYWORDS, "setdefault($self, key, default=None)\n--\n\n"},
        {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585"},
        {"__copy__", as_cfunction(&EntryPoint<SHARED, &copy>::noargs), METH_NOARGS, "__copy__($self)\n--\n\n"},
        {"__reduce__", as_cfunction(&EntryPoint<SHARED, &reduce>::noargs), METH_NOARGS, "__reduce__($self)\n--\n\n"},
        {"__sizeof__", as_cfunction(&EntryPoint<SHARED, &size_of>::noargs), METH_NOARGS, "__sizeof__($self)\n--\n\n"},
        {},
    };

    static inline PyGetSetDef properties[] = {
        {.name = "capacity", .get = &EntryPoint<SHARED, &capacity>::getter, .set = nullptr, .doc = nullptr,
         .closure = nullptr},
        {},
    };

    static inline PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(Family::map_doc)},
        {Py_tp_new, as_slot(&StaticEntryPoint<&construct>::template constructor<constructor_signature>)},
        {Py_tp_dealloc, as_slot(&dealloc<Class>)},
        {Py_tp_repr, as_slot(&EntryPoint<SHARED, &repr>::slot)},
        {Py_nb_or, as_slot(&EntryPoint<OPERAND_SHARED, &merged>::slot)},
        {Py_tp_richcompare, as_slot(&EntryPoint<OPERAND, &compare>::slot)},
        {Py_mp_length, as_slot(&EntryPoint<SHARED, &length>::slot)},
        {Py_mp_subscript, as_slot(&EntryPoint<SHARED, &subscript>::slot)},
        {Py_mp_ass_subscript, as_slot(&EntryPoint<EXCLUSIVE, &assign>::slot)},
        {Py_sq_contains, as_slot(&EntryPoint<SHARED, &contains>::slot)},
        {Py_tp_iter, as_slot(&EntryPoint<SHARED_OR_PANIC, &iter>::slot)},
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        {0, nullptr},
    };

    static inline PyType_Spec spec = type_spec<Class>(Family::map_spec_name, Py_TPFLAGS_DEFAULT, slots);
};

}  // namespace

template <class Family>
ClassRegistration map_registration() noexcept {
    return registration_of<MapClass<Family>>(MapMethods<Family>::spec);
}

template ClassRegistration map_registration<ElasticFamily>() noexcept;
template ClassRegistration map_registration<FunnelFamily>() noexcept;

}  // namespace quorvel::python
