"""The module frame: registration, type properties, thread affinity, borrows."""

import sys
import weakref

import pytest

import quorvel
from conftest import MAP_CLASSES, PanicException, run_in_thread

ALL = [
    "ElasticHashMap", "FunnelHashMap", "ElasticOptions", "FunnelOptions",
    "elastic_keys", "elastic_values", "elastic_items",
    "_ElasticKeyIter", "_ElasticValueIter", "_ElasticItemIter",
    "funnel_keys", "funnel_values", "funnel_items",
    "_FunnelKeyIter", "_FunnelValueIter", "_FunnelItemIter",
]  # fmt: skip


def instances(map_class):
    """One live instance of every thread-bound class of a twin, with its native name."""
    m = map_class({1: "a"})
    prefix = "Elastic" if map_class is quorvel.ElasticHashMap else "Funnel"
    return [
        (m, f"Py{prefix}HashMap"),
        (m.keys(), f"Py{prefix}KeysView"),
        (m.values(), f"Py{prefix}ValuesView"),
        (m.items(), f"Py{prefix}ItemsView"),
        (iter(m.keys()), f"Py{prefix}KeyIter"),
        (iter(m.values()), f"Py{prefix}ValueIter"),
        (iter(m.items()), f"Py{prefix}ItemIter"),
    ]


def test_all_lists_the_sixteen_classes_in_order():
    assert quorvel.__all__ == ALL
    for name in ALL:
        cls = getattr(quorvel, name)
        assert (cls.__module__, cls.__name__, cls.__qualname__) == ("quorvel", name, name)


def test_text_signatures_and_docstrings():
    for cls in MAP_CLASSES:
        assert cls.__text_signature__ == "(other=None, *, capacity=0)"
        assert cls.__doc__ == ""
        assert cls.with_options.__text_signature__ == "($cls, options)"
        expected = {
            "copy": "($self)", "update": "($self, other)", "get": "($self, key, default=None)",
            "clear": "($self)", "keys": "($self)", "values": "($self)", "items": "($self)",
            "pop": "($self, key, default=None)", "popitem": "($self)",
            "setdefault": "($self, key, default=None)",
        }  # fmt: skip
        for name, signature in expected.items():
            assert getattr(cls, name).__text_signature__ == signature, name
    for name in ALL[4:]:
        assert getattr(quorvel, name).__doc__ is None


@pytest.mark.parametrize("name", ALL)
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(quorvel, name),), {})


@pytest.mark.parametrize("name", ALL[4:])
def test_views_and_iterators_cannot_be_instantiated(name):
    with pytest.raises(TypeError, match="cannot create"):
        getattr(quorvel, name)()


def test_instances_have_no_dict_and_no_weakrefs(map_class):
    objects = [obj for obj, _ in instances(map_class)] + [quorvel.ElasticOptions(), quorvel.FunnelOptions()]
    for obj in objects:
        with pytest.raises(AttributeError):
            obj.attribute = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)


def test_hashability(map_class):
    m = map_class()
    for unhashable in (m, m.keys(), m.items()):
        with pytest.raises(TypeError, match="unhashable"):
            hash(unhashable)
    values = m.values()
    assert hash(values) == hash(values)
    assert values == values and m.values() != m.values()


def test_panic_exception_is_not_an_exception():
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    assert not hasattr(quorvel, "PanicException")


def test_foreign_thread_panic_escapes_except_exception(map_class):
    m = map_class()

    def use():
        try:
            m[1] = 2
        except Exception:
            return "caught"

    assert type(run_in_thread(use)["error"]) is PanicException
    assert len(m) == 0


class UnraisableReports:
    def __enter__(self):
        self.reports, self.old_hook = [], sys.unraisablehook
        sys.unraisablehook = self.reports.append
        return self.reports

    def __exit__(self, *exc_info):
        sys.unraisablehook = self.old_hook


def test_keys_method_does_not_check_the_thread(map_class):
    m = map_class({1: 2})
    holder = [run_in_thread(m.keys)["result"]]  # made on another thread, bound to it
    with pytest.raises(PanicException, match="KeysView is unsendable, but sent to another thread"):
        len(holder[0])
    with UnraisableReports() as reports:
        holder.clear()
    assert [str(r.exc_value).split(" ")[0] for r in reports] == [
        "quorvel::python::" + ("PyElasticKeysView" if map_class is quorvel.ElasticHashMap else "PyFunnelKeysView")
    ]


def test_drop_on_foreign_thread_leaks_and_reports(map_class):
    key = object()
    m = map_class({key: 1})
    before = sys.getrefcount(key)
    holder = [m]
    del m
    with UnraisableReports() as reports:
        run_in_thread(holder.clear)
    assert len(reports) == 1
    assert type(reports[0].exc_value) is RuntimeError
    native = "PyElasticHashMap" if map_class is quorvel.ElasticHashMap else "PyFunnelHashMap"
    assert str(reports[0].exc_value) == f"quorvel::python::{native} is unsendable, but is being dropped on another thread"
    assert sys.getrefcount(key) == before  # the key's reference leaked with the map


def test_options_drop_on_foreign_thread_is_silent():
    holder = [quorvel.ElasticOptions()]
    with UnraisableReports() as reports:
        run_in_thread(holder.clear)
    assert reports == []


def test_receiver_check_of_methods(map_class):
    other = quorvel.FunnelHashMap if map_class is quorvel.ElasticHashMap else quorvel.ElasticHashMap
    with pytest.raises(TypeError):
        map_class.copy(other())
    with pytest.raises(TypeError):
        map_class.get(5, 1)


def test_argument_parsing_errors(map_class):
    m = map_class()
    with pytest.raises(TypeError, match=r"^get\(\) missing 1 required positional argument: 'key'$"):
        m.get()
    with pytest.raises(TypeError, match=r"^get\(\) got an unexpected keyword argument 'x'$"):
        m.get(1, x=2)
    with pytest.raises(TypeError, match=r"^get\(\) got multiple values for argument 'key'$"):
        m.get(1, key=2)
    with pytest.raises(TypeError, match=r"^get\(\) takes from 1 to 2 positional arguments but 3 were given$"):
        m.get(1, 2, 3)
    with pytest.raises(TypeError, match=r"^update\(\) takes 1 positional argument but 2 were given$"):
        m.update({}, {})
    assert m.get(key=1, default=5) == 5
    m.update(other={1: 2})
    assert m[1] == 2
    with pytest.raises(TypeError):
        m.clear(1)
