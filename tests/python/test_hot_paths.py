"""The fast paths of lookups and entry points keep the observable behaviour."""

import sys


def test_lookups_take_no_reference_to_the_key(map_class):
    m = map_class({"stored": 1})
    present, absent = "".join(["sto", "red"]), "".join(["abs", "ent"])
    before = sys.getrefcount(present), sys.getrefcount(absent)
    for _ in range(100):
        assert m[present] == 1 and present in m and m.get(present) == 1
        assert absent not in m and m.get(absent) is None
        m[present] = 1  # replacing a value keeps the stored key object
    assert (sys.getrefcount(present), sys.getrefcount(absent)) == before


def test_a_stored_key_is_referenced_once_until_removed(map_class):
    m = map_class()
    key = object()
    before = sys.getrefcount(key)
    m[key] = 1
    assert sys.getrefcount(key) == before + 1
    del m[key]
    assert sys.getrefcount(key) == before


class _Int(int):
    """An int that is not exactly an int: its hash goes through int.__hash__."""


def _boundary_ints():
    edge = 1 << 30  # one digit of an int holds values of magnitude below this
    for centre in (0, edge, -edge, 1 << 60, -(1 << 60), 1 << 61, (1 << 61) - 1):
        yield from range(centre - 3, centre + 4)


def test_int_keys_hash_as_int_does_on_both_sides_of_one_digit(map_class):
    # Equal numbers of different types must meet whichever of them is stored,
    # on both sides of the one-digit boundary of int and of the hash modulus.
    values = list(_boundary_ints())
    exact = map_class((v, v) for v in values)
    other = map_class((_Int(v), v) for v in values)
    for v in values:
        assert exact[_Int(v)] == v and other[v] == v
        if float(v) == v:
            assert exact[float(v)] == v and other[float(v)] == v
    assert exact[True] == 1 and exact[False] == 0
    assert -1 in exact and -2 in exact and exact[-1] == -1 and exact[-2] == -2
    assert len(exact) == len(set(values))


def test_mixed_int_keys_behave_as_in_dict(map_class):
    import random

    rng = random.Random(7)
    pool = list(_boundary_ints()) + [rng.randrange(-(1 << 40), 1 << 40) for _ in range(300)]
    pool += [rng.randrange(-64, 64) for _ in range(100)]
    m, d = map_class(), {}
    for step in range(3000):
        k = rng.choice(pool)
        k = rng.choice((k, _Int(k), float(k) if float(k) == k else k))
        action = rng.random()
        if action < 0.5:
            m[k] = d[k] = step
        elif action < 0.75:
            assert m.pop(k, -1) == d.pop(k, -1)  # a default of None raises, unlike dict
        else:
            assert (k in m) == (k in d) and m.get(k) == d.get(k)
    assert sorted(m.items()) == sorted(d.items())
