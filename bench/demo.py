"""A tour of quorvel, then what its maps cost next to dict.

    python demo.py            (./dev demo builds the module and runs this)

Four parts, each line saying what it shows:

1. the tour: the maps used as a dict is, and where they differ from one;
2. packed maps: sized up front to just hold N entries at reserve fraction
   0.01 or 0.001, the use the package exists for, against a dict of N;
3. a map kept at its fill limit by deleting one key and inserting one, over
   and over;
4. a quick benchmark of maps that start empty and grow as they fill, as a
   dict does.

Memory is sys.getsizeof (the map object and its tables, not the keys and
values), as for dict.  Times are nanoseconds per operation, the best of a
few runs of the same Python loop for every map type; they vary from run to
run on a shared machine, so compare the ratios to dict in one run.  The
whole demo takes well under a minute.
"""

import gc
import random
import sys
import time

import quorvel

SEED = 2024
MAPS = (quorvel.ElasticHashMap, quorvel.FunnelHashMap)
OPTIONS = {quorvel.ElasticHashMap: quorvel.ElasticOptions, quorvel.FunnelHashMap: quorvel.FunnelOptions}


def show(what: str, value: object) -> None:
    print(f"  {what}: {value}")


def heading(text: str) -> None:
    print()
    print(text)


# ---------------------------------------------------------------------------
# 1. The tour


def tour() -> None:
    heading("1. A tour")
    show("module loaded from", quorvel.__file__)
    public = [name for name in quorvel.__all__ if not name.startswith("_")]
    show("maps and their options", ", ".join(public[:4]))
    show("the views their keys(), values() and items() return", ", ".join(public[4:]))

    m = quorvel.ElasticHashMap({"apple": 3, "pear": 5})
    m["fig"] = 7
    m.setdefault("plum", 1)
    show("repr shows the length and the slot count, never the contents", repr(m))
    show("holds what a dict built the same way holds", dict(m) == {"apple": 3, "pear": 5, "fig": 7, "plum": 1})
    # One 16-slot group fills front to back, so the order shows with more keys.
    words = [f"w{n}" for n in range(100)]
    ordered = quorvel.ElasticHashMap((word, n) for n, word in enumerate(words))
    show("100 keys inserted in this order, the first 8", words[:8])
    show("come back in slot order, which each map's own hash seed sets", list(ordered)[:8])
    show("popitem() takes the first entry in slot order, not the last inserted", ordered.popitem())

    try:
        m.pop("missing", None)
    except KeyError as error:
        show("pop(key, None) means no default: a missing key raises", f"KeyError {error}")
    show("pop(key, 0) returns the default", m.pop("missing", 0))

    try:
        for key in m:
            m[key] = 0
    except RuntimeError as error:
        show("replacing a value while iterating stops the iterator", f"RuntimeError: {error}")

    f = quorvel.FunnelHashMap.with_options(quorvel.FunnelOptions(capacity=100_000, reserve_fraction=0.001))
    f.update((n, n * n) for n in range(99_900))
    show("a funnel map at reserve fraction 0.001, filled to its limit", f"{f!r}, {len(f) / f.capacity:.1%} full")
    show("and still finds every key: f[12_345]", f[12_345])
    f[-1] = 0
    show("the next new key first doubles it: capacity", f.capacity)
    show("copy() uses the default options at capacity len(f), so it grows once while it fills: capacity",
         f.copy().capacity)


# ---------------------------------------------------------------------------
# Measuring


def best_ns(run, operations: int, repeat: int = 5) -> float:
    """Nanoseconds per operation of `run()`, the best of `repeat` runs."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best * 1e9 / operations


def hits(m, keys) -> None:
    for k in keys:
        m[k]


def misses(m, keys) -> None:
    for k in keys:
        k in m


def int_keys(n: int, rng: random.Random) -> tuple[list[int], list[int]]:
    """n stored and n absent keys, distinct, in random order."""
    pool = rng.sample(range(1 << 40), 2 * n)
    return pool[:n], pool[n:]


def str_keys(n: int, rng: random.Random) -> tuple[list[str], list[str]]:
    stored, absent = int_keys(n, rng)
    return [f"key-{x:x}" for x in stored], [f"key-{x:x}" for x in absent]


def lookup_order(keys: list, rng: random.Random, count: int = 100_000) -> list:
    """`count` lookups of `keys` in another order than the fill: a shuffled
    sample, or all of them shuffled and repeated when there are fewer."""
    if len(keys) >= count:
        return rng.sample(keys, count)
    order = list(keys)
    rng.shuffle(order)
    return order * (count // len(order))


def packed_capacity(n: int, reserve_fraction: float) -> int:
    """The smallest capacity c whose limit c - floor(reserve_fraction * c) holds n."""
    c = int(n / (1 - reserve_fraction))
    while c - int(reserve_fraction * c) < n:
        c += 1
    while c > 1 and (c - 1) - int(reserve_fraction * (c - 1)) >= n:
        c -= 1
    return c


def bytes_per_entry(m) -> float:
    return sys.getsizeof(m) / len(m)


# ---------------------------------------------------------------------------
# 2. Packed maps against dict


def packed(rng: random.Random) -> None:
    heading("2. Packed maps: with_options(capacity=C, reserve_fraction=d), C the fewest slots that hold N entries")
    print("  at d, filled with N keys, next to a dict of the same N keys.  Memory is sys.getsizeof per entry;")
    print("  lookups in ns (best of 5, shuffled order): a hit is m[k] for a stored key, a miss is k in m for an")
    print("  absent one; x = ratio to dict")
    print(f"  {'N':>9}  {'keys':4}  {'map':15} {'d':>6} {'load':>7}  {'bytes/entry':>11} {'x':>5}"
          f"  {'hit ns':>7} {'x':>5}  {'miss ns':>7} {'x':>5}")
    for n in (10_000, 100_000, 1_000_000):
        for kind, make in (("int", int_keys), ("str", str_keys)):
            if n == 1_000_000 and kind == "str":
                continue  # the int row shows the trend; this one would double the demo's time
            keys, absent = make(n, rng)
            probe, absent = lookup_order(keys, rng), lookup_order(absent, rng)
            reference = dict.fromkeys(keys, 0)
            dict_bytes = bytes_per_entry(reference)
            dict_hit = best_ns(lambda: hits(reference, probe), len(probe))
            dict_miss = best_ns(lambda: misses(reference, absent), len(absent))
            print(f"  {n:>9,}  {kind:4}  {'dict':15} {'':>6} {'':>7}  {dict_bytes:>11.1f} {'':>5}"
                  f"  {dict_hit:>7.1f} {'':>5}  {dict_miss:>7.1f}")
            del reference
            for reserve in (0.01, 0.001):
                for cls in MAPS:
                    m = cls.with_options(OPTIONS[cls](capacity=packed_capacity(n, reserve), reserve_fraction=reserve))
                    capacity = m.capacity
                    m.update(zip(keys, [0] * n))
                    assert m.capacity == capacity, "a packed map must not grow while it fills"
                    size = bytes_per_entry(m)
                    hit = best_ns(lambda: hits(m, probe), len(probe))
                    miss = best_ns(lambda: misses(m, absent), len(absent))
                    print(f"  {n:>9,}  {kind:4}  {cls.__name__:15} {reserve:>6} {len(m) / m.capacity:>7.2%}"
                          f"  {size:>11.1f} {size / dict_bytes:>5.2f}  {hit:>7.1f} {hit / dict_hit:>5.2f}"
                          f"  {miss:>7.1f} {miss / dict_miss:>5.2f}")
                    del m
            gc.collect()


# ---------------------------------------------------------------------------
# 3. Churn at the fill limit


def churn(rng: random.Random) -> None:
    capacity = 100_000
    limit = capacity - capacity // 10  # what the default reserve fraction 0.1 lets in
    checkpoints = (0, 25_000, 50_000, 100_000, 200_000, 400_000)
    heading(f"3. Churn at the fill limit: capacity {capacity:,} with the default options, filled with the"
            f" {limit:,} keys it holds,")
    print("  then kept full: each step deletes the oldest key and inserts a new one.  Lookups in ns (best of 3):")
    print("  a hit is m[k] for a stored key, a miss is k in m for an absent one; step ns is one delete and one")
    print("  insert, averaged over the steps since the row above")
    print(f"  {'map':15} {'steps done':>10} {'len':>7} {'capacity':>9} {'hit ns':>8} {'miss ns':>8} {'step ns':>8}")
    for factory in (*MAPS, dict):
        keys, absent = int_keys(limit + checkpoints[-1], rng)
        absent = absent[:5_000]
        m = {} if factory is dict else factory(capacity=capacity)
        m.update(zip(keys[:limit], keys[:limit]))
        assert factory is dict or m.capacity == capacity, "filled to the limit, not past it"
        done, step = 0, float("nan")
        for target in checkpoints:
            start = time.perf_counter()
            for old, new in zip(keys[done:target], keys[limit + done:limit + target]):
                del m[old]
                m[new] = new
            if target > done:
                step = (time.perf_counter() - start) * 1e9 / (target - done)
            done = target
            probe = lookup_order(list(m), rng, len(absent))
            hit = best_ns(lambda: hits(m, probe), len(probe), 3)
            miss = best_ns(lambda: misses(m, absent), len(absent), 3)
            shown_capacity = "" if factory is dict else f"{m.capacity:,}"
            shown_step = "" if done == 0 else f"{step:.1f}"
            print(f"  {factory.__name__:15} {done:>10,} {len(m):>7,} {shown_capacity:>9} {hit:>8.1f} {miss:>8.1f}"
                  f" {shown_step:>8}")
        del m
        gc.collect()


# ---------------------------------------------------------------------------
# 4. Quick benchmark of grown maps


def grown(rng: random.Random) -> None:
    heading("4. Grown maps: each map starts empty with the default options and grows while N keys are inserted,")
    print("  as a dict does.  ns per operation (best of several runs) and x = ratio to dict, int keys in random")
    print("  order; memory is sys.getsizeof per entry")
    operations = ("insert", "hit m[k]", "miss k in m", "del m[k]", "for k in m", "bytes/entry")
    for n in (1_000, 100_000):
        keys, absent = int_keys(n, rng)
        probe, absent = lookup_order(keys, rng), lookup_order(absent, rng)
        runs = max(3, 100_000 // n)  # small maps: enough runs for a stable best
        results: dict[str, dict[str, float]] = {}
        for factory in (dict, *MAPS):
            def fill():
                m = factory()
                for k in keys:
                    m[k] = k
                return m

            def drain():
                m = fill()
                start = time.perf_counter()
                for k in keys:
                    del m[k]
                return time.perf_counter() - start

            m = fill()
            results[factory.__name__] = {
                "insert": best_ns(fill, n, runs),
                "hit m[k]": best_ns(lambda: hits(m, probe), len(probe)),
                "miss k in m": best_ns(lambda: misses(m, absent), len(absent)),
                "del m[k]": min(drain() for _ in range(runs)) * 1e9 / n,
                "for k in m": best_ns(lambda: [None for _ in m], n, runs),
                "bytes/entry": bytes_per_entry(m),
            }
            del m
            gc.collect()
        print(f"  N = {n:,}, grown from empty")
        print(f"    {'operation':12} {'dict':>8}" + "".join(f" {cls.__name__:>15} {'x':>5}" for cls in MAPS))
        for op in operations:
            base = results["dict"][op]
            cells = "".join(f" {results[cls.__name__][op]:>15.1f} {results[cls.__name__][op] / base:>5.2f}"
                            for cls in MAPS)
            print(f"    {op:12} {base:>8.1f}{cells}")


def main() -> int:
    rng = random.Random(SEED)
    start = time.perf_counter()
    tour()
    packed(rng)
    churn(rng)
    grown(rng)
    print()
    print(f"demo finished in {time.perf_counter() - start:.0f} s (keys drawn with random seed {SEED})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
