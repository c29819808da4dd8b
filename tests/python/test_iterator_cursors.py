"""Iterators walk the live table, yet behave as copies made at creation.

An iterator must yield exactly the elements, in the order, that its map held
when it was made, and fail once the map's mutation_count moved.  The one
mutation that leaves the count alone is an update that fails part-way: after
it, an iterator made before it still yields the old elements.  These tests
hold the iterators to that, case by case and against a reference model.
"""

import gc
import threading

import pytest
from hypothesis import given, settings, strategies as st

import quorvel
from conftest import MAP_CLASSES


class Unhashable:
    __hash__ = None


def failing_update(m, pairs):
    """update() with `pairs`, then a key that cannot be hashed: the pairs are
    stored, the update fails, mutation_count stays."""
    with pytest.raises(TypeError):
        m.update(list(pairs) + [(Unhashable(), 0)])


KINDS = {
    "keys": lambda m: iter(m),
    "values": lambda m: iter(m.values()),
    "items": lambda m: iter(m.items()),
}


def snapshot(m, kind):
    return {"keys": list(m), "values": list(m.values()), "items": list(m.items())}[kind]


@pytest.mark.parametrize("kind", KINDS)
def test_failed_update_leaves_the_iterator_on_the_old_elements(map_class, kind):
    m = map_class({i: i * 10 for i in range(50)})
    want = snapshot(m, kind)
    it = KINDS[kind](m)
    first = [next(it) for _ in range(7)]
    # New keys, a replaced value, and enough of them that the map grows.
    failing_update(m, [(i, -i) for i in range(40, 400)])
    assert len(m) == 400
    assert first + list(it) == want


@pytest.mark.parametrize("kind", KINDS)
def test_failed_update_before_the_first_step(map_class, kind):
    m = map_class({i: str(i) for i in range(20)})
    want = snapshot(m, kind)
    it = KINDS[kind](m)
    failing_update(m, [(1000, "x")])
    assert list(it) == want


def test_failed_update_then_a_real_mutation_still_invalidates(map_class):
    m = map_class({1: 1, 2: 2})
    it = iter(m)
    failing_update(m, [(3, 3)])
    m[4] = 4
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        next(it)


def test_exhausted_iterator_stays_exhausted_across_a_failed_update(map_class):
    m = map_class({1: 1})
    it = iter(m)
    assert list(it) == [1]
    failing_update(m, [(2, 2)])
    with pytest.raises(StopIteration):
        next(it)


def test_every_live_iterator_copies_and_dropped_ones_are_forgotten(map_class):
    m = map_class({i: i for i in range(30)})
    iterators = [iter(m) for _ in range(5)]
    for k, it in enumerate(iterators):
        for _ in range(k):
            next(it)
    want = list(m)
    del iterators[1], iterators[3]  # dropped before the update: unlinked
    gc.collect()
    failing_update(m, [(100, 0)])
    for it, skipped in zip(iterators, (0, 2, 3)):
        assert list(it) == want[skipped:]
    # Iterators made after the update walk the map again.
    assert list(iter(m)) == list(m) and 100 in list(iter(m))


def test_successful_update_invalidates_without_a_copy_mattering(map_class):
    m = map_class({1: 1})
    it = iter(m)
    m.update({2: 2})
    with pytest.raises(RuntimeError):
        next(it)


def test_first_element_comes_from_the_front_of_a_sparse_table(map_class):
    m = map_class.with_options(
        (quorvel.ElasticOptions if map_class is quorvel.ElasticHashMap else quorvel.FunnelOptions)(capacity=100_000)
    )
    m["only"] = 1
    assert next(iter(m)) == "only"
    assert list(m.items()) == [("only", 1)]


def test_reentrant_code_that_mutates_between_steps(map_class):
    m = map_class({i: i for i in range(10)})

    class Meddler:
        def __eq__(self, other):
            m[99] = 99  # a real mutation, made from inside a lookup
            return False

        def __hash__(self):
            return 5

    it = iter(m)
    next(it)
    Meddler() in m  # the lookup's borrow refuses the mutation; __eq__'s error is absorbed
    next(it)  # nothing changed
    m[Meddler()] = 0  # stores the key; the map changed
    with pytest.raises(RuntimeError):
        next(it)


def test_finalizer_that_mutates_the_map_between_steps(map_class):
    m = map_class({i: i for i in range(5)})

    class Mutator:
        def __del__(self):
            m["from __del__"] = 1

    holder = Mutator()
    it = iter(m.items())
    next(it)
    del holder  # runs __del__ outside any borrow of the map: a real mutation
    assert "from __del__" in m
    with pytest.raises(RuntimeError):
        next(it)


def test_finalizer_run_by_a_removal_cannot_reach_the_map(map_class):
    m = map_class()
    refused = []

    class Mutator:
        def __del__(self):
            try:
                m["from __del__"] = 1
            except RuntimeError as error:
                refused.append(str(error))

    m["victim"] = Mutator()
    m.update({i: i for i in range(5)})
    it = iter(m)
    next(it)
    del m["victim"]  # the value is released while the deletion holds the map
    assert refused == ["Already borrowed"] and "from __del__" not in m
    with pytest.raises(RuntimeError):
        next(it)


def test_iterator_dropped_on_another_thread_leaves_the_map_usable(map_class):
    m = map_class({1: 1, 2: 2})
    holder = [iter(m)]
    errors = []

    def drop():
        try:
            holder.clear()  # the last reference, on a foreign thread: reported, leaked
        except BaseException as error:
            errors.append(error)

    unraisable = []
    old_hook = threading.excepthook
    import sys

    old_unraisable = sys.unraisablehook
    sys.unraisablehook = lambda info: unraisable.append(info)
    try:
        t = threading.Thread(target=drop)
        t.start()
        t.join()
    finally:
        sys.unraisablehook = old_unraisable
        threading.excepthook = old_hook
    assert not errors and unraisable
    failing_update(m, [(3, 3)])  # detaches every cursor, including the leaked one
    m[4] = 4
    assert sorted(m) == [1, 2, 3, 4]


# ---- against a model ---------------------------------------------------------

OPERATIONS = st.lists(
    st.one_of(
        st.tuples(st.just("iter"), st.sampled_from(sorted(KINDS))),
        st.tuples(st.just("step"), st.integers(0, 7)),
        st.tuples(st.just("set"), st.integers(0, 40)),
        st.tuples(st.just("del"), st.integers(0, 40)),
        st.tuples(st.just("failing_update"), st.lists(st.integers(0, 200), max_size=30)),
    ),
    max_size=60,
)


@settings(max_examples=150, deadline=None)
@given(map_index=st.integers(0, 1), start=st.lists(st.integers(0, 40), max_size=40), operations=OPERATIONS)
def test_iterators_agree_with_copies_made_at_creation(map_index, start, operations):
    m = MAP_CLASSES[map_index]({k: k for k in start})
    count = 0  # the model's mutation count
    live = []  # [iterator, copy made at creation, position, count at creation]
    for op, arg in operations:
        if op == "iter":
            live.append([KINDS[arg](m), snapshot(m, arg), 0, count])
        elif op == "step" and live:
            entry = live[arg % len(live)]
            it, copy, position, made_at = entry
            if made_at != count:
                with pytest.raises(RuntimeError):
                    next(it)
            elif position == len(copy):
                with pytest.raises(StopIteration):
                    next(it)
            else:
                assert next(it) == copy[position]
                entry[2] += 1
        elif op == "set":
            m[arg] = -arg
            count += 1
        elif op == "del" and arg in m:
            del m[arg]
            count += 1
        elif op == "failing_update":
            failing_update(m, [(k, k) for k in arg])


@pytest.mark.parametrize("n", [8_191, 8_192, 70_000])
def test_large_maps_yield_every_entry_once_at_any_pace(map_class, n):
    # From 8,192 entries a step also reads ahead of the cursor; what is
    # yielded, and in which order, must not depend on that.
    m = map_class((i, -i) for i in range(n))
    full = list(m)
    assert sorted(full) == list(range(n))
    keys, items = iter(m), iter(m.items())
    firsts = [next(keys) for _ in range(3)]
    assert [next(items) for _ in range(20)] == [(k, -k) for k in full[:20]]
    assert firsts == full[:3] and firsts + list(keys) == full
    assert list(items) == [(k, -k) for k in full[20:]]
    assert list(m.values()) == [-k for k in full]
    for k in full[::3]:
        del m[k]
    left = [k for i, k in enumerate(full) if i % 3 != 0]
    it = iter(m)
    assert [next(it) for _ in range(9)] == left[:9]
    assert list(it) == left[9:]
