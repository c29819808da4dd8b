// The six iterator classes: one template, IteratorClass<Twin, Element>.
//
// An iterator never walks the live table.  At creation (under a shared
// borrow of the map) it copies strong references to every element, in entry
// order, into its snapshot - item iterators make their (key, value) tuples
// there, not per step - and remembers the map's mutation_count:
//
//     Object<IteratorClass> { ..., IteratorState { map, snapshot,
//                                                  expected_count, position } }
//
// A step borrows the iterator exclusively and the map shared, only to read
// mutation_count; any mutation since creation (replacing a value included)
// fails that step and every later one with RuntimeError "dictionary changed
// size during iteration", checked before exhaustion.  Exhaustion returns
// NULL without creating a StopIteration object; the snapshot is kept.
// The classes have no length hint, no docstring and no constructor; their
// one method, __reduce__, refuses copying and pickling (pickling.hpp).
#include "python/iterators.hpp"

#include <vector>

#include "python/classes.hpp"
#include "python/pickling.hpp"

namespace quorvel::python {

namespace {

struct IteratorState {
    OwnedRef map;
    std::vector<OwnedRef> snapshot;
    std::uint64_t expected_count = 0;
    std::size_t position = 0;
};

template <class Twin, Element E>
struct IteratorClass {
    using Native = IteratorState;
    using Self = Object<IteratorClass>;
    static constexpr bool thread_bound = true;
    static constexpr const char* python_name = Twin::iterator_names[static_cast<int>(E)];
    static constexpr const char* native_name = Twin::native_iterator_names[static_cast<int>(E)];

    static OwnedRef self_iter(Self& self) { return OwnedRef::from_borrowed(self.py()); }

    static OwnedRef next(Self& self) {
        IteratorState& state = self.value;
        auto& map = MapObject<Twin>::from(state.map.get());
        if (!map.check_thread()) return {};
        {
            Borrow borrow(map.header.borrow, Access::shared);
            if (!borrow) {
                set_borrow_refused_panic(Access::shared);
                return {};
            }
            if (map.value.mutation_count != state.expected_count) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return {};
            }
        }
        if (state.position == state.snapshot.size()) return {};  // exhausted, no exception
        return state.snapshot[state.position++].dup();
    }

    static inline PyType_Slot slots[] = {
        {Py_tp_dealloc, as_slot(&dealloc<IteratorClass>)},
        {Py_tp_iter, as_slot(&Entry<SHARED, &self_iter>::slot)},
        {Py_tp_iternext, as_slot(&Entry<EXCLUSIVE, &next>::slot)},
        {Py_tp_methods, unpicklable_methods<IteratorClass>},
        {0, nullptr},
    };

    static inline PyType_Spec spec{Twin::iterator_spec_names[static_cast<int>(E)], sizeof(Self), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

    static ClassRegistration registration() noexcept { return {python_name, &spec, &type_object<IteratorClass>}; }
};

}  // namespace

template <class Twin, Element E>
OwnedRef make_iterator(MapObject<Twin>& map) {
    IteratorState state{OwnedRef::from_borrowed(map.py()), {}, map.value.mutation_count, 0};
    state.snapshot.reserve(map.value.core.len());
    map.value.core.for_each([&state](const HashedAny& key, const OwnedRef& value) {
        state.snapshot.push_back(element_of<E>(key, value));
    });
    return make_object<IteratorClass<Twin, E>>(std::move(state));
}

template <class Twin>
std::array<ClassRegistration, 3> iterator_classes() noexcept {
    return {IteratorClass<Twin, Element::keys>::registration(), IteratorClass<Twin, Element::values>::registration(),
            IteratorClass<Twin, Element::items>::registration()};
}

#define QUORVEL_ITERATORS(Twin)                                                          \
    template OwnedRef make_iterator<Twin, Element::keys>(MapObject<Twin>&);             \
    template OwnedRef make_iterator<Twin, Element::values>(MapObject<Twin>&);           \
    template OwnedRef make_iterator<Twin, Element::items>(MapObject<Twin>&);            \
    template std::array<ClassRegistration, 3> iterator_classes<Twin>() noexcept;
QUORVEL_ITERATORS(ElasticTwin)
QUORVEL_ITERATORS(FunnelTwin)
#undef QUORVEL_ITERATORS

}  // namespace quorvel::python
