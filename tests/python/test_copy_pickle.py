"""copy.copy, copy.deepcopy and pickle of maps, options, views and iterators.

Maps rebuild as a new map with default options, filled item by item, owned
by the thread that rebuilds it; options rebuild from their constructor
arguments; views and iterators refuse with the interpreter's TypeError.
"""

import copy
import math
import pickle
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvel
from conftest import PanicException, run_in_thread

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


class Point:
    """A picklable user key with its own hash and equality."""

    def __init__(self, x, y):
        self.x, self.y = x, y

    def __hash__(self):
        return hash((self.x, self.y))

    def __eq__(self, other):
        return isinstance(other, Point) and (self.x, self.y) == (other.x, other.y)


class CountingKey:
    hashes = 0

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        CountingKey.hashes += 1
        return hash(self.name)

    def __eq__(self, other):
        return isinstance(other, CountingKey) and self.name == other.name


def round_trips(m):
    """Every way of copying `m` that rebuilds its keys: pickle at each
    protocol and deepcopy."""
    for protocol in PROTOCOLS:
        yield f"pickle {protocol}", pickle.loads(pickle.dumps(m, protocol))
    yield "deepcopy", copy.deepcopy(m)


def contents(m):
    return sorted(m.items(), key=repr)


SAMPLE = {
    "text": [1, 2],
    7: {"nested": (1, 2)},
    (1, "a"): None,
    None: b"bytes",
    frozenset({1, 2}): 2.5,
    Point(1, 2): "point",
    -1: float("inf"),
}


# ---------------------------------------------------------------------------
# Maps


def test_round_trips_keep_every_item(map_class):
    m = map_class(SAMPLE)
    for how, result in round_trips(m):
        assert type(result) is map_class, how
        assert result is not m, how
        assert result == SAMPLE, how
        assert len(result) == len(SAMPLE), how
        assert result[Point(1, 2)] == "point", how


def test_rebuilt_map_has_default_options(map_class):
    options_class = quorvel.ElasticOptions if map_class is quorvel.ElasticHashMap else quorvel.FunnelOptions
    m = map_class.with_options(options_class(capacity=1000, reserve_fraction=0.125))
    m.update({1: "a", 2: "b", 3: "c"})
    for how, result in round_trips(m):
        # Built empty, then grown by the first insertion to 16 slots.
        assert result.capacity == 16, how
        assert result == {1: "a", 2: "b", 3: "c"}, how
    assert m.capacity == 1000


def test_large_round_trip_agrees_with_dict(map_class):
    rng = random.Random(9)
    reference = {rng.randrange(1 << 40): rng.random() for _ in range(3000)}
    m = map_class(reference)
    for protocol in (0, pickle.HIGHEST_PROTOCOL):
        assert pickle.loads(pickle.dumps(m, protocol)) == reference
    assert copy.deepcopy(m) == reference


def test_round_trip_of_an_empty_map(map_class):
    for how, result in round_trips(map_class()):
        assert type(result) is map_class and len(result) == 0, how


def test_deepcopy_copies_mutable_values_and_keeps_sharing(map_class):
    shared = [1, 2]
    m = map_class({"a": shared, "b": shared, "c": {"inner": [3]}})
    d = copy.deepcopy(m)
    assert d == m
    assert d["a"] is not shared and d["a"] is d["b"]
    d["a"].append(3)
    d["c"]["inner"].clear()
    assert shared == [1, 2] and m["c"] == {"inner": [3]}


def test_pickle_keeps_sharing_between_values(map_class):
    shared = [1]
    for protocol in PROTOCOLS:
        loaded = pickle.loads(pickle.dumps(map_class({"a": shared, "b": shared}), protocol))
        assert loaded["a"] is loaded["b"] and loaded["a"] == [1]


def test_maps_nested_in_maps(map_class):
    inner = quorvel.FunnelHashMap({"x": [1]})
    m = map_class({"inner": inner, "other": quorvel.ElasticHashMap({1: 2})})
    for how, result in round_trips(m):
        assert type(result["inner"]) is quorvel.FunnelHashMap, how
        assert result["inner"] is not inner and result["inner"] == {"x": [1]}, how
        assert result["other"] == {1: 2}, how


def test_a_map_that_contains_itself_is_rebuilt_containing_itself(map_class):
    # The map exists before its items are rebuilt, so the reference back to
    # it resolves to the new map, as for a dict.  Such maps are never freed
    # (no cyclic garbage collection), so every one is emptied at the end.
    m = map_class({"n": 1})
    m["self"] = m
    results = []
    try:
        for how, result in round_trips(m):
            results.append(result)
            assert result["self"] is result, how
            assert result["n"] == 1 and len(result) == 2, how
    finally:
        for result in results:
            result.clear()
        m.clear()


def test_maps_that_contain_each_other():
    e, f = quorvel.ElasticHashMap(), quorvel.FunnelHashMap()
    e["funnel"], f["elastic"] = f, e
    results = []
    try:
        for how, result in round_trips(e):
            results.append(result)
            assert type(result["funnel"]) is quorvel.FunnelHashMap, how
            assert result["funnel"]["elastic"] is result, how
            results.append(result["funnel"])
    finally:
        for result in results:
            result.clear()
        e.clear()
        f.clear()


def test_rebuilding_hashes_each_new_key_once(map_class):
    m = map_class({CountingKey(i): i for i in range(20)})
    CountingKey.hashes = 0
    pickle.loads(pickle.dumps(m))
    assert CountingKey.hashes == 20
    CountingKey.hashes = 0
    copy.deepcopy(m)
    assert CountingKey.hashes == 20


def test_copy_copy_is_the_copy_method(map_class):
    keys = [CountingKey(i) for i in range(50)]
    m = map_class({k: [k.name] for k in keys})
    CountingKey.hashes = 0
    c = copy.copy(m)
    assert CountingKey.hashes == 0  # stored hashes are reused, as by m.copy()
    assert type(c) is map_class and c is not m
    assert c.capacity == m.copy().capacity  # default options, capacity len(m)
    for k in keys:
        assert c[k] is m[k]  # shallow
    assert {id(k) for k in c} == {id(k) for k in keys}


def test_map_pickling_refuses_a_view_value(map_class):
    m = map_class({1: 2})
    m["view"] = m.keys()
    for protocol in PROTOCOLS:
        with pytest.raises(TypeError, match="cannot pickle"):
            pickle.dumps(m, protocol)
    with pytest.raises(TypeError, match="cannot pickle"):
        copy.deepcopy(m)
    assert len(m) == 2


def test_a_value_that_mutates_the_map_while_it_is_pickled(map_class):
    m = map_class()

    class Meddler:
        def __reduce__(self):
            m["added"] = 1
            return (int, ())

    m["x"] = Meddler()
    m["y"] = 2
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        pickle.dumps(m)
    assert m["added"] == 1


def test_the_rebuilding_thread_owns_the_new_map(map_class):
    m = map_class({"a": 1})
    data = pickle.dumps(m)

    def rebuild_elsewhere():
        loaded = pickle.loads(data)
        deep = copy.deepcopy(loaded)
        return len(loaded), len(deep)  # usable here; dropped here too

    assert run_in_thread(rebuild_elsewhere)["result"] == (1, 1)
    for action in (lambda: pickle.dumps(m), lambda: copy.copy(m), lambda: copy.deepcopy(m)):
        assert type(run_in_thread(action)["error"]) is PanicException
    assert m == {"a": 1}


@settings(max_examples=40, deadline=None)
@given(
    items=st.dictionaries(
        st.one_of(st.integers(), st.text(max_size=8), st.tuples(st.integers(), st.booleans())),
        st.recursive(st.none() | st.integers() | st.text(max_size=4),
                     lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
                     max_leaves=6),
        max_size=40,
    ),
    protocol=st.sampled_from(list(PROTOCOLS)),
    use_funnel=st.booleans(),
)
def test_round_trip_property(items, protocol, use_funnel):
    map_class = quorvel.FunnelHashMap if use_funnel else quorvel.ElasticHashMap
    m = map_class(items)
    assert pickle.loads(pickle.dumps(m, protocol)) == items
    assert copy.deepcopy(m) == items
    assert copy.copy(m) == items


# ---------------------------------------------------------------------------
# Options

ELASTIC_CASES = [
    {},
    {"capacity": 1000, "reserve_fraction": 0.001, "probe_scale": 4},
    {"reserve_fraction": 0.999, "probe_scale": float("inf")},
    {"capacity": 2**32 - 1, "probe_scale": float("nan")},
]
FUNNEL_CASES = [
    {},
    {"capacity": 100_000, "reserve_fraction": 0.125, "primary_probe_limit": 7},
    {"capacity": 5, "reserve_fraction": 1e-6, "primary_probe_limit": None},
]


def same_field(a, b):
    return a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b))


def option_fields(options):
    names = ["capacity", "reserve_fraction"]
    names.append("probe_scale" if isinstance(options, quorvel.ElasticOptions) else "primary_probe_limit")
    return [getattr(options, name) for name in names]


@pytest.mark.parametrize(
    "options_class, arguments",
    [(quorvel.ElasticOptions, a) for a in ELASTIC_CASES] + [(quorvel.FunnelOptions, a) for a in FUNNEL_CASES],
)
def test_options_round_trips(options_class, arguments):
    options = options_class(**arguments)
    results = [pickle.loads(pickle.dumps(options, p)) for p in PROTOCOLS]
    results += [copy.copy(options), copy.deepcopy(options)]
    for result in results:
        assert type(result) is options_class
        assert all(map(same_field, option_fields(result), option_fields(options)))
    # The constructor's own arguments, in parameter order.
    cls, arguments_again = options.__reduce__()
    assert cls is options_class
    assert all(map(same_field, option_fields(cls(*arguments_again)), option_fields(options)))


def test_options_rebuild_on_any_thread():
    data = pickle.dumps(quorvel.FunnelOptions(capacity=64, primary_probe_limit=3))
    result = run_in_thread(lambda: option_fields(pickle.loads(data)))["result"]
    assert result == [64, 0.1, 3]


def test_rebuilt_options_build_the_same_map():
    options = quorvel.ElasticOptions(capacity=100, reserve_fraction=0.3)
    again = pickle.loads(pickle.dumps(options))
    assert quorvel.ElasticHashMap.with_options(again).capacity == 100


# ---------------------------------------------------------------------------
# Views and iterators


def unpicklable(m):
    return [m.keys(), m.values(), m.items(), iter(m), iter(m.values()), iter(m.items())]


def test_views_and_iterators_refuse_at_every_protocol(map_class):
    # The interpreter's wording, as it refuses its own views at every protocol.
    with pytest.raises(TypeError, match=r"^cannot pickle 'dict_keys' object$"):
        pickle.dumps({}.keys(), 0)
    m = map_class({1: "a"})
    for obj in unpicklable(m):
        message = f"cannot pickle '{type(obj).__module__}.{type(obj).__name__}' object"
        for protocol in PROTOCOLS:
            with pytest.raises(TypeError) as error:
                pickle.dumps(obj, protocol)
            assert str(error.value) == message
        for copier in (copy.copy, copy.deepcopy):
            with pytest.raises(TypeError) as error:
                copier(obj)
            assert str(error.value) == message


def test_refusal_leaves_views_and_iterators_working(map_class):
    m = map_class({1: "a"})
    keys, it = m.keys(), iter(m.items())
    for obj in (keys, it):
        with pytest.raises(TypeError):
            pickle.dumps(obj)
    assert list(keys) == [1] and next(it) == (1, "a")
    m[2] = "b"  # the refused pickling did not hold any borrow
    assert len(keys) == 2
