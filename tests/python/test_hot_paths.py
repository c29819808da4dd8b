"""The fast paths of lookups and entry points keep the observable behaviour."""

import sys
import threading

from conftest import PanicException, run_in_thread


def test_wrong_thread_message_names_the_interpreters_thread_ids(map_class):
    m = map_class()
    owner = threading.get_ident()
    seen = {}

    def call():
        seen["caller"] = threading.get_ident()
        return len(m)

    error = run_in_thread(call)["error"]
    assert isinstance(error, PanicException)
    assert f"created on thread {owner}, called from thread {seen['caller']}" in str(error)


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
