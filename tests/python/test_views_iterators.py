"""Views (live windows on a map) and snapshot iterators."""

import collections

import pytest

import quorvel
from conftest import PanicException


def prefix(map_class):
    return "elastic" if map_class is quorvel.ElasticHashMap else "funnel"


def test_view_and_iterator_classes(map_class):
    m = map_class({1: 2})
    p = prefix(map_class)
    names = [type(m.keys()).__name__, type(m.values()).__name__, type(m.items()).__name__]
    assert names == [f"{p}_keys", f"{p}_values", f"{p}_items"]
    P = p.capitalize()
    assert type(iter(m)).__name__ == f"_{P}KeyIter"
    assert [type(iter(v)).__name__ for v in (m.keys(), m.values(), m.items())] == [
        f"_{P}KeyIter", f"_{P}ValueIter", f"_{P}ItemIter"
    ]
    assert m.keys() is not m.keys()


def test_empty_views(map_class):
    m = map_class()
    for view, name in ((m.keys(), "keys"), (m.values(), "values"), (m.items(), "items")):
        assert len(view) == 0 and list(view) == [] and not view
        assert repr(view) == f"{prefix(map_class)}_{name}([])"
    assert 1 not in m.keys() and (1, 2) not in m.items() and 1 not in m.values()
    with pytest.raises(TypeError):
        [] in m.keys()
    with pytest.raises(TypeError):
        ([], 1) in m.items()
    assert ([] in m.values()) is False


def test_views_are_live(map_class):
    m = map_class()
    keys, values, items = m.keys(), m.values(), m.items()
    m["x"] = 1
    assert "x" in keys and len(keys) == 1 and 1 in values and ("x", 1) in items
    del m["x"]
    assert "x" not in keys and len(values) == 0


def test_view_keeps_its_map_alive(map_class):
    view = map_class({1: 2}).items()
    assert list(view) == [(1, 2)]


def test_repr_order_matches_iteration(map_class):
    m = map_class({1: "a", 2: None})
    p = prefix(map_class)
    order = list(m)
    values = {1: "'a'", 2: "None"}
    assert repr(m.keys()) == f"{p}_keys([{', '.join(map(str, order))}])"
    assert repr(m.values()) == f"{p}_values([{', '.join(values[k] for k in order)}])"
    assert repr(m.items()) == f"{p}_items([{', '.join(f'({k}, {values[k]})' for k in order)}])"


def test_repr_takes_over_texts_as_utf8(map_class):
    class Surrogate:
        def __repr__(self):
            return "a\ud800b"

    class Plain:
        def __repr__(self):
            return "é€😀"

    p = prefix(map_class)
    assert repr(map_class({1: Surrogate()}).values()) == f"{p}_values([a\ufffd\ufffd\ufffdb])"
    assert repr(map_class({1: Plain()}).values()) == f"{p}_values([é€😀])"


def test_repr_failure_propagates(map_class):
    class Bad:
        def __repr__(self):
            raise ZeroDivisionError

    m = map_class({1: Bad(), 2: 3})
    with pytest.raises(ZeroDivisionError):
        repr(m.values())
    with pytest.raises(ZeroDivisionError):
        repr(m.items())
    assert repr(m.keys()).endswith("])")


def test_items_membership_needs_a_two_tuple(map_class):
    m = map_class({1: "a"})
    assert (1, "a") in m.items()
    assert [1, "a"] not in m.items() and (1, "a", 2) not in m.items() and (1, "b") not in m.items()
    Pair = collections.namedtuple("Pair", "k v")
    assert Pair(1, "a") in m.items()


def test_value_comparison_failures_count_as_unequal(map_class):
    class Bad:
        def __eq__(self, other):
            raise ValueError

        __hash__ = object.__hash__

    bad = Bad()
    m = map_class({1: bad, 2: "x"})
    assert (1, "anything") not in m.items()
    assert "anything" not in m.values()
    assert "x" in m.values()
    assert (1, bad) not in m.items()  # no identity shortcut: __eq__ is consulted

    class Interrupt(Bad):
        def __eq__(self, other):
            raise KeyboardInterrupt

    m = map_class({1: Interrupt()})
    with pytest.raises(KeyboardInterrupt):
        "v" in m.values()
    with pytest.raises(KeyboardInterrupt):
        (1, "v") in m.items()


def test_values_membership_never_hashes(map_class):
    m = map_class({1: [1]})
    assert [1] in m.values()


def test_view_used_during_a_mutating_operation_is_a_panic(map_class):
    m = map_class()
    keys = m.keys()
    seen = []

    class Key:
        def __hash__(self):
            for action in (lambda: len(keys), lambda: 1 in keys, lambda: iter(keys), lambda: repr(keys)):
                try:
                    action()
                except BaseException as error:
                    seen.append(error)
            return 1

    m[Key()] = 1
    assert len(seen) == 4
    assert all(type(e) is PanicException and str(e).startswith("Already mutably borrowed") for e in seen)


def test_view_reading_code_cannot_mutate(map_class):
    m = map_class()
    errors = []

    class Value:
        def __eq__(self, other):
            try:
                m["new"] = 1
            except RuntimeError as error:
                errors.append(str(error))
            return False

        __hash__ = None

    m[1] = Value()
    assert "probe" not in m.values()
    assert errors == ["Already borrowed"] and "new" not in m


# ---- iterators ---------------------------------------------------------------


def test_iterator_basics(map_class):
    m = map_class({i: i * 10 for i in range(20)})
    it = iter(m)
    assert iter(it) is it
    order = list(it)
    assert sorted(order) == list(range(20))
    assert list(m.values()) == [k * 10 for k in order]
    assert list(m.items()) == [(k, k * 10) for k in order]
    with pytest.raises(StopIteration):
        next(it)
    a, b = iter(m), iter(m)
    next(a)
    assert next(b) == order[0] and next(a) == order[1]
    assert not hasattr(it, "__length_hint__")


def test_any_mutation_invalidates_for_good(map_class):
    m = map_class({1: 1})
    for k in m:
        m[k] = 0
        break
    it = iter(m)
    m[1] = 2  # replacing a value counts
    for _ in range(3):
        with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
            next(it)

    with pytest.raises(RuntimeError):
        for k in m:
            m[k] = 0


@pytest.mark.parametrize(
    "mutation",
    [
        lambda m: m.__setitem__("new", 1),
        lambda m: m.__delitem__(1),
        lambda m: m.pop(1),
        lambda m: m.popitem(),
        lambda m: m.setdefault("new"),
        lambda m: m.clear(),
        lambda m: m.update({}),
        lambda m: m.update([]),
    ],
)
def test_mutations_that_invalidate(map_class, mutation):
    m = map_class({1: 1})
    its = [iter(m), iter(m.values()), iter(m.items())]
    mutation(m)
    for it in its:
        with pytest.raises(RuntimeError):
            next(it)


def test_non_mutations_do_not_invalidate(map_class):
    m = map_class({1: 1, 2: 2})
    it = iter(m.items())
    first = next(it)
    m.pop("missing", 0)
    m.get(1)
    assert 1 in m and 5 not in m
    m.setdefault(1, 0)
    with pytest.raises(KeyError):
        del m["missing"]
    with pytest.raises(KeyError):
        m.pop("missing")
    c = m.copy()
    c["x"] = 1
    c.clear()
    m.keys(), m.values(), m.items(), repr(m), len(m), m == {}
    m | {"y": 1}
    with pytest.raises(TypeError):
        m.update(5)  # failed update: not counted
    assert sorted([first, next(it)]) == [(1, 1), (2, 2)]


def test_exhausted_iterator_then_mutation(map_class):
    m = map_class()
    it = iter(m)
    with pytest.raises(StopIteration):
        next(it)
    m.clear()  # clear of an empty map still counts
    with pytest.raises(RuntimeError):
        next(it)


def test_iterator_snapshot_survives_map_and_view(map_class):
    m = map_class({"k": "v"})
    it = iter(m.items())
    del m
    assert list(it) == [("k", "v")]
    m = map_class({"a": 1})
    it = iter(m.items())
    first = next(iter(m.items()))
    assert next(it) == first and next(it, None) is None


def key_stepping(it, seen, hash_result):
    """A key whose __hash__ steps `it`, records what that raised, then
    returns hash_result (or raises it, when it is an exception)."""

    class Key:
        def __hash__(self):
            try:
                next(it)
            except BaseException as error:
                seen.append(error)
            if isinstance(hash_result, BaseException):
                raise hash_result
            return hash_result

    return Key()


def test_iterator_step_during_mutation_is_a_panic(map_class):
    m = map_class({1: 1})
    it = iter(m)
    seen = []
    m[key_stepping(it, seen, 5)] = 2
    assert type(seen[0]) is PanicException and str(seen[0]).startswith("Already mutably borrowed")


@pytest.mark.parametrize("view", ["keys", "values", "items"])
def test_refused_step_of_every_iterator_kind_changes_nothing(map_class, view):
    # A step reached from a mutating operation's callback is refused; when
    # that operation then fails before it changes anything, the iterator
    # goes on as if the refused step never happened.
    m = map_class({1: "a", 2: "b"})
    it = iter(getattr(m, view)())
    first = next(it)
    seen = []
    with pytest.raises(ValueError):
        m[key_stepping(it, seen, ValueError("no hash"))] = 3
    assert type(seen[0]) is PanicException and str(seen[0]).startswith("Already mutably borrowed")
    rest = list(it)
    assert [first, *rest] == list(getattr(m, view)())
    assert next(it, None) is None


@pytest.mark.parametrize("view", ["keys", "values", "items"])
def test_iterator_of_every_kind_notices_a_mutation_made_between_steps(map_class, view):
    m = map_class({k: k for k in range(100)})
    it = iter(getattr(m, view)())
    for _ in range(10):
        next(it)
    m[5] = "new value"  # a replacement counts as a mutation
    for _ in range(2):
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            next(it)
