"""The key adapter: hash computed once, equality order, absorbed and propagated failures."""

import math

import pytest

from conftest import PanicException, run_in_thread


class CountingKey:
    """A key that counts its __hash__ and __eq__ calls."""

    def __init__(self, value, hash_value=None):
        self.value = value
        self.hash_value = hash(value) if hash_value is None else hash_value
        self.hash_calls = 0
        self.eq_calls = 0

    def __hash__(self):
        self.hash_calls += 1
        return self.hash_value

    def __eq__(self, other):
        self.eq_calls += 1
        return isinstance(other, CountingKey) and self.value == other.value


class RaisingEq:
    def __init__(self, error=ValueError):
        self.error = error

    def __hash__(self):
        return 7

    def __eq__(self, other):
        raise self.error("eq")


def test_one_true_and_one_point_zero_address_one_entry(map_class):
    m = map_class()
    one = 1
    m[one] = "a"
    m[1.0] = "b"
    m[True] = "c"
    assert len(m) == 1 and m[1] == "c"
    [(key, value)] = m.items()
    assert key is one and type(key) is int and value == "c"


INT_EDGES = [0, 1, -1, 2, -2, 2**30 - 1, -(2**30 - 1), 2**30, -(2**30), 2**61 - 1, 2**61, -(2**61), 2**64 + 5, -(2**100)]


class IntSubclass(int):
    def __hash__(self):
        return 99


def test_int_keys_hash_as_the_interpreter_hashes_them(map_class):
    # An int key must meet the keys that compare equal to it - floats, bools,
    # Fractions - under the interpreter's hash, -1 (hashed to -2) and the
    # edges of one-digit and of 61-bit values included.
    from fractions import Fraction

    m = map_class((x, x) for x in INT_EDGES)
    assert len(m) == len(INT_EDGES)
    for x in INT_EDGES:
        assert m[x] == x and m[Fraction(x)] == x
        if abs(x) < 2**53:
            assert m[float(x)] == x
    assert m[True] == 1 and m[False] == 0
    assert float(-1) in m and -2 in m and m[-2] == -2
    # A subclass with its own __hash__ is hashed by it, so it misses the int.
    assert IntSubclass(5) not in map_class({5: 5})
    assert map_class({IntSubclass(5): 1})[IntSubclass(5)] == 1


def test_first_key_object_kept_by_updates(map_class):
    first = (1, 2)
    m = map_class([(first, 1), ((1, 2), 2)])
    assert next(iter(m)) is first and m[(1, 2)] == 2


def test_nan_keys_are_found_only_by_the_same_object(map_class):
    nan = float("nan")
    m = map_class({nan: 1})
    assert m[nan] == 1 and nan in m
    with pytest.raises(KeyError):
        m[float("nan")]
    m[float("nan")] = 2
    assert len(m) == 2


def test_equal_strings_match_without_eq(map_class):
    a = "".join(["ké", "y"])
    b = "".join(["k", "éy"])
    assert a is not b
    m = map_class({a: 1})
    assert m[b] == 1

    class Str(str):
        calls = 0

        def __eq__(self, other):
            Str.calls += 1
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    m[Str("key")] = 2
    assert m["key"] == 2 and Str.calls >= 1


def test_strings_with_lone_surrogates(map_class):
    m = map_class({"a\ud800": 1})
    assert m["".join(["a", "\ud800"])] == 1
    assert "a\udc00" not in m


def test_hash_called_once_per_operation_and_never_on_growth(map_class):
    keys = [CountingKey(i) for i in range(200)]
    m = map_class()
    for key in keys:
        m[key] = key.value
    assert all(key.hash_calls == 1 for key in keys)
    m.copy()
    m | {}
    list(m.items())
    assert all(key.hash_calls == 1 for key in keys)
    probe = CountingKey(5)
    assert m[probe] == 5 and probe.hash_calls == 1
    assert m.pop(probe) == 5 and probe.hash_calls == 2
    while m:
        m.popitem()
    assert all(key.hash_calls == 1 for key in keys)


def test_unhashable_or_raising_hash_fails_before_the_map_is_touched(map_class):
    class BadHash:
        def __hash__(self):
            raise ZeroDivisionError("hash")

    m = map_class({1: 1})
    operations = [
        lambda k: m.__setitem__(k, 1), lambda k: k in m, lambda k: m.get(k),
        lambda k: m.__delitem__(k), lambda k: m[k], lambda k: m.pop(k, 0), lambda k: m.setdefault(k),
    ]  # fmt: skip
    for operation in operations:
        with pytest.raises(TypeError, match="unhashable"):
            operation([])
        with pytest.raises(ZeroDivisionError):
            operation(BadHash())
    assert dict(m.items()) == {1: 1}


def test_raising_eq_is_absorbed_as_unequal(map_class):
    k1, k2 = RaisingEq(), RaisingEq()
    m = map_class()
    m[k1] = 1
    m[k2] = 2
    assert len(m) == 2
    assert m[k1] == 1 and m[k2] == 2
    assert RaisingEq() not in m


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_from_eq_propagate_and_change_nothing(map_class, error):
    stored = RaisingEq(ValueError)
    m = map_class({stored: "kept"})
    probe = RaisingEq(error)
    count_iter = iter(m)
    # The stored key's __eq__ runs first; make it the propagating one.
    stored.error = error
    for operation in (
        lambda: m.__setitem__(probe, 1), lambda: probe in m, lambda: m.get(probe),
        lambda: m.pop(probe), lambda: m.setdefault(probe), lambda: m.__delitem__(probe),
    ):  # fmt: skip
        with pytest.raises(error):
            operation()
    assert len(m) == 1 and m[stored] == "kept"
    assert next(count_iter) is stored  # no mutation was counted


def test_panic_from_eq_propagates_with_its_message(map_class, capsys):
    foreign = map_class()
    stored = RaisingEq()
    m = map_class({stored: 1})

    def panicking_eq(other):
        # Using a map from another thread is a PanicException.
        error = run_in_thread(lambda: len(foreign)).get("error")
        raise error

    stored.__class__ = type("PanickingKey", (RaisingEq,), {"__eq__": lambda self, other: panicking_eq(other)})
    with pytest.raises(PanicException, match="is unsendable, but sent to another thread"):
        m[RaisingEq()] = 2
    assert len(m) == 1
    assert "PanicException" in capsys.readouterr().err  # its traceback was printed


def test_eq_of_a_stored_key_sees_the_map_borrowed(map_class):
    seen = []
    m = map_class()

    class Reentrant:
        def __hash__(self):
            return 1

        def __eq__(self, other):
            for action in (lambda: len(m), lambda: m.__setitem__(99, 0)):
                try:
                    action()
                    seen.append("ok")
                except RuntimeError as error:
                    seen.append(str(error))
            return False

    m[Reentrant()] = 1
    m[Reentrant()] = 2  # insertion: exclusive borrow
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    seen.clear()
    assert Reentrant() not in m  # lookup: shared borrow
    assert seen == ["ok", "Already borrowed"] * 2
    assert len(m) == 2


def test_hash_of_a_key_sees_the_map_borrowed(map_class):
    m = map_class()
    errors = []

    class Key:
        def __hash__(self):
            try:
                m["other"] = 1
            except RuntimeError as error:
                errors.append(str(error))
            return 5

    with pytest.raises(RuntimeError, match="^Already borrowed$"):

        class Raising:
            def __hash__(self):
                m["x"] = 1
                return 1

        m[Raising()] = 1
    m[Key()] = 1
    assert errors == ["Already borrowed"]
    assert len(m) == 1


def test_eq_returning_an_object_with_failing_truth(map_class):
    class Truthless:
        def __bool__(self):
            raise ValueError

    class Key:
        def __hash__(self):
            return 3

        def __eq__(self, other):
            return Truthless()

    m = map_class({Key(): 1})
    assert Key() not in m
    assert math.isfinite(len(m))
