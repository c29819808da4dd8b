"""Keys and items views: equality and the set operators."""

import random

import pytest

import quorvel
from conftest import MAP_CLASSES, PanicException


def test_keys_view_equality(map_class):
    m = map_class({1: "a", 2: "b"})
    k = m.keys()
    assert k == {1, 2} and k == [2, 1] and {1, 2} == k and k == (1, 2)
    assert not (k == [1, 1]) and not (k == [1, 2, 2]) and not (k == {1, 3})
    assert k != 5 and not (k == 5)
    assert k == k and m.keys() == m.keys()
    assert k == {1: "x", 2: "y"}  # a dict's membership is by key


def test_items_view_equality(map_class):
    m = map_class({1: "a"})
    assert m.items() == [(1, "a")] and m.items() == {(1, "a")}
    assert not (m.items() == {1: "a"})
    assert m.items() != [(1, "b")]


def test_equality_across_maps_and_classes():
    elastic = quorvel.ElasticHashMap({1: 2, 3: 4})
    funnel = quorvel.FunnelHashMap({3: 4, 1: 2})
    assert elastic.keys() == funnel.keys() and funnel.items() == elastic.items()
    assert elastic.keys() == {1: 0, 3: 0}.keys()
    assert not (elastic.items() == quorvel.FunnelHashMap({1: 2, 3: 5}).items())


def test_equality_absorbs_failures_of_other(map_class):
    class BadLen:
        def __len__(self):
            raise ValueError

        def __contains__(self, item):
            return True

    class BadContains:
        def __len__(self):
            return 1

        def __contains__(self, item):
            raise ValueError

    m = map_class({1: 2})
    assert not (m.keys() == BadLen()) and not (m.keys() == BadContains())
    assert m.keys() != BadContains()

    class Interrupt(BadContains):
        def __contains__(self, item):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        m.keys() == Interrupt()


def test_items_with_unhashable_value(map_class):
    m = map_class({1: []})
    assert not (m.items() == {(1, 2)})  # TypeError inside `in` is absorbed
    with pytest.raises(TypeError):
        m.items() - {(1, 2)}
    with pytest.raises(TypeError):
        m.items() & [(1, [])]  # membership succeeds, adding the tuple fails
    with pytest.raises(TypeError):
        m.items() | []


def test_empty_map_does_not_consult_other(map_class):
    k = map_class().keys()
    assert k & 5 == set() and k - 5 == set()
    with pytest.raises(TypeError):
        k | 5
    with pytest.raises(TypeError):
        k ^ 5
    assert not (k == 5) and k == []


def test_non_empty_map_membership_failure_propagates(map_class):
    m = map_class({1: 2})
    with pytest.raises(TypeError):
        m.keys() & 5
    with pytest.raises(TypeError):
        m.keys() - 5
    with pytest.raises(TypeError):
        m.keys() ^ 5


def test_results_are_plain_sets(map_class):
    m = map_class({1: 2, 3: 4})
    k = m.keys()
    for result in (k & frozenset({1}), k - [1], k | (5,), k ^ {1}, m.items() & {(1, 2)}):
        assert type(result) is set
    assert k & frozenset({1, 9}) == {1}
    assert k ^ [1, 1, 3] == set() and map_class({1: 0, 2: 0}).keys() ^ [1, 1, 3] == {2, 3}
    assert m.items() | [(1, 2), (9, 9)] == {(1, 2), (3, 4), (9, 9)}
    assert m.items() - {(1, 2)} == {(3, 4)}


def test_only_the_left_operand_can_be_the_view(map_class):
    m = map_class({1: 2})
    for operation in (
        lambda: {1} & m.keys(), lambda: [1] - m.keys(), lambda: {1} | m.items(),
        lambda: m.items() ^ set(), lambda: m.keys() < {1}, lambda: m.keys() >= m.keys(),
        lambda: m.values() - {1}, lambda: m.values() | {1},
    ):  # fmt: skip
        with pytest.raises(TypeError):
            operation()
    k = m.keys()
    k |= {5}
    assert type(k) is set and k == {1, 5}


def test_contains_of_other_cannot_mutate_but_iter_of_other_can(map_class):
    m = map_class({1: 2})
    errors = []

    class Other:
        def __contains__(self, item):
            try:
                m["x"] = 1
            except RuntimeError as error:
                errors.append(str(error))
            return True

        def __iter__(self):
            m["y"] = 1
            return iter(["z"])

    assert m.keys() & Other() == {1}
    assert errors == ["Already borrowed"]
    assert m.keys() | Other() == {1, "z"}
    assert "y" in m


def test_symmetric_difference_borrows_map_while_iterating_other(map_class):
    m = map_class({1: 2})
    errors = []

    class Other:
        def __contains__(self, item):
            return False

        def __iter__(self):
            try:
                m["y"] = 1
            except RuntimeError as error:
                errors.append(str(error))
            return iter([1, "z"])

    assert m.keys() ^ Other() == {1, "z"}
    assert errors == ["Already borrowed"]  # borrowed again before other is iterated
    assert "y" not in m


def test_views_used_from_a_mutation_are_a_panic(map_class):
    m = map_class({1: 2})
    keys = m.keys()
    seen = []

    class Key:
        def __hash__(self):
            for action in (lambda: keys == {1}, lambda: keys & {1}, lambda: keys | {1}, lambda: keys ^ {1}):
                try:
                    action()
                except BaseException as error:
                    seen.append(error)
            return 3

    m[Key()] = 1
    assert len(seen) == 4 and all(type(e) is PanicException for e in seen)


@pytest.mark.parametrize("seed", range(20))
def test_matches_dict_views(seed):
    rng = random.Random(seed)
    try:
        for cls in MAP_CLASSES:
            content = {rng.randrange(30): rng.randrange(3) for _ in range(rng.randrange(15))}
            other_keys = {rng.randrange(30) for _ in range(rng.randrange(15))}
            other_items = {(rng.randrange(30), rng.randrange(3)) for _ in range(rng.randrange(15))}
            m, d = cls(content), dict(content)
            for other in (other_keys, list(other_keys), {k: 0 for k in other_keys}.keys()):
                assert m.keys() - other == d.keys() - other
                assert m.keys() & other == d.keys() & other
                assert m.keys() | other == d.keys() | other
                assert m.keys() ^ other == d.keys() ^ other
                assert (m.keys() == other) == (d.keys() == set(other))
            for other in (other_items, list(other_items)):
                assert m.items() - other == d.items() - other
                assert m.items() & other == d.items() & other
                assert m.items() | other == d.items() | other
                assert (m.items() == other) == (d.items() == set(other))
    except AssertionError:
        print(f"seed {seed}")
        raise
