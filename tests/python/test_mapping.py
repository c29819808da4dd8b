"""Mapping operations: item access, membership, get, pop, popitem, setdefault, clear, ==."""

import pytest

import quorvel
from conftest import PanicException


def test_length_and_truth(map_class):
    m = map_class()
    assert len(m) == 0 and not m
    m["a"] = 1
    assert len(m) == 1 and m


def test_item_access_assignment_deletion(map_class):
    m = map_class()
    m["a"] = 1
    m["a"] = 2
    assert m["a"] == 2 and len(m) == 1
    del m["a"]
    assert "a" not in m and len(m) == 0
    with pytest.raises(KeyError):
        del m["a"]
    with pytest.raises(KeyError):
        m["a"]


def test_key_error_carries_the_key_like_a_set(map_class):
    m = map_class()
    with pytest.raises(KeyError) as info:
        m[(1, 2)]
    assert info.value.args == (1, 2)
    with pytest.raises(KeyError) as info:
        m[None]
    assert info.value.args == ()
    with pytest.raises(KeyError) as info:
        m.pop("k")
    assert info.value.args == ("k",)
    with pytest.raises(KeyError) as info:
        del m[()]
    assert info.value.args == ()


def test_get(map_class):
    m = map_class({1: "one"})
    assert m.get(1) == "one" and m.get(2) is None and m.get(2, None) is None and m.get(2, 0) == 0


def test_pop_default_none_means_absent(map_class):
    m = map_class({1: "one"})
    with pytest.raises(KeyError):
        m.pop(2, None)
    with pytest.raises(KeyError):
        m.pop(2)
    assert m.pop(2, 0) == 0
    assert m.pop(1) == "one" and len(m) == 0


def test_popitem_takes_the_first_entry_in_iteration_order(map_class):
    m = map_class({i: str(i) for i in range(50)})
    while m:
        first_key = next(iter(m))
        assert m.popitem() == (first_key, str(first_key))
    with pytest.raises(KeyError) as info:
        m.popitem()
    assert info.value.args == ("popitem(): map is empty",)


def test_popitem_returns_and_removes_the_same_entry_despite_eq(map_class):
    class Liar:
        equal = False

        def __init__(self, n):
            self.n = n

        def __hash__(self):
            return 0

        def __eq__(self, other):
            return Liar.equal

    keys = [Liar(i) for i in range(8)]
    m = map_class((key, key.n) for key in keys)
    assert len(m) == 8
    Liar.equal = True  # now every key claims to equal every other
    remaining = {id(key) for key in keys}
    while m:
        key, value = m.popitem()
        assert value == key.n and id(key) in remaining
        remaining.remove(id(key))
        assert {id(k) for k in m.keys()} == remaining


def test_setdefault(map_class):
    m = map_class()
    assert m.setdefault("k") is None and "k" in m and m["k"] is None
    assert m.setdefault("k", 5) is None
    assert m.setdefault("j", 5) == 5 and m["j"] == 5


def test_clear(map_class):
    m = map_class({i: i for i in range(40)})
    capacity = m.capacity
    m.clear()
    assert len(m) == 0 and list(m) == [] and m.capacity == capacity
    m.clear()
    assert m.clear() is None


def test_equality_with_mappings(map_class):
    m = map_class({1: "a", 2: "b"})
    assert m == {1: "a", 2: "b"} and {1: "a", 2: "b"} == m
    assert m == dict(m.items()) and not (m != dict(m.items()))
    assert m != {1: "a"} and m != {1: "a", 2: "c"} and m != {1: "a", 3: "b"}
    assert not (m == list(m)) and m != list(m)
    other = quorvel.FunnelHashMap if map_class is quorvel.ElasticHashMap else quorvel.ElasticHashMap
    assert m == other(m.items()) and m == map_class(m.items())

    class Mapping:
        def keys(self):
            return [1, 2]

        def __len__(self):
            return 2

        def __getitem__(self, key):
            return {1: "a", 2: "b"}[key]

    assert m == Mapping()


def test_ordering_and_hash_refused(map_class):
    m = map_class()
    for operation in (lambda: m < m, lambda: m <= {}, lambda: m > m, lambda: m >= m, lambda: hash(m)):
        with pytest.raises(TypeError):
            operation()


def test_value_comparison_uses_stored_value_first_and_absorbs(map_class):
    calls = []

    class Value:
        def __eq__(self, other):
            calls.append("stored")
            raise ValueError

        __hash__ = None

    m = map_class({1: Value()})
    assert (m == {1: 0}) is False
    assert (m != {1: 0}) is True
    assert calls[0] == "stored"


def test_equality_failures_make_it_false(map_class):
    m = map_class({1: 2})

    class NoLen:
        keys = None

    class BadGet:
        keys = None

        def __len__(self):
            return 1

        def __getitem__(self, key):
            raise LookupError

    class BadKeys:
        @property
        def keys(self):
            raise RuntimeError

    assert not (m == NoLen()) and not (m == BadGet()) and not (m == BadKeys())


def test_equality_propagates_base_exceptions(map_class):
    class Interrupting:
        keys = None

        def __len__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        map_class() == Interrupting()


def test_not_equal_propagates_failures(map_class):
    m = map_class()

    class Raising:
        def __eq__(self, other):
            raise ZeroDivisionError

    assert (m == Raising()) is False and (m != Raising()) is True
    seen = []

    class Key:
        def __hash__(self):
            # m is borrowed exclusively: our == gives NotImplemented, the host
            # tries Raising.__eq__, and != lets its failure through.
            try:
                m != Raising()
            except ZeroDivisionError:
                seen.append("propagated")
            return 1

    m[Key()] = 1
    assert seen == ["propagated"]


def test_equality_with_exclusively_borrowed_map_is_not_implemented(map_class):
    m = map_class()
    results = []

    class Key:
        def __hash__(self):
            results.append(m == {})  # NotImplemented both ways: falls back to identity
            return 1

    m[Key()] = 1
    assert results == [False]


def test_len_inside_eq_during_assignment_is_refused_and_absorbed(map_class):
    m = map_class()
    errors = []

    class Key:
        def __hash__(self):
            return 1

        def __eq__(self, other):
            try:
                len(m)
            except RuntimeError as error:
                errors.append(str(error))
            return False

    m[Key()] = 1
    m[Key()] = 2
    assert errors == ["Already mutably borrowed"] and len(m) == 2


def test_iter_while_exclusively_borrowed_is_a_panic(map_class):
    m = map_class()
    seen = []

    class Key:
        def __hash__(self):
            try:
                iter(m)
            except BaseException as error:
                seen.append(error)
            return 1

    m[Key()] = 1
    assert type(seen[0]) is PanicException and str(seen[0]).startswith("Already mutably borrowed")
