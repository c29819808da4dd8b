// The six iterator classes: one template, IteratorClass<Family, Element>.
//
// An iterator yields the elements its map held when it was made, in entry
// order, and remembers the map's mutation_count then:
//
//     Object<IteratorClass> { ..., IteratorState { link, map, cursor,
//                                                  expected_count, copy } }
//
// A step borrows the iterator exclusively and the map shared; any mutation
// since creation (replacing a value included) fails that step and every
// later one with RuntimeError "dictionary changed size during iteration",
// checked before exhaustion.  Exhaustion returns NULL without creating a
// StopIteration object.
//
// Because every mutation but a failed update moves mutation_count, the map
// the iterator reads while the count stands still is the map it was made
// over: so it walks the live table with a cursor, the next position in
// entry order, and making one costs nothing however large the map is.
// Before an update stores anything, the map has every cursor copy the
// elements it has still to yield (cursors.hpp); such an iterator yields
// from its copy from then on.  Either way it yields exactly the elements,
// in the order, that a copy made at creation would.  Item iterators make
// each (key, value) tuple when it is yielded.
//
// The classes have no length hint, no docstring and no constructor; their
// one method, __reduce__, refuses copying and pickling (pickling.hpp).
#include "python/iterators.hpp"

#include <cstddef>
#include <optional>
#include <vector>

#include "common/layout/table_scan.hpp"
#include "python/entry_point.hpp"
#include "python/pickling.hpp"
#include "python/registration.hpp"

namespace quorvel::python {

namespace {

// A position in a map's entry order that steps to the next entry: the
// entries left in the current group are kept as bits, so most steps need no
// search of the table.  Valid while the map does not change.
template <class Core>
struct EntryWalk {
    using Location = typename Core::Location;

    Location next{};            // where the search for the next entry starts
    std::uint32_t pending = 0;  // full slots of next's group still ahead, as group bits
    bool done = false;

    // The next entry, without moving; slot NO_SLOT at the end.
    [[gnu::always_inline]] Location peek(const Core& core) const noexcept {
        Location at = next;
        if (pending != 0) {
            at.slot = at.slot / GROUP_WIDTH * GROUP_WIDTH + BitMask(pending).lowest();
            return at;
        }
        if (done) {
            at.slot = NO_SLOT;
            return at;
        }
        const auto found = core.first_location_from(next);
        if (!found) {
            at.slot = NO_SLOT;
            return at;
        }
        return *found;
    }

    // Moves past `at`, what peek gave (or to the end, when it gave none).
    // When `at` came from the pending bits, the rest of its group is those
    // bits without the lowest: the map has not changed since they were read
    // (every step checks that first), so the group is not loaded again.
    [[gnu::always_inline]] void pass(const Core& core, Location at) noexcept {
        if (at.slot == NO_SLOT) {
            done = true;
            pending = 0;
            return;
        }
        pending = pending != 0 ? pending & (pending - 1) : core.full_slots_after(at);
        next = at;
        ++next.slot;
    }

    // The next entry and past it; slot NO_SLOT at the end.
    Location step(const Core& core) noexcept {
        const Location at = peek(core);
        pass(core, at);
        return at;
    }
};

template <class Family>
struct IteratorState {
    using Core = typename Family::Core;
    using Location = typename Core::Location;

    CursorLink link;
    OwnedRef map;
    EntryWalk<Core> cursor;  // the next element to yield
    // The slot array of the region (level) the cursor is in, and that
    // region as a location of its slot 0: a step reads its entry from here
    // instead of going through the map's region table.  Valid while the map
    // is unchanged, which every step checks before it reads.
    const typename Core::EntryType* region_slots = nullptr;
    Location region{};
    std::uint64_t expected_count = 0;
    bool detached = false;       // yields from `copy`, not from the map
    std::vector<OwnedRef> copy;  // when detached: what is left to yield
    std::size_t copied = 0;      // when detached: how much of it was yielded

    IteratorState(OwnedRef map_object, std::uint64_t count) noexcept
        : map(std::move(map_object)), expected_count(count) {}
    IteratorState(IteratorState&& other) noexcept
        : link(),
          map(std::move(other.map)),
          cursor(other.cursor),
          region_slots(other.region_slots),
          region(other.region),
          expected_count(other.expected_count),
          detached(other.detached),
          copy(std::move(other.copy)),
          copied(other.copied) {}
    IteratorState& operator=(IteratorState&&) = delete;

    MapObject<Family>& map_object() const noexcept { return MapObject<Family>::from(map.get()); }

    // The entry at `at`, a location the cursor gave.
    [[gnu::always_inline]] const typename Core::EntryType& entry_at(const Core& core, Location at) noexcept {
        Location base = at;
        base.slot = 0;
        if (region_slots == nullptr || !(base == region)) {
            region_slots = &core.entry_at(at) - at.slot;
            region = base;
        }
        return region_slots[at.slot];
    }

    // Unlinks from the map's cursors unless the iterator already copied.
    ~IteratorState() {
        if (map && !detached) map_object().value.cursors.unlink(link);
    }
};

template <class Family, Element E>
struct IteratorClass {
    using Native = IteratorState<Family>;
    using Self = Object<IteratorClass>;
    static constexpr bool thread_bound = true;
    static constexpr bool pinned_when_leaked = true;  // the map's cursor list points to it
    static constexpr const char* python_name = Family::iterator_names[static_cast<int>(E)];
    static constexpr const char* native_name = Family::native_iterator_names[static_cast<int>(E)];

    static OwnedRef self_iter(Self& self) { return OwnedRef::from_borrowed(self.py()); }

    // A step borrows the iterator exclusively and the map shared.  A key or
    // value step runs no code but its own - the element is a new reference,
    // nothing is allocated - so while it runs nobody can ask for either
    // borrow, and taking them would change nothing anyone sees: such a step
    // only asks whether the map is exclusively borrowed, which is the one
    // refusal it can meet (from a mutating operation further down the
    // stack).  An item step allocates its tuple, which can run the garbage
    // collector and so any code; it holds both borrows while it does, so
    // that such code finds the map and the iterator in use.
    static constexpr bool runs_no_code = E != Element::items;
    static constexpr Frame STEP_FRAME = runs_no_code ? UNBORROWED : EXCLUSIVE;

    static OwnedRef next(Self& self) {
        Native& state = self.value;
        auto& map = state.map_object();
        // The map's thread is the iterator's, which the entry point checked:
        // an iterator is made on its map's thread (by the map or one of its
        // views, which check it).
        Borrow borrow(map.header.borrow, runs_no_code ? Access::none : Access::shared);
        if (runs_no_code ? map.header.borrow.exclusively_held() : !borrow) {
            set_borrow_refused_panic(Access::shared);
            return {};
        }
        if (map.value.mutation_count != state.expected_count) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return {};
        }
        if (state.detached) {
            if (state.copied == state.copy.size()) return {};  // exhausted, no exception
            return state.copy[state.copied++].dup();
        }
        const auto& core = map.value.core;
        const bool new_group = state.cursor.pending == 0;
        const auto at = state.cursor.peek(core);
        if (at.slot == NO_SLOT) {
            state.cursor.pass(core, at);
            return {};  // exhausted, no exception
        }
        // An entry from the pending bits is in the group, and so the region,
        // of the step before, whose slot array the iterator already holds.
        const auto& entry = new_group ? state.entry_at(core, at) : state.region_slots[at.slot];
        if (new_group && core.len() >= PREFETCH_FROM) prefetch_ahead(state, core, at);
        OwnedRef element = element_of<E>(entry.key, entry.value);
        // When making the element failed, the cursor stays: the next step
        // tries the same entry again.
        if (element) state.cursor.pass(core, at);
        return element;
    }

    // A step touches the objects it yields, which lie wherever the
    // interpreter allocated them: in slot order that is a cache miss each.
    // So in a map whose table and objects outgrow the core's own caches
    // (from about 8,192 entries: below that the requests cost more than the
    // misses they save, measured at 1,000 to 6,000 entries, and at 10,000
    // they save a sixth of the step), a step that enters a group asks
    // for the objects of the group LOOKAHEAD_GROUPS further on in the same
    // region (table_scan.hpp: the lookahead of the whole-table walks),
    // whose entries its slot array holds in order; by the time the walk
    // gets there the loads are done.  Two groups are 14 to 28 entries at
    // the loads a map runs at, about one memory latency at the speed of a
    // step (three and four groups were slower at 1,000,000 entries).  The
    // first step asks too, so next(iter(m)) stays one group load and a few
    // requests however large the map.
    static constexpr std::uint32_t PREFETCH_FROM = 1u << 13;

    template <class Core>
    [[gnu::noinline]] static void prefetch_ahead(const Native& state, const Core& core,
                                                 typename Native::Location at) noexcept {
        const std::uint32_t group = at.slot / GROUP_WIDTH + LOOKAHEAD_GROUPS;
        for (const std::uint32_t j : BitMask(core.full_slots_of_group(at, group))) {
            const auto& entry = state.region_slots[group * GROUP_WIDTH + j];
            if constexpr (E != Element::values) __builtin_prefetch(entry.key.object());
            if constexpr (E != Element::keys) __builtin_prefetch(entry.value.get());
        }
    }

    // The copy an update asks for (cursors.hpp): every element from the
    // cursor on; the iterator has not moved, so it is made under the map's
    // borrow that the update holds.
    static void detach(void* owner) {
        Native& state = *static_cast<Native*>(owner);
        std::vector<OwnedRef> copy;
        const auto& core = state.map_object().value.core;
        EntryWalk<typename Native::Core> walk = state.cursor;
        for (auto at = walk.step(core); at.slot != NO_SLOT; at = walk.step(core)) {
            const auto& entry = core.entry_at(at);
            copy.push_back(element_of<E>(entry.key, entry.value));
        }
        state.copy = std::move(copy);
        state.copied = 0;
        state.detached = true;
    }

    static inline PyType_Slot slots[] = {
        {Py_tp_dealloc, as_slot(&dealloc<IteratorClass>)},
        {Py_tp_iter, as_slot(&EntryPoint<SHARED, &self_iter>::slot)},
        {Py_tp_iternext, as_slot(&EntryPoint<STEP_FRAME, &next>::slot)},
        {Py_tp_methods, unpicklable_methods<IteratorClass>},
        {0, nullptr},
    };

    static inline PyType_Spec spec = type_spec<IteratorClass>(Family::iterator_spec_names[static_cast<int>(E)],
                                                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                                              slots);

    static ClassRegistration registration() noexcept { return registration_of<IteratorClass>(spec); }
};

}  // namespace

template <class Family, Element E>
OwnedRef make_iterator(MapObject<Family>& map) {
    using Class = IteratorClass<Family, E>;
    OwnedRef object =
        make_object<Class>(IteratorState<Family>(OwnedRef::from_borrowed(map.py()), map.value.mutation_count));
    auto& state = Object<Class>::from(object.get()).value;
    state.link.detach = &Class::detach;
    state.link.owner = &state;
    map.value.cursors.link(state.link);
    return object;
}

template <class Family>
std::array<ClassRegistration, 3> iterator_registrations() noexcept {
    return {IteratorClass<Family, Element::keys>::registration(),
            IteratorClass<Family, Element::values>::registration(),
            IteratorClass<Family, Element::items>::registration()};
}

#define QUORVEL_ITERATORS(Family)                                                 \
    template OwnedRef make_iterator<Family, Element::keys>(MapObject<Family>&);   \
    template OwnedRef make_iterator<Family, Element::values>(MapObject<Family>&); \
    template OwnedRef make_iterator<Family, Element::items>(MapObject<Family>&);  \
    template std::array<ClassRegistration, 3> iterator_registrations<Family>() noexcept;
QUORVEL_ITERATORS(ElasticFamily)
QUORVEL_ITERATORS(FunnelFamily)
#undef QUORVEL_ITERATORS

}  // namespace quorvel::python
