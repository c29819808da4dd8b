"""Memory reporting: sys.getsizeof(m) is the object plus the tables its map owns."""

import sys

import pytest

import quorvel
from conftest import PanicException, run_in_thread

# A slot holds at least a key and a value reference and has one control byte;
# nothing the maps keep per slot beyond the entry itself comes near the entry.
MIN_SLOT_BYTES = 2 * 8 + 1
MAX_SLOT_BYTES = 2 * (4 * 8 + 1)


def table_bytes(m):
    return sys.getsizeof(m) - type(m).__basicsize__


def test_getsizeof_is_sizeof_without_gc_header(map_class):
    m = map_class({i: i for i in range(100)})
    assert sys.getsizeof(m) == m.__sizeof__()
    assert m.__sizeof__() > type(m).__basicsize__


def test_empty_elastic_map_owns_no_table():
    assert sys.getsizeof(quorvel.ElasticHashMap()) == quorvel.ElasticHashMap.__basicsize__


@pytest.mark.parametrize("capacity", [16, 1_000, 100_000])
def test_tables_scale_with_capacity(map_class, capacity):
    owned = table_bytes(map_class(capacity=capacity))
    assert capacity * MIN_SLOT_BYTES <= owned <= capacity * MAX_SLOT_BYTES + 4096


def test_size_follows_capacity_not_contents(map_class):
    m = map_class(capacity=1_000)
    empty = sys.getsizeof(m)
    m.update((i, str(i)) for i in range(800))
    assert m.capacity == 1_000 and sys.getsizeof(m) == empty
    m.clear()
    assert sys.getsizeof(m) == empty


def test_growth_grows_the_reported_size(map_class):
    m = map_class()
    sizes = {}
    for i in range(5_000):
        m[i] = i
        sizes[m.capacity] = sys.getsizeof(m)
    capacities = sorted(sizes)
    assert len(capacities) >= 8
    assert all(sizes[a] < sizes[b] for a, b in zip(capacities, capacities[1:]))
    # Entries are stored in place: the footprint tracks the slot count.
    assert table_bytes(m) >= m.capacity * MIN_SLOT_BYTES


def test_sizeof_is_thread_bound(map_class):
    m = map_class()
    assert isinstance(run_in_thread(m.__sizeof__).get("error"), PanicException)
