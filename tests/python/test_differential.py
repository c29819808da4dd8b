"""Stateful differential testing of both maps against dict (hypothesis)."""

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import quorvel
from conftest import Collide


keys = st.one_of(
    st.integers(-5, 40),
    st.integers(-(2**70), 2**70),
    st.sampled_from([1, 1.0, True, 0, 0.0, False, -0.0]),
    st.floats(allow_nan=False, width=16),
    st.text(max_size=3),
    st.tuples(st.integers(0, 3), st.text(max_size=1)),
    st.builds(Collide, st.integers(0, 6)),
)
values = st.one_of(st.none(), st.integers(-3, 3), st.text(max_size=2))
pairs = st.lists(st.tuples(keys, values), max_size=8)


class MapMachine(RuleBasedStateMachine):
    map_class = None

    def __init__(self):
        super().__init__()
        self.m = self.map_class()
        self.model = {}

    def mutate(self, operation, counted):
        """Runs operation on the map; iterators made before must notice a counted mutation."""
        stale = [iter(self.m), iter(self.m.items())]
        result = operation()
        for it in stale:
            if counted:
                with pytest.raises(RuntimeError, match="changed size"):
                    next(it)
            else:
                list(it)
        return result

    @rule(key=keys, value=values)
    def set_item(self, key, value):
        self.mutate(lambda: self.m.__setitem__(key, value), True)
        self.model[key] = value

    @rule(key=keys)
    def delete(self, key):
        present = key in self.model
        if present:
            self.mutate(lambda: self.m.__delitem__(key), True)
            del self.model[key]
        else:
            with pytest.raises(KeyError):
                self.mutate(lambda: self.m.__delitem__(key), False)

    @rule(key=keys, default=st.one_of(st.none(), st.integers(0, 2)))
    def pop(self, key, default):
        if key in self.model:
            assert self.mutate(lambda: self.m.pop(key, default), True) == self.model.pop(key)
        elif default is None:
            with pytest.raises(KeyError):
                self.m.pop(key, default)
        else:
            assert self.mutate(lambda: self.m.pop(key, default), False) == default

    @rule()
    def popitem(self):
        if self.model:
            first = next(iter(self.m))
            key, value = self.mutate(self.m.popitem, True)
            assert key is first
            assert self.model.pop(key) == value
        else:
            with pytest.raises(KeyError):
                self.m.popitem()

    @rule(key=keys, default=values)
    def setdefault(self, key, default):
        counted = key not in self.model
        assert self.mutate(lambda: self.m.setdefault(key, default), counted) == self.model.setdefault(key, default)

    @rule(key=keys)
    def get(self, key):
        assert self.m.get(key, "missing") == self.model.get(key, "missing")

    @rule(source=pairs, as_dict=st.booleans())
    def update(self, source, as_dict):
        source = dict(source) if as_dict else source
        self.mutate(lambda: self.m.update(source), True)
        self.model.update(source)

    @rule(source=pairs)
    def merge(self, source):
        self.m = self.m | source
        self.model = self.model | dict(source)

    @rule()
    def clear(self):
        self.mutate(self.m.clear, True)
        self.model.clear()

    @rule()
    def copy(self):
        copied = self.m.copy()
        self.m[Collide(99)] = 0
        self.m = copied

    @invariant()
    def matches_model(self):
        assert len(self.m) == len(self.model)
        assert dict(self.m.items()) == self.model
        assert self.m == self.model
        for key, value in self.model.items():
            assert key in self.m and self.m[key] == value
        assert len(list(self.m)) == len(self.model)


def machine_for(map_class):
    return type(f"{map_class.__name__}Machine", (MapMachine,), {"map_class": map_class})


SETTINGS = settings(max_examples=60, stateful_step_count=40, deadline=None)
TestElasticAgainstDict = machine_for(quorvel.ElasticHashMap).TestCase
TestElasticAgainstDict.settings = SETTINGS
TestFunnelAgainstDict = machine_for(quorvel.FunnelHashMap).TestCase
TestFunnelAgainstDict.settings = SETTINGS


@pytest.mark.parametrize("size", [2000])
def test_large_key_ranges_against_dict(map_class, size):
    import random

    seed = random.randrange(2**32)
    rng = random.Random(seed)
    m, model = map_class(), {}
    try:
        for step in range(size * 3):
            key = rng.randrange(size)
            action = rng.random()
            if action < 0.6:
                m[key] = model[key] = step
            elif action < 0.85:
                assert m.pop(key, -1) == model.pop(key, -1)
            else:
                assert (key in m) == (key in model)
        assert dict(m.items()) == model and len(m) == len(model)
        while model:
            key, value = m.popitem()
            assert model.pop(key) == value
        assert len(m) == 0
    except AssertionError:
        print(f"seed {seed}")
        raise
