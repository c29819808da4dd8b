"""References and memory: every operation, error paths included, gives back what it took.

One round runs every public operation of a map class - construction from
each kind of source, update, copy, `|`, item access, deletion, pop, popitem,
setdefault, clear, every view and iterator operation with the set operators
and comparisons, and the failure of each - on a fixed set of key and value
objects.  After many rounds the reference counts of those objects are what
they were before, the interpreter's traced memory has not grown, and the
process's resident memory stays flat while large tables come and go.
"""

import gc
import os
import sys
import threading
import tracemalloc

import pytest

import quorvel
from conftest import MAP_CLASSES, PanicException

OPTIONS = {
    quorvel.ElasticHashMap: lambda: quorvel.ElasticOptions(64, 0.2, 8.0),
    quorvel.FunnelHashMap: lambda: quorvel.FunnelOptions(64, 0.1, 3),
}


class Key:
    """Hashes to a few buckets, so lookups compare keys through __eq__."""

    def __init__(self, n):
        self.n = n

    def __hash__(self):
        return self.n % 5

    def __eq__(self, other):
        return isinstance(other, Key) and self.n == other.n


class RaisingHash:
    def __hash__(self):
        raise ValueError("no hash")


class RaisingEq:
    """A value whose comparisons fail."""

    def __eq__(self, other):
        raise ValueError("no eq")

    __hash__ = object.__hash__


class RaisingRepr:
    def __repr__(self):
        raise ValueError("no repr")


class Mapping:
    """Not a dict: read through keys() and item access."""

    def __init__(self, pairs):
        self.data = dict(pairs)

    def keys(self):
        return list(self.data)

    def __getitem__(self, key):
        return self.data[key]

    def __len__(self):
        return len(self.data)


class BrokenMapping(Mapping):
    def __getitem__(self, key):
        raise LookupError(key)


class BrokenKeys(Mapping):
    def keys(self):
        raise ArithmeticError("keys")


class Unsized:
    def __len__(self):
        raise ValueError("no len")

    def __contains__(self, item):
        raise ValueError("no contains")

    def __iter__(self):
        raise ValueError("no iter")


class DictSubclass(dict):
    def keys(self):
        raise AssertionError("not used")


def failing_pairs(pairs):
    yield from pairs
    raise EOFError("source broke")


KEYS = [Key(i) for i in range(12)] + ["".join(("s", str(i))) for i in range(6)] + [10**20 + i for i in range(6)]
KEYS += [(KEYS[i], KEYS[12 + i]) for i in range(6)]
VALUES = [object() for _ in range(len(KEYS) - 4)] + [[1], RaisingEq(), RaisingRepr(), "".join(("v", "x"))]
PAIRS = list(zip(KEYS, VALUES))
COMPARABLE = [pair for pair in PAIRS if not isinstance(pair[1], RaisingEq)]
HOSTILE = [RaisingHash(), RaisingEq(), RaisingRepr()]
MISSING = Key(1000)
TRACKED = KEYS + VALUES + HOSTILE + [MISSING]


def collect():
    """Full collections until nothing is left: releasing a cycle may release
    a map, and the map's release may leave new garbage cycles behind."""
    while gc.collect():
        pass


def refcounts():
    collect()
    return [sys.getrefcount(o) for o in TRACKED]


def expect(error, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{function} did not raise {error}")


def construction(cls):
    other_cls = MAP_CLASSES[1 - MAP_CLASSES.index(cls)]
    source = cls(PAIRS)
    sources = [
        None, dict(PAIRS), DictSubclass(PAIRS), Mapping(PAIRS), PAIRS, [list(p) for p in PAIRS],
        iter(PAIRS), (p for p in PAIRS), source, other_cls(PAIRS), source.items(), iter(source.items()),
    ]
    for s in sources:
        assert len(cls(s)) in (0, len(PAIRS))
    cls(capacity=100)
    m = cls.with_options(OPTIONS[cls]())
    m.update(PAIRS)
    for args, kwargs, error in [
        ((), {"capacity": -1}, OverflowError),
        ((), {"capacity": "3"}, TypeError),
        ((), {"capacity": 2**32}, OverflowError),
        (({}, 5), {}, TypeError),
        ((), {"other": PAIRS, "size": 1}, TypeError),
        ((5,), {}, TypeError),
        ([PAIRS[:3] + [(1, 2, 3)]], {}, ValueError),
        ([PAIRS[:3] + [5]], {}, ValueError),
        ([PAIRS[:3] + [Unsized()]], {}, ValueError),
        ([PAIRS[:3] + [([], VALUES[0])]], {}, TypeError),
        ([PAIRS[:3] + [(HOSTILE[0], VALUES[0])]], {}, ValueError),
        ([failing_pairs(PAIRS)], {}, EOFError),
        ([BrokenMapping(PAIRS)], {}, LookupError),
        ([BrokenKeys(PAIRS)], {}, ArithmeticError),
    ]:
        expect(error, cls, *args, **kwargs)
    expect(TypeError, cls.with_options, OPTIONS[other_cls]())
    expect(TypeError, cls.with_options, None)


def update_copy_or(cls):
    m = cls()
    m.update(dict(PAIRS))
    m.update(Mapping(PAIRS))
    m.update(iter(PAIRS))
    m.update(cls(PAIRS).items())
    c = cls(COMPARABLE)
    assert c.copy() == c and (c | COMPARABLE) == c and (c | c) == c and (c | {MISSING: VALUES[0]}) != c
    m.copy(), m | m
    expect(TypeError, m.update)
    expect(TypeError, m.update, None)
    expect(PanicException, m.update, m)
    expect(PanicException, m.update, m.items())
    expect(ValueError, m.update, PAIRS[:2] + [(RaisingHash(), 1)])
    expect(TypeError, lambda: m | 5)
    expect(TypeError, lambda: {} | m)
    expect(TypeError, lambda: m | [([], VALUES[0])])

    # A dict that shrinks while the map reads it.
    class Shrinking:
        armed = False

        def __hash__(self):
            if self.armed:
                source.clear()
            return 1

    shrinking = Shrinking()
    source = {shrinking: VALUES[0], KEYS[0]: VALUES[1], KEYS[1]: VALUES[2]}
    shrinking.armed = True
    expect(PanicException, m.update, source)


def mapping_operations(cls):
    m = cls(PAIRS)
    for key, value in PAIRS:
        assert m[key] is value and m.get(key) is value and key in m
        m[key] = value
    assert m.get(MISSING) is None and m.get(MISSING, VALUES[0]) is VALUES[0] and MISSING not in m
    for function, args, error in [
        (m.__getitem__, (MISSING,), KeyError),
        (m.__getitem__, ((MISSING, KEYS[0]),), KeyError),
        (m.__getitem__, ([],), TypeError),
        (m.__getitem__, (HOSTILE[0],), ValueError),
        (m.__setitem__, ([], VALUES[0]), TypeError),
        (m.__setitem__, (HOSTILE[0], VALUES[0]), ValueError),
        (m.__delitem__, (MISSING,), KeyError),
        (m.__contains__, ({},), TypeError),
        (m.get, (HOSTILE[0],), ValueError),
        (m.pop, (MISSING,), KeyError),
        (m.pop, (MISSING, None), KeyError),
        (m.setdefault, ([],), TypeError),
        (m.get, (), TypeError),
        (m.pop, (KEYS[0], 1, 2), TypeError),
        (quorvel.ElasticHashMap.get, (quorvel.FunnelHashMap(), KEYS[0]), TypeError),
        (quorvel.FunnelHashMap.clear, (quorvel.ElasticHashMap(),), TypeError),
        (hash, (m,), TypeError),
        (lambda: m < m, (), TypeError),
    ]:
        expect(error, function, *args)
    assert m.pop(MISSING, VALUES[0]) is VALUES[0]
    for key, value in PAIRS[:10]:
        assert m.pop(key) is value
        assert m.setdefault(key, value) is value and m.setdefault(key) is value
        del m[key]
        m.setdefault(key)
        m[key] = value
    while len(m) > 5:
        m.popitem()
    repr(m), m.capacity, bool(m), len(m)
    m.clear()
    expect(KeyError, m.popitem)
    m.clear()


def comparisons(cls):
    m = cls(COMPARABLE)
    assert m == dict(COMPARABLE) and m == Mapping(COMPARABLE) and not m != m.copy()
    assert m != list(m) and m != BrokenMapping(COMPARABLE) and m != Unsized()
    n = cls(PAIRS)
    assert n != dict(PAIRS) and not n == n.copy()  # RaisingEq values are never equal


def views(cls):
    m = cls(PAIRS)
    keys, values, items = m.keys(), m.values(), m.items()
    for view in (keys, values, items):
        assert len(view) == len(PAIRS) and len(list(view)) == len(PAIRS)
    assert all(k in keys for k in KEYS) and all(p in items for p in COMPARABLE)
    assert VALUES[0] in values and MISSING not in keys and (MISSING, 1) not in items
    assert [KEYS[0], VALUES[0]] not in items and (KEYS[0],) not in items
    assert (KEYS[-3], VALUES[-3]) not in items  # its value refuses to compare
    assert MISSING not in values
    expect(TypeError, keys.__contains__, [])
    expect(TypeError, items.__contains__, ([], 1))
    expect(ValueError, keys.__contains__, HOSTILE[0])
    repr(keys), repr(cls(PAIRS[:-2]).values()), repr(cls(PAIRS[:-2]).items())
    expect(ValueError, repr, values)
    expect(ValueError, repr, items)

    pairs_set = {pair for pair in COMPARABLE if not isinstance(pair[1], list)}
    assert keys == set(KEYS) and keys == list(reversed(KEYS)) and keys == m.copy().keys()
    assert keys != 5 and keys != Unsized() and items != pairs_set and not values == m.values()
    hashable_items = cls(pairs_set).items()
    for left, right in [
        (keys, KEYS), (keys, set(KEYS[:5])), (keys, m.copy().keys()),
        (hashable_items, list(pairs_set)), (hashable_items, pairs_set), (hashable_items, cls(PAIRS[:9]).items()),
    ]:
        left - right, left & right, left | right
    keys ^ KEYS, keys ^ set(KEYS[3:]), keys ^ cls(PAIRS[:5]).keys()
    for function, args, error in [
        (keys.__and__, (Unsized(),), ValueError),
        (keys.__sub__, (5,), TypeError),
        (keys.__or__, (5,), TypeError),
        (keys.__xor__, (Unsized(),), ValueError),
        (items.__sub__, (pairs_set,), TypeError),  # the list value is unhashable
        (items.__or__, ([[1]],), TypeError),
        (lambda: {1} & keys, (), TypeError),
        (lambda: items ^ set(), (), TypeError),
        (lambda: keys < {1}, (), TypeError),
        (hash, (keys,), TypeError),
        (hash, (items,), TypeError),
    ]:
        expect(error, function, *args)
    hash(values)


def iterators(cls):
    m = cls(PAIRS)
    for make in (iter, lambda m: iter(m.keys()), lambda m: iter(m.values()), lambda m: iter(m.items())):
        it = make(m)
        assert iter(it) is it
        assert len(list(it)) == len(PAIRS)
        expect(StopIteration, next, it)
        m[KEYS[0]] = VALUES[0]
        expect(RuntimeError, next, it)
        it = make(m)
        next(it)
        m.clear()
        expect(RuntimeError, next, it)
        m.update(PAIRS)


def reentry_and_threads(cls):
    m = cls(PAIRS)

    class Reentrant:
        """Runs `action` whenever a stored Reentrant key is compared."""

        action = None

        def __init__(self, action=None):
            if action is not None:
                Reentrant.action = action

        def __hash__(self):
            return 12345

        def __eq__(self, other):
            if Reentrant.action is not None:
                Reentrant.action()
            return False

    m[Reentrant()] = VALUES[2]

    def mutate_in_hash():
        class Mutating:
            def __hash__(self):
                m[KEYS[1]] = VALUES[1]
                return 1

        m[Mutating()] = VALUES[0]

    expect(RuntimeError, mutate_in_hash)
    m[Reentrant(lambda: len(m))] = VALUES[0]  # the refused borrow is absorbed
    m[Reentrant(lambda: m.pop(KEYS[0]))] = VALUES[1]
    expect(PanicException, m.__setitem__, Reentrant(lambda: list(m.keys())), VALUES[0])
    expect(PanicException, m.__delitem__, Reentrant(lambda: next(iter(m))))
    Reentrant.action = None

    view, it = m.items(), iter(m.values())
    errors = []

    def foreign():
        for use in (lambda: len(m), lambda: m[KEYS[0]], lambda: KEYS[0] in view, lambda: next(it)):
            try:
                use()
            except PanicException as error:
                errors.append(type(error))

    thread = threading.Thread(target=foreign)
    thread.start()
    thread.join()
    assert errors == [PanicException] * 4


def options(cls):
    o = OPTIONS[cls]()
    o.capacity, o.reserve_fraction
    for bad in ({"reserve_fraction": 0.0}, {"reserve_fraction": float("nan")}, {"capacity": -1}):
        expect((ValueError, OverflowError), lambda: type(o)(**bad))


ROUND = [construction, update_copy_or, mapping_operations, comparisons, views, iterators, reentry_and_threads, options]


def one_round(cls):
    for part in ROUND:
        part(cls)


@pytest.mark.parametrize("part", ROUND, ids=[p.__name__ for p in ROUND])
def test_every_operation_gives_back_its_references(map_class, part):
    part(map_class)  # warm up: caches and interned names settle
    before = refcounts()
    for _ in range(15):
        part(map_class)
    after = refcounts()
    changed = [(repr(o)[:40], b, a) for o, b, a in zip(TRACKED, before, after) if b != a]
    assert not changed


def test_dropping_a_map_releases_its_entries_even_with_live_views(map_class):
    key, value = Key(7), object()
    base = sys.getrefcount(key), sys.getrefcount(value)
    m = map_class({key: value})
    it = iter(m.items())
    view = m.keys()
    assert sys.getrefcount(value) > base[1]
    del m, it, view
    assert (sys.getrefcount(key), sys.getrefcount(value)) == base


def test_interpreter_memory_does_not_grow(map_class):
    """Traced memory settles once the interpreter's caches and free lists have
    filled; no instance of any of the module's classes outlives a round (each
    holds a reference to its type)."""
    types = [getattr(quorvel, name) for name in quorvel.__all__]
    tracemalloc.start()
    try:
        for _ in range(5):
            one_round(map_class)
        collect()
        type_references = [sys.getrefcount(t) for t in types]
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(40):
            one_round(map_class)
        collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(t) for t in types] == type_references
    assert grown < 64 * 1024, f"traced memory grew by {grown} bytes over 40 rounds"


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def churn_tables(cls):
    ints = list(range(20_000))
    m = cls(zip(ints, ints))
    n = m.copy() | dict.fromkeys(range(20_000, 30_000))
    n.update(m.items())
    for i in ints[::2]:
        del n[i]
    while len(m) > 10_000:
        m.popitem()
    list(iter(n.items())), m.keys() & n.keys()
    cls.with_options(OPTIONS[cls]()).update(n)
    n.clear()
    cls(capacity=50_000).update(m)


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer's allocator holds freed memory in quarantine, so resident memory grows anyway",
)
def test_table_memory_does_not_grow(map_class):
    """Tables are native allocations: resident memory must stay flat."""
    for _ in range(3):
        churn_tables(map_class)
    collect()
    start = resident_bytes()
    for _ in range(25):
        churn_tables(map_class)
    collect()
    grown = resident_bytes() - start
    # One round allocates about 8 MiB of tables; losing them would add 200 MiB.
    assert grown < 24 * 2**20, f"resident memory grew by {grown >> 20} MiB over 25 rounds"
