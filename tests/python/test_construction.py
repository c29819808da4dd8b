"""Map construction: constructor, with_options, copy, update, |, repr, capacity."""

import pytest

import quorvel
from conftest import Collide, PanicException


def options_for(map_class, **kwargs):
    cls = quorvel.ElasticOptions if map_class is quorvel.ElasticHashMap else quorvel.FunnelOptions
    return cls(**kwargs)


def contents(m):
    return dict(m.items())


def test_empty_constructions(map_class):
    assert len(map_class()) == 0 and len(map_class(None)) == 0
    assert map_class(capacity=0).capacity == 0
    assert repr(map_class()) == f"{map_class.__name__}(len=0, capacity=0)"


def test_capacity_argument(map_class):
    assert map_class(capacity=100).capacity >= 100
    with pytest.raises(OverflowError):
        map_class(capacity=-1)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        map_class(capacity=2**32)
    with pytest.raises(TypeError, match=r"^argument 'capacity': 'str' object cannot be interpreted as an integer$"):
        map_class(capacity="3")
    with pytest.raises(TypeError):
        map_class({}, 5)  # capacity is keyword-only
    with pytest.raises(TypeError, match="unexpected keyword argument 'size'"):
        map_class(size=3)


def test_sources_of_pairs(map_class):
    assert contents(map_class([(1, 2), [3, 4], "ab"])) == {1: 2, 3: 4, "a": "b"}
    for bad in ([(1, 2, 3)], [5], [(1,)], [None]):
        with pytest.raises(ValueError, match="^update sequence elements must be 2-tuples$"):
            map_class(bad)
    with pytest.raises(TypeError, match="not iterable"):
        map_class(5)

    class Pair:  # any sized, indexable object of length 2
        def __len__(self):
            return 2

        def __getitem__(self, index):
            return ("k", "v")[index]

    assert contents(map_class([Pair(), {0: "x", 1: "y"}])) == {"k": "v", "x": "y"}


def test_len_failure_of_an_element_becomes_the_pair_error(map_class):
    class BadLen:
        def __len__(self):
            raise ZeroDivisionError

    with pytest.raises(ValueError, match="2-tuples") as info:
        map_class([BadLen()])
    assert info.value.__context__ is None or not isinstance(info.value.__context__, ZeroDivisionError)


def test_source_with_keys_method(map_class):
    calls = []

    class Source:
        def keys(self):
            calls.append("keys")
            return iter(["a", "b"])

        def __getitem__(self, key):
            calls.append(key)
            return key.upper()

    assert contents(map_class(Source())) == {"a": "A", "b": "B"}
    assert calls == ["keys", "a", "b"]


def test_keys_attribute_errors(map_class):
    class Broken:
        @property
        def keys(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        map_class(Broken())

    class NoKeys:
        @property
        def keys(self):
            raise AttributeError

        def __iter__(self):
            return iter([(1, 2)])

    assert contents(map_class(NoKeys())) == {1: 2}


def test_dict_subclass_is_read_from_its_storage(map_class):
    class D(dict):
        def keys(self):
            raise AssertionError

        def __getitem__(self, key):
            raise AssertionError

        def __iter__(self):
            raise AssertionError

        def items(self):
            raise AssertionError

    assert contents(map_class(D(a=1, b=2))) == {"a": 1, "b": 2}


def test_dict_changed_during_update_is_a_panic(map_class):
    source = {}

    class Shrinking:
        def __hash__(self):
            source.pop("victim", None)
            return 1

    source[Shrinking()] = 1
    source["victim"] = 2
    source["last"] = 3
    m = map_class()
    with pytest.raises(PanicException, match="^dictionary changed size during iteration$"):
        m.update(source)

    source = {}

    class Replacing:  # same size, other keys: more steps than the start size
        armed = False

        def __init__(self, n):
            self.n = n

        def __hash__(self):
            if Replacing.armed:
                Replacing.armed = False
                del source[self]
                source[Replacing(self.n + 100)] = 0
                Replacing.armed = True
            return self.n

    source.update({Replacing(0): 0, Replacing(1): 1})
    Replacing.armed = True
    try:
        with pytest.raises(PanicException, match="^dictionary keys changed during iteration$"):
            map_class(source)
    finally:
        Replacing.armed = False


def test_update_keeps_what_was_stored_before_a_failure(map_class):
    m = map_class()
    it = iter(m)
    with pytest.raises(TypeError, match="unhashable"):
        m.update([(1, "a"), ([], "b")])
    assert contents(m) == {1: "a"}
    assert list(it) == []  # a failed update is not a counted mutation


def test_update_requires_its_argument(map_class):
    m = map_class()
    with pytest.raises(TypeError):
        m.update()
    with pytest.raises(TypeError, match="not iterable"):
        m.update(None)
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        m.update({}, x=1)


def test_update_of_the_map_with_itself_is_a_panic(map_class):
    m = map_class({1: 2})
    for source in (m, m.items(), m.keys()):
        with pytest.raises(PanicException, match="^Already mutably borrowed"):
            m.update(source)
    with pytest.raises(PanicException, match="^Already mutably borrowed"):
        m.update(iter(m))
    assert contents(m) == {1: 2}


def test_later_pairs_replace_values_and_keep_first_key(map_class):
    m = map_class([(1, "a"), (1.0, "b"), (True, "c")])
    assert contents(m) == {1: "c"} and type(next(iter(m))) is int


def test_with_options(map_class):
    m = map_class.with_options(options_for(map_class, capacity=64))
    assert len(m) == 0 and m.capacity >= 64 and type(m) is map_class
    other_options = quorvel.FunnelOptions() if map_class is quorvel.ElasticHashMap else quorvel.ElasticOptions()
    expected = f"argument 'options': '{type(other_options).__name__}' object cannot be converted to '{
        'ElasticOptions' if map_class is quorvel.ElasticHashMap else 'FunnelOptions'}'"
    with pytest.raises(TypeError) as info:
        map_class.with_options(other_options)
    assert str(info.value) == expected
    with pytest.raises(TypeError, match="^argument 'options': 'int' object cannot be converted to"):
        map_class.with_options(5)
    with pytest.raises(TypeError):
        map_class.with_options()
    assert len(map_class.with_options(options=options_for(map_class))) == 0


def test_copy_uses_default_options_and_capacity_len(map_class):
    m = map_class.with_options(options_for(map_class, capacity=1000, reserve_fraction=0.05))
    for i in range(10):
        m[i] = i
    c = m.copy()
    assert type(c) is map_class and contents(c) == contents(m)
    # Built with capacity len(m) and default options, then filled (it may grow).
    assert c.capacity == map_class(m.items(), capacity=10).capacity < m.capacity
    c[100] = 1
    assert 100 not in m
    assert list(c.values())[0] is list(m.values())[0] or set(c.values()) == set(m.values())


def filled_as_written(map_class, m):
    """What the copy routine describes: default options, capacity len(m), then m's entries."""
    filled = map_class(capacity=len(m))
    for k, v in m.items():
        filled[k] = v
    return filled


@pytest.mark.parametrize("sizes", [range(0, 40), [63, 64, 65, 100, 127, 128, 129, 999, 1000, 1001, 4096, 20000]])
def test_copy_ends_at_the_capacity_of_the_routine_as_written(map_class, sizes):
    # The copy is filled into capacity len(m) with default options, which
    # grows while it fills; whatever way the copy is built, it must end at
    # the capacity that filling gives, holding the same entries.
    for n in sizes:
        m = map_class.with_options(options_for(map_class, capacity=2 * n + 16, reserve_fraction=0.125))
        for i in range(n):
            m[i * 7919] = i
        c = m.copy()
        assert (len(c), c.capacity) == (n, filled_as_written(map_class, m).capacity), n
        assert contents(c) == contents(m)


def test_copy_of_keys_sharing_one_hash_ends_at_the_same_capacity(map_class):
    for n in (30, 200, 600):
        m = map_class((Collide(i), i) for i in range(n))
        c = m.copy()
        assert c.capacity == filled_as_written(map_class, m).capacity, n
        assert contents(c) == contents(m)


def test_copy_is_shallow(map_class):
    value = []
    c = map_class({1: value}).copy()
    assert c[1] is value


def test_or_operator(map_class):
    m = map_class({"a": 1})
    n = m | {"x": 1}
    assert type(n) is map_class and contents(n) == {"a": 1, "x": 1}
    assert contents(m) == {"a": 1}
    assert contents(m | [(1, 2)]) == {"a": 1, 1: 2}
    assert contents(m | m) == {"a": 1}
    with pytest.raises(TypeError):
        {"x": 1} | m
    with pytest.raises(TypeError, match="not iterable"):
        m | 5
    before = m
    m |= {"b": 2}
    assert m is not before and contents(before) == {"a": 1} and contents(m) == {"a": 1, "b": 2}


def test_or_with_other_map_class(map_class):
    other_class = quorvel.FunnelHashMap if map_class is quorvel.ElasticHashMap else quorvel.ElasticHashMap
    result = map_class({1: 1}) | other_class({2: 2})
    assert type(result) is map_class and contents(result) == {1: 1, 2: 2}
    result = other_class({2: 2}) | map_class({1: 1})
    assert type(result) is other_class


def test_repr_shows_only_length_and_capacity(map_class):
    m = map_class({"secret": "value"})
    text = repr(m)
    assert text == f"{map_class.__name__}(len=1, capacity={m.capacity})"
    assert "secret" not in text and str(m) == text


def test_mutation_count_of_constructors(map_class):
    # An iterator captures the count; a fresh map made by update has count 1
    # and by copy 0: both are independent of the source's iterators.
    m = map_class({1: 2})
    it = iter(m)
    m.copy()[5] = 5
    (m | {})[6] = 6
    assert list(it) == [1]
