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
