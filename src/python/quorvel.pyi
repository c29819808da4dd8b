"""Dict-like hash maps that stay fast when they are almost full.

Two maps on open addressing without reordering: once an entry is placed it
does not move until it is removed or the whole map is rebuilt.

- ``ElasticHashMap`` (elastic hashing) spreads its slots over levels of
  halving size and places new keys in batches.
- ``FunnelHashMap`` (funnel hashing) spreads its slots over levels of
  equal-width buckets, then a small overflow area.

Both behave like ``dict`` in everyday use and take an options object
(``ElasticOptions``, ``FunnelOptions``) that sets how full they may get
before they grow and how far they search.  The maps, their views and their
iterators belong to the thread that created them; the options objects are
immutable and usable anywhere.
"""

# The two map classes (and their views and iterators) are twins: the same
# surface, with the same documentation, is declared for the elastic and the
# funnel family.

from collections.abc import Container, Iterable, Iterator
from types import GenericAlias
from typing import Any, ClassVar, Generic, Protocol, SupportsFloat, SupportsIndex, TypeVar, final, overload

__all__ = [
    "ElasticHashMap",
    "FunnelHashMap",
    "ElasticOptions",
    "FunnelOptions",
    "elastic_keys",
    "elastic_values",
    "elastic_items",
    "_ElasticKeyIter",
    "_ElasticValueIter",
    "_ElasticItemIter",
    "funnel_keys",
    "funnel_values",
    "funnel_items",
    "_FunnelKeyIter",
    "_FunnelValueIter",
    "_FunnelItemIter",
]

_K = TypeVar("_K")
_V = TypeVar("_V")
_T = TypeVar("_T")
_S = TypeVar("_S")
_T_co = TypeVar("_T_co", covariant=True)
_K_co = TypeVar("_K_co", covariant=True)
_V_co = TypeVar("_V_co", covariant=True)

class _SupportsKeysAndGetItem(Protocol[_K, _V_co]):
    def keys(self) -> Iterable[_K]: ...
    def __getitem__(self, key: _K, /) -> _V_co: ...

@final
class ElasticOptions:
    """Immutable tuning parameters of an ``ElasticHashMap``, for ``with_options``.

    Options objects are not bound to a thread, compare and hash by identity
    (two equal-looking options objects are not ``==``), and pickle as their
    constructor arguments.
    """

    def __init__(
        self,
        capacity: SupportsIndex = 0,
        reserve_fraction: SupportsFloat | SupportsIndex | None = None,
        probe_scale: SupportsFloat | SupportsIndex | None = None,
    ) -> None:
        """Validates and stores the options; None takes the default.

        ``capacity`` is the number of slots allocated up front, 0 to 2**32 - 1
        (0: the first insertion makes 16).  ``reserve_fraction`` (default 0.1)
        is the share of the slots kept free, in the open interval (0, 1).
        ``probe_scale`` (default 16.0) scales how far an insertion searches a
        level before it moves on to the next; it must be positive.

        Every argument is converted before any is checked.  Raises TypeError
        for an argument of the wrong type, OverflowError for a negative or
        too large capacity, ValueError("reserve_fraction must be in the open
        interval (0, 1)") and ValueError("probe_scale must be positive").
        """

    @property
    def capacity(self) -> int:
        """The number of slots a map built with these options starts with."""

    @property
    def reserve_fraction(self) -> float:
        """The share of the capacity that stays free (0.1 unless given).

        A map of capacity n holds up to n - floor(reserve_fraction * n)
        entries; the next new key first rebuilds it at twice the capacity.
        A smaller fraction packs more entries into the same memory, at the
        price of longer searches as the map nears full.
        """

    @property
    def probe_scale(self) -> float:
        """The scale of the insertion probe budgets (16.0 unless given).

        A larger scale keeps more keys in the large early levels, which every
        lookup searches first, and lets insertions probe longer.  Reported as
        given, also when it is infinite or NaN (the map then uses the
        default).
        """

@final
class FunnelOptions:
    """Immutable tuning parameters of a ``FunnelHashMap``, for ``with_options``.

    Options objects are not bound to a thread, compare and hash by identity
    (two equal-looking options objects are not ``==``), and pickle as their
    constructor arguments.
    """

    def __init__(
        self,
        capacity: SupportsIndex = 0,
        reserve_fraction: SupportsFloat | SupportsIndex | None = None,
        primary_probe_limit: SupportsIndex | None = None,
    ) -> None:
        """Validates and stores the options; None takes the default.

        ``capacity`` is the number of slots allocated up front, 0 to 2**32 - 1
        (0: the first insertion makes 16).  ``reserve_fraction`` (default 0.1)
        is the share of the slots kept free, in (0, 0.125]: a funnel map is
        built to run at least 7/8 full.  ``primary_probe_limit`` (default
        None: chosen from the capacity) is the number of 16-slot groups a
        search visits in the probed half of the overflow area; it must be
        positive.

        Every argument is converted before any is checked.  Raises TypeError
        for an argument of the wrong type, OverflowError for a negative or
        too large capacity or limit, ValueError("reserve_fraction must be in
        (0, 0.125]; FunnelHashMap caps the load factor at 1/8 by design") and
        ValueError("primary_probe_limit must be positive").
        """

    @property
    def capacity(self) -> int:
        """The number of slots a map built with these options starts with."""

    @property
    def reserve_fraction(self) -> float:
        """The share of the capacity that stays free (0.1 unless given).

        A map of capacity n holds up to n - floor(reserve_fraction * n)
        entries; the next new key first rebuilds it at twice the capacity.
        A smaller fraction packs more entries into the same memory and adds
        levels that a missing key's search passes.
        """

    @property
    def primary_probe_limit(self) -> int | None:
        """The probe limit in the overflow area, or None to let the map choose.

        The map's own choice is ceil(log2(log2(capacity))), at least 1.  A
        larger limit finds overflow slots for more keys but makes every
        search that reaches the overflow area longer.
        """

@final
class ElasticHashMap(Generic[_K, _V]):
    """A dict-like hash map on elastic hashing, built to run almost full.

    Its slots are spread over levels of halving size, and new keys are placed
    in batches that fill two adjacent levels; an entry never moves until it
    is removed or the map is rebuilt.  A map of capacity n holds up to
    n - floor(reserve_fraction * n) entries; the next new key first rebuilds
    it at twice the capacity.

    ``ElasticHashMap(other=None, *, capacity=0)`` builds a map with the
    default options (reserve_fraction 0.1, probe_scale 16) and ``capacity``
    slots (0: the first insertion makes 16), then adds the items of ``other``
    as ``update`` does.  ``with_options`` builds an empty map with other
    options.  ``repr`` shows the length and the capacity, never the contents.

    Where it differs from dict:

    - Iteration, the views, ``popitem`` and ``copy`` follow the order of the
      slots, not the insertion order.  Every map has its own hash seed, so
      two maps with equal contents usually iterate differently.
    - None means "no default" in every method: ``pop(key, None)`` raises
      KeyError for a missing key.
    - Any mutation, replacing the value of a present key included, makes
      every running iterator raise RuntimeError at its next step.
    - ``copy()``, ``copy.copy``, ``copy.deepcopy`` and pickling give maps
      with the default options, not this map's; ``copy()`` has the capacity
      that a map of capacity ``len(m)`` grows to while it is filled: from 10
      entries on, twice ``len(m)``.
    - An Exception raised by a stored key's ``__eq__`` during a lookup is
      swallowed: the keys count as unequal and the search goes on.
      BaseExceptions that are not Exceptions (KeyboardInterrupt) propagate.
    - The map, its views and its iterators belong to the thread that created
      them.  Use from another thread raises PanicException, a BaseException
      (not an Exception) that the module does not export; dropping the last
      reference on another thread leaks the map and reports it through
      ``sys.unraisablehook``.
    - A key's ``__hash__`` or ``__eq__`` that tries to change the map while
      the map is at work gets RuntimeError("Already borrowed"), and
      ``m.update(m)`` raises PanicException.
    - ``|`` has no reflected and no in-place form.
    - The keys and items views equal any sized container with the same
      members (``m.keys() == [2, 1]``), and their set operators have no
      reflected forms.
    - Not registered as a ``collections.abc.Mapping``: ``isinstance`` and
      mapping patterns in ``match`` do not recognise it (registering it is
      the caller's choice).  No ``key=value`` arguments, no ``fromkeys``, no
      ``reversed``, no cyclic garbage collection (a map that contains itself
      is never freed); lengths and capacities are at most 2**32 - 1.
    """

    @overload
    def __init__(self, other: None = None, *, capacity: SupportsIndex = 0) -> None:
        """Builds a map with the default options and ``capacity`` slots, filled from ``other``.

        ``other`` is a mapping (a dict, or anything with ``keys()`` and item
        access) or an iterable of key-value pairs, read as ``update`` reads
        it; None gives an empty map.  ``capacity`` is keyword-only and counts
        slots; unlike dict, there are no ``key=value`` items.  Raises
        OverflowError for a negative capacity or one above 2**32 - 1, and
        whatever reading ``other`` raises (no map is made then).
        """

    @overload
    def __init__(self, other: _SupportsKeysAndGetItem[_K, _V], *, capacity: SupportsIndex = 0) -> None: ...
    @overload
    def __init__(self, other: Iterable[tuple[_K, _V]], *, capacity: SupportsIndex = 0) -> None: ...
    @classmethod
    def with_options(cls, options: ElasticOptions) -> ElasticHashMap[Any, Any]:
        """Returns a new empty map built with ``options``.

        The map keeps the options across growth, but not across ``copy``,
        ``copy.deepcopy`` or pickling, which use the default options.  Raises
        TypeError when ``options`` is not an ``ElasticOptions``.
        """

    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """Returns the generic alias ``ElasticHashMap[K, V]``, as for dict."""

    @property
    def capacity(self) -> int:
        """The number of slots; the map grows when a new key finds it at its limit.

        Up to capacity - floor(reserve_fraction * capacity) entries fit; the
        next new key first rebuilds the map at twice the capacity.  Removals
        never shrink it, and ``clear`` keeps it.
        """

    def copy(self) -> ElasticHashMap[_K, _V]:
        """Returns a shallow copy with the default options, in a new slot order.

        The copy has the default options, not this map's, and the capacity
        that a map of capacity ``len(self)`` ends with once filled: at the
        default reserve fraction such a map holds only ``len - len // 10``
        entries and grows, so a copy of 10 or more entries has twice ``len``
        slots.  It is built at that capacity, each entry placed once, and no
        key is hashed again.
        """

    def __copy__(self) -> ElasticHashMap[_K, _V]:
        """Returns ``self.copy()``: ``copy.copy`` reuses the stored hashes."""

    def __sizeof__(self) -> int:
        """Returns the bytes of the map object and of the tables it owns.

        Keys and values are not counted, as for dict.  The tables follow the
        capacity, not the length.
        """

    @overload
    def update(self, other: _SupportsKeysAndGetItem[_K, _V]) -> None:
        """Stores every item of ``other``; later items replace earlier values.

        ``other`` is a dict (read from its own storage; overridden methods
        of a subclass are not called), an object with ``keys()`` and item
        access, or an iterable of key-value pairs (any sized, indexable
        element of length 2).  A present key keeps its first key object.

        Unlike dict: no ``key=value`` items, and None is not accepted.
        Raises ValueError("update sequence elements must be 2-tuples") for
        an element of another length, and whatever reading ``other`` raises;
        the items stored before the failure stay.  ``m.update(m)`` raises
        PanicException and leaves ``m`` unchanged.  A completed update
        invalidates the running iterators, also when it stored nothing.
        """

    @overload
    def update(self, other: Iterable[tuple[_K, _V]]) -> None: ...
    @overload
    def __or__(self, other: _SupportsKeysAndGetItem[_T, _S], /) -> ElasticHashMap[_K | _T, _V | _S]:
        """Returns ``self.copy()`` updated from ``other``.

        ``other`` may be anything ``update`` accepts.  There is no reflected
        form (``dict | m`` raises TypeError) and no in-place form: ``m |= x``
        rebinds ``m`` to a new map and leaves the old object unchanged.
        """

    @overload
    def __or__(self, other: Iterable[tuple[_T, _S]], /) -> ElasticHashMap[_K | _T, _V | _S]: ...
    def __len__(self) -> int:
        """Returns the number of entries; an empty map is false."""

    def __getitem__(self, key: _K, /) -> _V:
        """Returns the value stored under ``key``.

        Raises KeyError for a missing key, and the key's own exception when
        it is unhashable or its ``__hash__`` raises.
        """

    def __setitem__(self, key: _K, value: _V, /) -> None:
        """Stores ``value`` under ``key``; a present key keeps its first key object.

        Unlike dict, replacing the value of a present key also invalidates
        the running iterators.  The first new key past the limit doubles
        the capacity first.
        """

    def __delitem__(self, key: _K, /) -> None:
        """Removes ``key`` and its value; raises KeyError for a missing key.

        Removals never shrink the capacity.
        """

    def __contains__(self, key: object, /) -> bool:
        """Returns whether ``key`` is stored; an unhashable ``key`` raises TypeError."""

    def __iter__(self) -> _ElasticKeyIter[_K]:
        """Returns an iterator over the keys, in slot order.

        The iterator raises RuntimeError("dictionary changed size during
        iteration") at every step after any mutation of the map, replacing
        a value included; iterate over ``list(m)`` to change the map.
        """

    @overload
    def get(self, key: _K, default: None = None) -> _V | None:
        """Returns the value stored under ``key``, else ``default`` (None).

        An unhashable ``key`` raises TypeError.
        """

    @overload
    def get(self, key: _K, default: _V | _T) -> _V | _T: ...
    @overload
    def pop(self, key: _K, default: None = None) -> _V:
        """Removes ``key`` and returns its value, else returns ``default``.

        Unlike dict, a ``default`` of None means no default: ``pop(key)``
        and ``pop(key, None)`` raise KeyError for a missing key.
        """

    @overload
    def pop(self, key: _K, default: _V | _T) -> _V | _T: ...
    def popitem(self) -> tuple[_K, _V]:
        """Removes and returns the first ``(key, value)`` pair in slot order.

        Unlike dict, that is not the most recently inserted entry.  Raises
        KeyError("popitem(): map is empty") on an empty map.
        """

    @overload
    def setdefault(self: ElasticHashMap[_K, _T | None], key: _K, default: None = None) -> _T | None:
        """Returns the value stored under ``key``; stores ``default`` (None) first if missing.

        Only an insertion invalidates the running iterators.
        """

    @overload
    def setdefault(self, key: _K, default: _V) -> _V: ...
    def clear(self) -> None:
        """Removes every entry and keeps the capacity.

        Invalidates the running iterators, also when the map was empty.
        """

    def keys(self) -> elastic_keys[_K, _V]:
        """Returns a new live view of the keys."""

    def values(self) -> elastic_values[_K, _V]:
        """Returns a new live view of the values."""

    def items(self) -> elastic_items[_K, _V]:
        """Returns a new live view of the ``(key, value)`` pairs."""

    def __eq__(self, other: object, /) -> bool:
        """Returns whether ``other`` is a mapping with the same items.

        ``other`` needs ``keys``, ``len`` and item access.  Any Exception
        raised while reading it or comparing values makes the result False
        instead of propagating.
        """

    def __ne__(self, other: object, /) -> bool:
        """Returns ``not (self == other)``; unlike ``==``, an exception propagates."""

    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class FunnelHashMap(Generic[_K, _V]):
    """A dict-like hash map on funnel hashing, built to run almost full.

    Its slots are spread over levels of equal-width buckets, each level about
    three quarters of the one before, then a small overflow area; a key is
    searched level by level, and an entry never moves until it is removed or
    the map is rebuilt.  A map of capacity n holds up to
    n - floor(reserve_fraction * n) entries; the next new key first rebuilds
    it at twice the capacity.

    ``FunnelHashMap(other=None, *, capacity=0)`` builds a map with the
    default options (reserve_fraction 0.1, the probe limit chosen from the
    capacity) and ``capacity`` slots (0: the first insertion makes 16), then adds the items of ``other``
    as ``update`` does.  ``with_options`` builds an empty map with other
    options.  ``repr`` shows the length and the capacity, never the contents.

    Where it differs from dict:

    - Iteration, the views, ``popitem`` and ``copy`` follow the order of the
      slots, not the insertion order.  Every map has its own hash seed, so
      two maps with equal contents usually iterate differently.
    - None means "no default" in every method: ``pop(key, None)`` raises
      KeyError for a missing key.
    - Any mutation, replacing the value of a present key included, makes
      every running iterator raise RuntimeError at its next step.
    - ``copy()``, ``copy.copy``, ``copy.deepcopy`` and pickling give maps
      with the default options, not this map's; ``copy()`` has the capacity
      that a map of capacity ``len(m)`` grows to while it is filled: from 10
      entries on, twice ``len(m)``.
    - An Exception raised by a stored key's ``__eq__`` during a lookup is
      swallowed: the keys count as unequal and the search goes on.
      BaseExceptions that are not Exceptions (KeyboardInterrupt) propagate.
    - The map, its views and its iterators belong to the thread that created
      them.  Use from another thread raises PanicException, a BaseException
      (not an Exception) that the module does not export; dropping the last
      reference on another thread leaks the map and reports it through
      ``sys.unraisablehook``.
    - A key's ``__hash__`` or ``__eq__`` that tries to change the map while
      the map is at work gets RuntimeError("Already borrowed"), and
      ``m.update(m)`` raises PanicException.
    - ``|`` has no reflected and no in-place form.
    - The keys and items views equal any sized container with the same
      members (``m.keys() == [2, 1]``), and their set operators have no
      reflected forms.
    - Not registered as a ``collections.abc.Mapping``: ``isinstance`` and
      mapping patterns in ``match`` do not recognise it (registering it is
      the caller's choice).  No ``key=value`` arguments, no ``fromkeys``, no
      ``reversed``, no cyclic garbage collection (a map that contains itself
      is never freed); lengths and capacities are at most 2**32 - 1.
    """

    @overload
    def __init__(self, other: None = None, *, capacity: SupportsIndex = 0) -> None:
        """Builds a map with the default options and ``capacity`` slots, filled from ``other``.

        ``other`` is a mapping (a dict, or anything with ``keys()`` and item
        access) or an iterable of key-value pairs, read as ``update`` reads
        it; None gives an empty map.  ``capacity`` is keyword-only and counts
        slots; unlike dict, there are no ``key=value`` items.  Raises
        OverflowError for a negative capacity or one above 2**32 - 1, and
        whatever reading ``other`` raises (no map is made then).
        """

    @overload
    def __init__(self, other: _SupportsKeysAndGetItem[_K, _V], *, capacity: SupportsIndex = 0) -> None: ...
    @overload
    def __init__(self, other: Iterable[tuple[_K, _V]], *, capacity: SupportsIndex = 0) -> None: ...
    @classmethod
    def with_options(cls, options: FunnelOptions) -> FunnelHashMap[Any, Any]:
        """Returns a new empty map built with ``options``.

        The map keeps the options across growth, but not across ``copy``,
        ``copy.deepcopy`` or pickling, which use the default options.  Raises
        TypeError when ``options`` is not an ``FunnelOptions``.
        """

    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """Returns the generic alias ``FunnelHashMap[K, V]``, as for dict."""

    @property
    def capacity(self) -> int:
        """The number of slots; the map grows when a new key finds it at its limit.

        Up to capacity - floor(reserve_fraction * capacity) entries fit; the
        next new key first rebuilds the map at twice the capacity.  Removals
        never shrink it, and ``clear`` keeps it.
        """

    def copy(self) -> FunnelHashMap[_K, _V]:
        """Returns a shallow copy with the default options, in a new slot order.

        The copy has the default options, not this map's, and the capacity
        that a map of capacity ``len(self)`` ends with once filled: at the
        default reserve fraction such a map holds only ``len - len // 10``
        entries and grows, so a copy of 10 or more entries has twice ``len``
        slots.  It is built at that capacity, each entry placed once, and no
        key is hashed again.
        """

    def __copy__(self) -> FunnelHashMap[_K, _V]:
        """Returns ``self.copy()``: ``copy.copy`` reuses the stored hashes."""

    def __sizeof__(self) -> int:
        """Returns the bytes of the map object and of the tables it owns.

        Keys and values are not counted, as for dict.  The tables follow the
        capacity, not the length.
        """

    @overload
    def update(self, other: _SupportsKeysAndGetItem[_K, _V]) -> None:
        """Stores every item of ``other``; later items replace earlier values.

        ``other`` is a dict (read from its own storage; overridden methods
        of a subclass are not called), an object with ``keys()`` and item
        access, or an iterable of key-value pairs (any sized, indexable
        element of length 2).  A present key keeps its first key object.

        Unlike dict: no ``key=value`` items, and None is not accepted.
        Raises ValueError("update sequence elements must be 2-tuples") for
        an element of another length, and whatever reading ``other`` raises;
        the items stored before the failure stay.  ``m.update(m)`` raises
        PanicException and leaves ``m`` unchanged.  A completed update
        invalidates the running iterators, also when it stored nothing.
        """

    @overload
    def update(self, other: Iterable[tuple[_K, _V]]) -> None: ...
    @overload
    def __or__(self, other: _SupportsKeysAndGetItem[_T, _S], /) -> FunnelHashMap[_K | _T, _V | _S]:
        """Returns ``self.copy()`` updated from ``other``.

        ``other`` may be anything ``update`` accepts.  There is no reflected
        form (``dict | m`` raises TypeError) and no in-place form: ``m |= x``
        rebinds ``m`` to a new map and leaves the old object unchanged.
        """

    @overload
    def __or__(self, other: Iterable[tuple[_T, _S]], /) -> FunnelHashMap[_K | _T, _V | _S]: ...
    def __len__(self) -> int:
        """Returns the number of entries; an empty map is false."""

    def __getitem__(self, key: _K, /) -> _V:
        """Returns the value stored under ``key``.

        Raises KeyError for a missing key, and the key's own exception when
        it is unhashable or its ``__hash__`` raises.
        """

    def __setitem__(self, key: _K, value: _V, /) -> None:
        """Stores ``value`` under ``key``; a present key keeps its first key object.

        Unlike dict, replacing the value of a present key also invalidates
        the running iterators.  The first new key past the limit doubles
        the capacity first.
        """

    def __delitem__(self, key: _K, /) -> None:
        """Removes ``key`` and its value; raises KeyError for a missing key.

        Removals never shrink the capacity.
        """

    def __contains__(self, key: object, /) -> bool:
        """Returns whether ``key`` is stored; an unhashable ``key`` raises TypeError."""

    def __iter__(self) -> _FunnelKeyIter[_K]:
        """Returns an iterator over the keys, in slot order.

        The iterator raises RuntimeError("dictionary changed size during
        iteration") at every step after any mutation of the map, replacing
        a value included; iterate over ``list(m)`` to change the map.
        """

    @overload
    def get(self, key: _K, default: None = None) -> _V | None:
        """Returns the value stored under ``key``, else ``default`` (None).

        An unhashable ``key`` raises TypeError.
        """

    @overload
    def get(self, key: _K, default: _V | _T) -> _V | _T: ...
    @overload
    def pop(self, key: _K, default: None = None) -> _V:
        """Removes ``key`` and returns its value, else returns ``default``.

        Unlike dict, a ``default`` of None means no default: ``pop(key)``
        and ``pop(key, None)`` raise KeyError for a missing key.
        """

    @overload
    def pop(self, key: _K, default: _V | _T) -> _V | _T: ...
    def popitem(self) -> tuple[_K, _V]:
        """Removes and returns the first ``(key, value)`` pair in slot order.

        Unlike dict, that is not the most recently inserted entry.  Raises
        KeyError("popitem(): map is empty") on an empty map.
        """

    @overload
    def setdefault(self: FunnelHashMap[_K, _T | None], key: _K, default: None = None) -> _T | None:
        """Returns the value stored under ``key``; stores ``default`` (None) first if missing.

        Only an insertion invalidates the running iterators.
        """

    @overload
    def setdefault(self, key: _K, default: _V) -> _V: ...
    def clear(self) -> None:
        """Removes every entry and keeps the capacity.

        Invalidates the running iterators, also when the map was empty.
        """

    def keys(self) -> funnel_keys[_K, _V]:
        """Returns a new live view of the keys."""

    def values(self) -> funnel_values[_K, _V]:
        """Returns a new live view of the values."""

    def items(self) -> funnel_items[_K, _V]:
        """Returns a new live view of the ``(key, value)`` pairs."""

    def __eq__(self, other: object, /) -> bool:
        """Returns whether ``other`` is a mapping with the same items.

        ``other`` needs ``keys``, ``len`` and item access.  Any Exception
        raised while reading it or comparing values makes the result False
        instead of propagating.
        """

    def __ne__(self, other: object, /) -> bool:
        """Returns ``not (self == other)``; unlike ``==``, an exception propagates."""

    __hash__: ClassVar[None]  # type: ignore[assignment]

# Views: live, read-only windows onto one map.  Set operators take any
# object that supports `in` (difference, intersection) or iteration (union,
# symmetric difference) on the right and return a plain set; there are no
# reflected forms and no ordering comparisons.

@final
class elastic_keys(Generic[_K_co, _V_co]):
    """A live view of an ``ElasticHashMap``'s keys, from ``m.keys()``, in slot order.

    It reads the map at every use, so it shows every later change.  Set
    operators take any object on the right that supports ``in`` (``-``,
    ``&``) or iteration (``|``), or both (``^``), and return a plain set.
    Unlike dict's views they have no reflected forms (``{1} & m.keys()``
    raises TypeError) and no ordering comparisons, and ``==`` accepts any
    sized container.  The view belongs to the map's thread.
    """

    def __len__(self) -> int:
        """Returns the map's current number of entries."""

    def __iter__(self) -> _ElasticKeyIter[_K_co]:
        """Returns an iterator over the keys, invalidated by any mutation of the map."""

    def __contains__(self, key: object, /) -> bool:
        """Returns whether ``key`` is stored in the map; an unhashable ``key`` raises TypeError."""

    def __eq__(self, other: object, /) -> bool:
        """Returns whether ``other`` has the same length and contains every key.

        Unlike dict's views, ``other`` may be any sized container:
        ``m.keys() == [2, 1]`` is True for keys 1 and 2.  An Exception from
        ``len(other)`` or from ``in`` makes the result False.
        """

    def __ne__(self, other: object, /) -> bool:
        """Returns ``not (self == other)``."""

    def __sub__(self, other: Container[Any] | Iterable[Any], /) -> set[_K_co]:
        """Returns the set of keys for which ``key in other`` is false."""

    def __and__(self, other: Container[Any] | Iterable[Any], /) -> set[_K_co]:
        """Returns the set of keys for which ``key in other`` is true."""

    def __or__(self, other: Iterable[_T], /) -> set[_K_co | _T]:
        """Returns the set of the keys and of every object ``other`` yields.

        The map is not held while ``other`` is iterated, so code run there
        may change it.
        """

    def __xor__(self, other: Iterable[_T], /) -> set[_K_co | _T]:
        """Returns the keys not in ``other`` and the objects of ``other`` that are not keys."""

    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class elastic_values(Generic[_K_co, _V_co]):
    """A live view of an ``ElasticHashMap``'s values, from ``m.values()``, in slot order.

    Like dict's values view it has no set operators and compares by
    identity.  The view belongs to the map's thread.
    """

    def __len__(self) -> int:
        """Returns the map's current number of entries."""

    def __iter__(self) -> _ElasticValueIter[_V_co]:
        """Returns an iterator over the values, invalidated by any mutation of the map."""

    def __contains__(self, value: object, /) -> bool:
        """Returns whether a stored value equals ``value``; ``value`` is never hashed.

        An Exception raised by a comparison counts as unequal.
        """

@final
class elastic_items(Generic[_K_co, _V_co]):
    """A live view of an ``ElasticHashMap``'s ``(key, value)`` pairs, from ``m.items()``.

    The pairs come in slot order.  Set operators take any object on the
    right that supports ``in`` (``-``, ``&``) or iteration (``|``) and return
    a plain set; there is no ``^``.  Unlike dict's views they have no
    reflected forms and no ordering comparisons, and ``==`` accepts any sized
    container.  The view belongs to the map's thread.
    """

    def __len__(self) -> int:
        """Returns the map's current number of entries."""

    def __iter__(self) -> _ElasticItemIter[_K_co, _V_co]:
        """Returns an iterator over the pairs, invalidated by any mutation of the map."""

    def __contains__(self, item: object, /) -> bool:
        """Returns whether ``item`` is a 2-tuple whose key is stored with an equal value.

        Any other object (a list included) is not a member.  An unhashable
        key raises TypeError; an Exception from the value comparison counts
        as unequal.
        """

    def __eq__(self, other: object, /) -> bool:
        """Returns whether ``other`` has the same length and contains every pair.

        ``other`` may be any sized container (``m.items() == [(1, 'a')]``);
        a dict does not equal it, because a dict's ``in`` looks at its keys.
        An Exception from ``len(other)`` or from ``in`` makes the result
        False.
        """

    def __ne__(self, other: object, /) -> bool:
        """Returns ``not (self == other)``."""

    def __sub__(self, other: Container[Any] | Iterable[Any], /) -> set[tuple[_K_co, _V_co]]:
        """Returns the set of pairs for which ``pair in other`` is false.

        Raises TypeError when a pair to be added holds an unhashable value.
        """

    def __and__(self, other: Container[Any] | Iterable[Any], /) -> set[tuple[_K_co, _V_co]]:
        """Returns the set of pairs for which ``pair in other`` is true.

        Raises TypeError when a pair to be added holds an unhashable value.
        """

    def __or__(self, other: Iterable[_T], /) -> set[tuple[_K_co, _V_co] | _T]:
        """Returns the set of the pairs and of every object ``other`` yields.

        Raises TypeError when a pair holds an unhashable value.
        """

    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class funnel_keys(Generic[_K_co, _V_co]):
    """A live view of an ``FunnelHashMap``'s keys, from ``m.keys()``, in slot order.

    It reads the map at every use, so it shows every later change.  Set
    operators take any object on the right that supports ``in`` (``-``,
    ``&``) or iteration (``|``), or both (``^``), and return a plain set.
    Unlike dict's views they have no reflected forms (``{1} & m.keys()``
    raises TypeError) and no ordering comparisons, and ``==`` accepts any
    sized container.  The view belongs to the map's thread.
    """

    def __len__(self) -> int:
        """Returns the map's current number of entries."""

    def __iter__(self) -> _FunnelKeyIter[_K_co]:
        """Returns an iterator over the keys, invalidated by any mutation of the map."""

    def __contains__(self, key: object, /) -> bool:
        """Returns whether ``key`` is stored in the map; an unhashable ``key`` raises TypeError."""

    def __eq__(self, other: object, /) -> bool:
        """Returns whether ``other`` has the same length and contains every key.

        Unlike dict's views, ``other`` may be any sized container:
        ``m.keys() == [2, 1]`` is True for keys 1 and 2.  An Exception from
        ``len(other)`` or from ``in`` makes the result False.
        """

    def __ne__(self, other: object, /) -> bool:
        """Returns ``not (self == other)``."""

    def __sub__(self, other: Container[Any] | Iterable[Any], /) -> set[_K_co]:
        """Returns the set of keys for which ``key in other`` is false."""

    def __and__(self, other: Container[Any] | Iterable[Any], /) -> set[_K_co]:
        """Returns the set of keys for which ``key in other`` is true."""

    def __or__(self, other: Iterable[_T], /) -> set[_K_co | _T]:
        """Returns the set of the keys and of every object ``other`` yields.

        The map is not held while ``other`` is iterated, so code run there
        may change it.
        """

    def __xor__(self, other: Iterable[_T], /) -> set[_K_co | _T]:
        """Returns the keys not in ``other`` and the objects of ``other`` that are not keys."""

    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class funnel_values(Generic[_K_co, _V_co]):
    """A live view of an ``FunnelHashMap``'s values, from ``m.values()``, in slot order.

    Like dict's values view it has no set operators and compares by
    identity.  The view belongs to the map's thread.
    """

    def __len__(self) -> int:
        """Returns the map's current number of entries."""

    def __iter__(self) -> _FunnelValueIter[_V_co]:
        """Returns an iterator over the values, invalidated by any mutation of the map."""

    def __contains__(self, value: object, /) -> bool:
        """Returns whether a stored value equals ``value``; ``value`` is never hashed.

        An Exception raised by a comparison counts as unequal.
        """

@final
class funnel_items(Generic[_K_co, _V_co]):
    """A live view of an ``FunnelHashMap``'s ``(key, value)`` pairs, from ``m.items()``.

    The pairs come in slot order.  Set operators take any object on the
    right that supports ``in`` (``-``, ``&``) or iteration (``|``) and return
    a plain set; there is no ``^``.  Unlike dict's views they have no
    reflected forms and no ordering comparisons, and ``==`` accepts any sized
    container.  The view belongs to the map's thread.
    """

    def __len__(self) -> int:
        """Returns the map's current number of entries."""

    def __iter__(self) -> _FunnelItemIter[_K_co, _V_co]:
        """Returns an iterator over the pairs, invalidated by any mutation of the map."""

    def __contains__(self, item: object, /) -> bool:
        """Returns whether ``item`` is a 2-tuple whose key is stored with an equal value.

        Any other object (a list included) is not a member.  An unhashable
        key raises TypeError; an Exception from the value comparison counts
        as unequal.
        """

    def __eq__(self, other: object, /) -> bool:
        """Returns whether ``other`` has the same length and contains every pair.

        ``other`` may be any sized container (``m.items() == [(1, 'a')]``);
        a dict does not equal it, because a dict's ``in`` looks at its keys.
        An Exception from ``len(other)`` or from ``in`` makes the result
        False.
        """

    def __ne__(self, other: object, /) -> bool:
        """Returns ``not (self == other)``."""

    def __sub__(self, other: Container[Any] | Iterable[Any], /) -> set[tuple[_K_co, _V_co]]:
        """Returns the set of pairs for which ``pair in other`` is false.

        Raises TypeError when a pair to be added holds an unhashable value.
        """

    def __and__(self, other: Container[Any] | Iterable[Any], /) -> set[tuple[_K_co, _V_co]]:
        """Returns the set of pairs for which ``pair in other`` is true.

        Raises TypeError when a pair to be added holds an unhashable value.
        """

    def __or__(self, other: Iterable[_T], /) -> set[tuple[_K_co, _V_co] | _T]:
        """Returns the set of the pairs and of every object ``other`` yields.

        Raises TypeError when a pair holds an unhashable value.
        """

    __hash__: ClassVar[None]  # type: ignore[assignment]

# Iterators: they yield the map's contents as of their creation; any
# mutation of the map makes the next step raise RuntimeError.

@final
class _ElasticKeyIter(Iterator[_T_co]):
    """An iterator over an ``ElasticHashMap``'s keys, from ``iter(m)`` or ``iter(m.keys())``.

    It yields the keys the map held when it was made, in slot order.  After
    any mutation of the map, replacing a value included, every step raises
    RuntimeError("dictionary changed size during iteration"), also once the
    iterator is exhausted.  It belongs to the map's thread and cannot be
    pickled.
    """

    def __iter__(self) -> _ElasticKeyIter[_T_co]:
        """Returns the iterator itself."""

    def __next__(self) -> _T_co:
        """Returns the next key; raises RuntimeError once the map has changed."""

@final
class _ElasticValueIter(Iterator[_T_co]):
    """An iterator over an ``ElasticHashMap``'s values, from ``iter(m.values())``.

    It yields the values the map held when it was made, in slot order.
    After any mutation of the map, replacing a value included, every step
    raises RuntimeError("dictionary changed size during iteration"), also
    once the iterator is exhausted.  It belongs to the map's thread and
    cannot be pickled.
    """

    def __iter__(self) -> _ElasticValueIter[_T_co]:
        """Returns the iterator itself."""

    def __next__(self) -> _T_co:
        """Returns the next value; raises RuntimeError once the map has changed."""

@final
class _ElasticItemIter(Iterator[tuple[_K_co, _V_co]]):
    """An iterator over an ``ElasticHashMap``'s pairs, from ``iter(m.items())``.

    It yields the ``(key, value)`` pairs the map held when it was made, in
    slot order.  After any mutation of the map, replacing a value included,
    every step raises RuntimeError("dictionary changed size during
    iteration"), also once the iterator is exhausted.  It belongs to the
    map's thread and cannot be pickled.
    """

    def __iter__(self) -> _ElasticItemIter[_K_co, _V_co]:
        """Returns the iterator itself."""

    def __next__(self) -> tuple[_K_co, _V_co]:
        """Returns the next pair; raises RuntimeError once the map has changed."""

@final
class _FunnelKeyIter(Iterator[_T_co]):
    """An iterator over an ``FunnelHashMap``'s keys, from ``iter(m)`` or ``iter(m.keys())``.

    It yields the keys the map held when it was made, in slot order.  After
    any mutation of the map, replacing a value included, every step raises
    RuntimeError("dictionary changed size during iteration"), also once the
    iterator is exhausted.  It belongs to the map's thread and cannot be
    pickled.
    """

    def __iter__(self) -> _FunnelKeyIter[_T_co]:
        """Returns the iterator itself."""

    def __next__(self) -> _T_co:
        """Returns the next key; raises RuntimeError once the map has changed."""

@final
class _FunnelValueIter(Iterator[_T_co]):
    """An iterator over an ``FunnelHashMap``'s values, from ``iter(m.values())``.

    It yields the values the map held when it was made, in slot order.
    After any mutation of the map, replacing a value included, every step
    raises RuntimeError("dictionary changed size during iteration"), also
    once the iterator is exhausted.  It belongs to the map's thread and
    cannot be pickled.
    """

    def __iter__(self) -> _FunnelValueIter[_T_co]:
        """Returns the iterator itself."""

    def __next__(self) -> _T_co:
        """Returns the next value; raises RuntimeError once the map has changed."""

@final
class _FunnelItemIter(Iterator[tuple[_K_co, _V_co]]):
    """An iterator over an ``FunnelHashMap``'s pairs, from ``iter(m.items())``.

    It yields the ``(key, value)`` pairs the map held when it was made, in
    slot order.  After any mutation of the map, replacing a value included,
    every step raises RuntimeError("dictionary changed size during
    iteration"), also once the iterator is exhausted.  It belongs to the
    map's thread and cannot be pickled.
    """

    def __iter__(self) -> _FunnelItemIter[_K_co, _V_co]:
        """Returns the iterator itself."""

    def __next__(self) -> tuple[_K_co, _V_co]:
        """Returns the next pair; raises RuntimeError once the map has changed."""
