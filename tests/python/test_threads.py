"""Threads: maps used side by side, racing first imports, thread affinity, foreign drops, shared options."""

import gc
import random
import re
import subprocess
import sys
import textwrap
import threading

import pytest

import quorvel
from conftest import MAP_CLASSES, PanicException

THREADS = 4


def run_together(functions):
    """Runs the functions on threads that start at once; returns their
    results in order, re-raising the first failure."""
    # Garbage left by earlier tests may hold maps of this thread; collected on
    # one of the new threads, they would be dropped there (and leaked).
    gc.collect()
    barrier = threading.Barrier(len(functions))
    outcomes = [None] * len(functions)

    def target(i):
        barrier.wait()
        try:
            outcomes[i] = ("result", functions[i]())
        except BaseException as error:  # PanicException is a BaseException
            outcomes[i] = ("error", error)

    threads = [threading.Thread(target=target, args=(i,)) for i in range(len(functions))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for kind, value in outcomes:
        if kind == "error":
            raise value
    return [value for _, value in outcomes]


def on_other_thread(function):
    return run_together([function])[0]


class Unraisables:
    """Collects what is reported through sys.unraisablehook."""

    def __init__(self):
        self.reports = []

    def __enter__(self):
        self.previous = sys.unraisablehook
        sys.unraisablehook = lambda report: self.reports.append((report.exc_type, str(report.exc_value)))
        return self

    def __exit__(self, *exc):
        sys.unraisablehook = self.previous


# ---------------------------------------------------------------------------
# Several threads, each with its own maps


def own_maps_workload(seed):
    rng = random.Random(seed)
    maps = [cls() for cls in MAP_CLASSES]
    reference = {}
    for step in range(3000):
        key = rng.randrange(400)
        op = rng.random()
        if op < 0.5:
            value = (seed, step)
            reference[key] = value
            for m in maps:
                m[key] = value
        elif op < 0.7:
            expected = reference.pop(key, None)
            for m in maps:
                assert m.pop(key, "absent") == (expected if expected is not None else "absent")
        elif op < 0.8:
            for m in maps:
                assert m.get(key) == reference.get(key)
        elif op < 0.82:
            for m in maps:
                assert dict(m.items()) == reference and set(m.keys()) == set(reference)
                assert sorted(m.values()) == sorted(reference.values())
                assert len(m.keys() & reference.keys()) == len(reference)
        elif op < 0.83:
            maps = [m.copy() | {} for m in maps]
    return [len(m) for m in maps], len(reference)


def test_threads_use_their_own_maps_at_the_same_time():
    results = run_together([lambda seed=seed: own_maps_workload(seed) for seed in range(THREADS)])
    for lengths, expected in results:
        assert lengths == [expected, expected]


# ---------------------------------------------------------------------------
# First import and first construction, racing in fresh interpreters

RACE_SCRIPT = textwrap.dedent(
    r"""
    import importlib.util
    import sys
    import threading

    THREADS = 8
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS

    def race(i):
        barrier.wait()
        if i % 2:
            import quorvel as module  # the import system's own path
        else:
            # A module object of its own, so that the exec slots really run
            # side by side.
            spec = importlib.util.find_spec("quorvel")
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
        maps = [module.ElasticHashMap(), module.FunnelHashMap({i: i})]
        for m in maps:
            m[i] = str(i)
            assert m[i] == str(i) and len(m) == 1 and list(m.items()) == [(i, str(i))]
        # The first PanicException is made on first use, here by several
        # threads at once.
        try:
            len(owned)
        except BaseException as error:
            panic = type(error)
        results[i] = (module, maps, panic)

    import quorvel as first
    owned = first.ElasticHashMap()  # made before the race, used by all
    threads = [threading.Thread(target=race, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    names = first.__all__
    assert len({id(module) for module, _, _ in results}) > THREADS // 2  # separate module objects
    panics = {id(panic) for _, _, panic in results}
    assert len(panics) == 1, panics
    panic = results[0][2]
    assert panic.__name__ == "PanicException" and panic.__bases__ == (BaseException,)
    for module, maps, _ in results:
        assert module.__all__ == names
        for name in names:
            assert getattr(module, name) is getattr(first, name), name
        assert type(maps[0]) is first.ElasticHashMap and type(maps[1]) is first.FunnelHashMap
    print("one set of types")
    """
)


def test_racing_first_imports_make_one_set_of_types():
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", RACE_SCRIPT], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr[-3000:]
        assert done.stdout.strip() == "one set of types"


# ---------------------------------------------------------------------------
# Thread affinity: every thread-bound class refuses a foreign thread


def owned_objects(cls, first="a"):
    """The thread-bound objects of one map class, by native class name."""
    m = cls({1: first, 2: "b"})
    prefix = "PyElastic" if cls is quorvel.ElasticHashMap else "PyFunnel"
    return {
        f"{prefix}HashMap": m,
        f"{prefix}KeysView": m.keys(),
        f"{prefix}ValuesView": m.values(),
        f"{prefix}ItemsView": m.items(),
        f"{prefix}KeyIter": iter(m),
        f"{prefix}ValueIter": iter(m.values()),
        f"{prefix}ItemIter": iter(m.items()),
    }


def uses(native, obj):
    """Ways of using `obj` from Python, each reaching an entry point."""
    if native.endswith("HashMap"):
        return [
            lambda: len(obj), lambda: obj[1], lambda: obj.__setitem__(3, "c"), lambda: obj.__delitem__(1),
            lambda: 1 in obj, lambda: iter(obj), lambda: obj.get(1), lambda: obj.pop(1), lambda: obj.popitem(),
            lambda: obj.setdefault(5), lambda: obj.clear(), lambda: obj.update({}), lambda: obj.copy(),
            lambda: obj.capacity, lambda: repr(obj), lambda: obj == {}, lambda: obj | {},
        ]
    if native.endswith("View"):
        common = [lambda: len(obj), lambda: iter(obj), lambda: 1 in obj, lambda: repr(obj)]
        if native.endswith("ValuesView"):
            return common
        return common + [lambda: obj == set(), lambda: obj - set(), lambda: obj & set(), lambda: obj | set()]
    return [lambda: next(obj), lambda: iter(obj)]


@pytest.mark.parametrize("cls", MAP_CLASSES, ids=["elastic", "funnel"])
def test_every_thread_bound_class_refuses_a_foreign_thread(cls):
    owner = threading.get_ident()
    objects = owned_objects(cls)
    assert len(objects) == 7
    m = objects[next(iter(objects))]
    for native, obj in objects.items():
        pattern = re.compile(
            rf"quorvel::python::{native} is unsendable, but sent to another thread "
            rf"\(created on thread {owner}, called from thread (\d+)\)"
        )

        def attempts():
            caller = threading.get_ident()
            messages = []
            for use in uses(native, obj):
                with pytest.raises(PanicException) as raised:
                    use()
                match = pattern.fullmatch(str(raised.value))
                assert match, str(raised.value)
                messages.append(int(match.group(1)) == caller)
            return messages

        assert all(on_other_thread(attempts))
    # Nothing was changed, and every object still works on its own thread.
    assert dict(m) == {1: "a", 2: "b"}
    assert [len(v) for v in list(objects.values())[1:4]] == [2, 2, 2]
    assert [len(list(it)) for it in list(objects.values())[4:]] == [2, 2, 2]


def test_a_view_made_on_another_thread_checks_its_map(map_class):
    m = map_class({1: 2})

    def make_and_use():
        view = m.keys()  # no check when it is made
        with pytest.raises(PanicException, match=r"PyElasticHashMap|PyFunnelHashMap"):
            len(view)
        with pytest.raises(PanicException, match=r"HashMap is unsendable, but sent to another thread"):
            list(view)
        return view

    with Unraisables() as caught:
        view = on_other_thread(make_and_use)
        with pytest.raises(PanicException, match=r"KeysView is unsendable, but sent to another thread"):
            len(view)  # the view belongs to the thread that made it
        del view
    assert caught.reports == [(RuntimeError, caught.reports[0][1])]
    assert "KeysView is unsendable, but is being dropped on another thread" in caught.reports[0][1]


# ---------------------------------------------------------------------------
# Destruction on a foreign thread


@pytest.mark.parametrize("cls", MAP_CLASSES, ids=["elastic", "funnel"])
def test_dropping_on_a_foreign_thread_is_reported_and_leaks(cls):
    value = object()
    for native in owned_objects(cls):
        before = sys.getrefcount(value)
        holder = [owned_objects(cls, value)[native]]  # the only object left
        with Unraisables() as caught:
            on_other_thread(holder.clear)  # the last reference goes on that thread
        assert caught.reports == [
            (RuntimeError, f"quorvel::python::{native} is unsendable, but is being dropped on another thread")
        ]
        # The native value was not released, so what it refers to stays alive.
        assert sys.getrefcount(value) > before


def test_a_foreign_drop_inside_a_deep_release_is_reported_once(map_class):
    # A chain of maps whose head is dropped on another thread: only the head
    # is reported; nothing below it is touched.
    head = map_class()
    for _ in range(1000):
        outer = map_class()
        outer[0] = head
        head = outer
    holder = [head]
    del head, outer
    with Unraisables() as caught:
        on_other_thread(holder.clear)
    assert len(caught.reports) == 1


# ---------------------------------------------------------------------------
# Options objects are shared freely


def test_options_objects_are_shared_across_threads():
    shared = [
        quorvel.ElasticOptions(capacity=100, reserve_fraction=0.25, probe_scale=4),
        quorvel.FunnelOptions(capacity=100, reserve_fraction=0.0625, primary_probe_limit=3),
    ]
    expected = [(100, 0.25, 4.0), (100, 0.0625, 3)]

    def use_shared():
        made = []
        for _ in range(300):
            e, f = shared
            assert (e.capacity, e.reserve_fraction, e.probe_scale) == expected[0]
            assert (f.capacity, f.reserve_fraction, f.primary_probe_limit) == expected[1]
            for cls, options in zip(MAP_CLASSES, shared):
                m = cls.with_options(options)
                m.update((i, i) for i in range(20))
                assert len(m) == 20 and m.capacity >= 100
                made.append(m)
        # Options made here and dropped on other threads: no report.
        return quorvel.FunnelOptions(7)

    with Unraisables() as caught:
        made_elsewhere = run_together([use_shared] * THREADS)
        assert [o.capacity for o in made_elsewhere] == [7] * THREADS
        del made_elsewhere
        on_other_thread(lambda: shared.append(quorvel.ElasticOptions(3)))
        del shared[2]
    assert caught.reports == []
