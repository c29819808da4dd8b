"""Reference counts: every operation releases what it took."""

import sys

import pytest


class Key:
    def __init__(self, n):
        self.n = n

    def __hash__(self):
        return self.n % 3

    def __eq__(self, other):
        return isinstance(other, Key) and self.n == other.n


KEYS = [Key(i) for i in range(30)] + [f"s{i}" for i in range(30)] + [(i, "t") for i in range(30)]
VALUES = [object() for _ in KEYS]


def refcounts():
    return [sys.getrefcount(o) for o in KEYS + VALUES]


def exercise(map_class):
    pairs = list(zip(KEYS, VALUES))
    m = map_class(pairs)
    m.update(dict(pairs))
    m.update(map_class(pairs))
    c = m.copy() | pairs
    for key, value in pairs[:20]:
        assert c[key] is value and c.get(key) is value and key in c
        c[key] = value
    for key, _ in pairs[20:40]:
        c.pop(key)
        c.setdefault(key, VALUES[0])
        del c[key]
    while len(c) > 50:
        c.popitem()
    list(c), list(c.keys()), list(c.values()), list(c.items())
    repr(c.keys()), repr(c.items()), repr(c.values())
    (1, 2) in c.items(), VALUES[3] in c.values(), KEYS[3] in c.keys()
    c.keys() & KEYS, c.keys() - KEYS, c.keys() | KEYS, c.keys() ^ KEYS
    c.items() & pairs, c.items() - pairs, c.items() | pairs
    c.keys() == KEYS, c.items() == pairs, c == dict(pairs), c != m
    it = iter(c.items())
    next(it)
    c.clear()
    with pytest.raises(RuntimeError):
        next(it)
    with pytest.raises(TypeError):
        m.update([(KEYS[0], VALUES[0]), ([], 1)])
    with pytest.raises(KeyError):
        m[Key(1000)]
    with pytest.raises(ValueError):
        map_class([(KEYS[0], VALUES[0]), (1, 2, 3)])


def test_no_reference_leaks(map_class):
    exercise(map_class)  # warm up caches
    before = refcounts()
    for _ in range(20):
        exercise(map_class)
    assert refcounts() == before


def test_removed_entries_and_iterators_are_released(map_class):
    key, value = Key(7), object()
    base = sys.getrefcount(key), sys.getrefcount(value)
    m = map_class({key: value})
    it = iter(m.items())
    view = m.keys()
    assert sys.getrefcount(value) > base[1]
    del m, it, view
    assert (sys.getrefcount(key), sys.getrefcount(value)) == base
