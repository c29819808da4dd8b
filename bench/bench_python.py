"""Python-level benchmark: dict against quorvel's two maps, grown and packed.

Every operation runs in the same process and the same run for every map, so
the ratios to dict are meaningful on a noisy machine.  Each figure is the
median of several repetitions; within a repetition the maps take turns (the
order rotates from one repetition to the next), so drift in the machine's
load hits all of them alike.  Times are nanoseconds per operation,
including the Python loop around it (the same loop for every map).

Two regimes for our maps:
  grown         ElasticHashMap() / FunnelHashMap(), filled key by key from
                empty, growth included
  packed-D      built with with_options(...Options(capacity=C,
                reserve_fraction=D)), C the smallest capacity that holds N
                before it would grow (max_insertions = C - floor(D*C) >= N)
dict has no way to be presized, so its figures are the same for both
regimes; every ratio divides by dict's figure from the same repetition set.

    python bench_python.py                        # N = 1e3 .. 1e6, int and str keys
    python bench_python.py --sizes 1000 --repeat 1
    python bench_python.py --json out.json --markdown out.md --plots out/

For an instruction-count profile of one operation, run it under a profiler
twice, once with --profile-reps 0 (everything but the operation) and once
with 1, and take the difference:

    valgrind --tool=callgrind python bench_python.py --profile lookup_hit \\
        --map ElasticHashMap --regime packed-0.01 --keys int --sizes 100000 --profile-reps 1
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import random
import statistics
import sys
import time
from typing import Callable

import quorvel

from python_report import OPERATIONS, REGIMES, fmt, ratio, write_markdown, write_plots

MAPS = {"ElasticHashMap": (quorvel.ElasticHashMap, quorvel.ElasticOptions),
        "FunnelHashMap": (quorvel.FunnelHashMap, quorvel.FunnelOptions)}

# Operations --profile runs: the timed ones, and two more for a profiler's eyes only.
PROFILED = OPERATIONS + ("get", "update")

# Repetitions of one call of next(iter(m)) stop once they have taken this long.
ITER_START_SECONDS = 0.002


def reserve_fraction(regime: str) -> float | None:
    return float(regime.split("-", 1)[1]) if regime.startswith("packed-") else None


def packed_capacity(n: int, delta: float) -> int:
    """The smallest capacity C whose map holds n entries before growing:
    C - floor(delta * C) >= n.  Both maps compute the reserve as the same
    double product, so this matches their max_insertions exactly."""
    c = max(n, math.floor(n / (1.0 - delta)) - 2)
    while c - math.floor(delta * c) < n:
        c += 1
    assert (c - 1) - math.floor(delta * (c - 1)) < n
    return c


class Variant:
    """One column of the tables: dict, or one of our maps in one regime."""

    def __init__(self, cls_name: str, regime: str | None, n: int):
        self.cls_name = cls_name
        self.regime = regime
        self.capacity = None
        if cls_name == "dict":
            self.label = "dict"
            self.factory: Callable[[], object] = dict
            return
        cls, options = MAPS[cls_name]
        self.label = f"{cls_name} {regime}"
        delta = reserve_fraction(regime)
        if delta is None:
            self.factory = cls
        else:
            self.capacity = packed_capacity(n, delta)
            opts = options(capacity=self.capacity, reserve_fraction=delta)
            self.factory = lambda: cls.with_options(opts)


def variants(n: int, regimes: list[str]) -> list[Variant]:
    return [Variant("dict", None, n)] + [Variant(c, r, n) for r in regimes for c in MAPS]


def make_keys(kind: str, n: int, rng: random.Random) -> tuple[list, list]:
    """n stored keys and n absent keys, in random order."""
    if kind == "int":
        pool = rng.sample(range(1 << 40), 2 * n)
    else:
        pool = [f"key-{x:x}" for x in rng.sample(range(1 << 40), 2 * n)]
    return pool[:n], pool[n:]


def iter_start_seconds(m: object, seconds: float) -> float:
    """Seconds per call of next(iter(m)), called in doubling batches until
    the calls have taken `seconds` (at least one call)."""
    clock = time.perf_counter
    calls, spent, batch = 0, 0.0, 1
    while spent < seconds:
        start = clock()
        for _ in range(batch):
            next(iter(m))
        spent += clock() - start
        calls += batch
        batch *= 2
    return spent / calls


def run_once(variant: Variant, keys: list, hits: list, missing: list) -> dict:
    """One pass over every operation: seconds per operation, and what the map looked like."""
    t: dict[str, float] = {}
    n = len(keys)
    clock = time.perf_counter
    factory = variant.factory

    gc.collect()
    start = clock()
    m = factory()
    for k in keys:
        m[k] = k
    t["insert"] = clock() - start
    size = sys.getsizeof(m)
    capacity = getattr(m, "capacity", None)

    start = clock()
    for k in hits:
        m[k]
    t["lookup_hit"] = clock() - start

    start = clock()
    for k in missing:
        k in m
    t["lookup_miss"] = clock() - start

    start = clock()
    for _ in m:
        pass
    t["iterate"] = clock() - start

    start = clock()
    c = m.copy()
    t["copy"] = clock() - start
    del c

    iter_start = iter_start_seconds(m, ITER_START_SECONDS)

    start = clock()
    for k in hits:
        del m[k]
    t["delete"] = clock() - start
    assert len(m) == 0
    ns = {op: secs / n * 1e9 for op, secs in t.items()}
    ns["iter_start"] = iter_start * 1e9
    return {"ns": ns, "bytes": size, "capacity": capacity}


def measure(n: int, kind: str, regimes: list[str], repeat: int, seed: int) -> dict:
    rng = random.Random(seed)
    keys, missing = make_keys(kind, n, rng)
    hits = keys[:]
    rng.shuffle(hits)
    cols = variants(n, regimes)
    samples: dict[str, dict[str, list[float]]] = {v.label: {op: [] for op in OPERATIONS} for v in cols}
    sizes: dict[str, int] = {}
    capacities: dict[str, int | None] = {}
    gc_was_enabled = gc.isenabled()
    gc.disable()  # as timeit does: a collection landing in one map's pass would skew its figure only
    try:
        for r in range(repeat):
            for v in cols[r % len(cols):] + cols[:r % len(cols)]:
                once = run_once(v, keys, hits, missing)
                for op, ns in once["ns"].items():
                    samples[v.label][op].append(ns)
                sizes[v.label] = once["bytes"]
                capacities[v.label] = once["capacity"]
    finally:
        if gc_was_enabled:
            gc.enable()
    grew = [v.label for v in cols if v.capacity is not None and capacities[v.label] != v.capacity]
    return {
        "n": n,
        "keys": kind,
        "repeat": repeat,
        "columns": [v.label for v in cols],
        "ns_per_op": {label: {op: statistics.median(v) for op, v in ops.items()} for label, ops in samples.items()},
        "bytes_per_entry": {label: sizes[label] / n for label in sizes},
        "capacity": {v.label: capacities[v.label] for v in cols if v.cls_name != "dict"},
        "packed_capacity": {v.label: v.capacity for v in cols if v.capacity is not None},
        "grew_while_packed": grew,
    }


def print_table(result: dict) -> None:
    n, kind, cols = result["n"], result["keys"], result["columns"]
    print(f"\nN = {n:,}, {kind} keys  (ns per operation, per entry for iterate and copy; ratio to dict)")
    width = 22
    header = f"{'operation':<12}" + "".join(f"{c.replace('HashMap', ''):>{width}}" for c in cols)
    print(header)
    print("-" * len(header))
    for op in OPERATIONS:
        cells = [fmt(result["ns_per_op"][c][op]) + (f" ({ratio(result, c, op):.2f}x)" if c != "dict" else "")
                 for c in cols]
        print(f"{op:<12}" + "".join(f"{x:>{width}}" for x in cells))
    per_entry = result["bytes_per_entry"]
    cells = [f"{per_entry[c]:.1f}" + (f" ({ratio(result, c, None):.2f}x)" if c != "dict" else "") for c in cols]
    print(f"{'bytes/entry':<12}" + "".join(f"{x:>{width}}" for x in cells))
    for label in result["grew_while_packed"]:
        print(f"!! {label} grew while it was filled to N: its capacity was meant to hold N")


# ---- memory sweep ----------------------------------------------------------------

def memory_sweep(kind: str, top: int, points: int, seed: int) -> dict:
    """Bytes per entry (getsizeof / len) as each map grows to `top`, read at
    `points` log-spaced sizes.  Every table doubles at some fill, so a single
    N can fall just before one map's doubling and just after another's; the
    sweep shows the whole saw-tooth."""
    keys, _ = make_keys(kind, top, random.Random(seed))
    checkpoints = sorted({round(1000 * (top / 1000) ** (i / (points - 1))) for i in range(points)})
    sweep: dict[str, list] = {"n": checkpoints}
    for name, factory in [("dict", dict)] + [(c, cls) for c, (cls, _) in MAPS.items()]:
        m = factory()
        per_entry = []
        filled = 0
        for n in checkpoints:
            for k in keys[filled:n]:
                m[k] = k
            filled = n
            per_entry.append(sys.getsizeof(m) / n)
        sweep[name] = per_entry
    return sweep


# ---- profiling -------------------------------------------------------------------

def profile(cls_name: str, regime: str, op: str, kind: str, n: int, reps: int, seed: int) -> None:
    """Runs one operation `reps` times (0: only its setup), for a profiler."""
    rng = random.Random(seed)
    keys, missing = make_keys(kind, n, rng)
    hits = keys[:]
    rng.shuffle(hits)
    factory = Variant(cls_name, None if cls_name == "dict" else regime, n).factory
    m = factory()
    if op != "insert":
        for k in keys:
            m[k] = k
    gc.collect()
    for _ in range(reps):
        if op == "insert":
            m = factory()
            for k in keys:
                m[k] = k
        elif op == "lookup_hit":
            for k in hits:
                m[k]
        elif op == "lookup_miss":
            for k in missing:
                k in m
        elif op == "get":
            get = m.get
            for k in hits:
                get(k)
        elif op == "update":
            for k in hits:
                m[k] = None
        elif op == "iterate":
            for _ in m:
                pass
        elif op == "copy":
            m.copy()
        elif op == "iter_start":
            next(iter(m))
        elif op == "delete":  # once: the keys are gone afterwards
            for k in hits:
                del m[k]
            break


def repetitions(repeat: int, n: int) -> int:
    """Small sizes are repeated more, so that their medians are as stable as
    the large ones' while each size costs about the same."""
    return repeat * min(20, max(1, round(math.sqrt(1_000_000 / n))))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 10_000, 100_000, 1_000_000])
    parser.add_argument("--keys", nargs="+", choices=["int", "str"], default=["int", "str"])
    parser.add_argument("--regimes", nargs="+", choices=REGIMES, default=list(REGIMES))
    parser.add_argument("--repeat", type=int, default=3,
                        help="repetitions at N = 1e6; smaller sizes get more (see repetitions())")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--json", help="write the results as JSON to this file")
    parser.add_argument("--plots", help="write PNG plots into this folder (needs matplotlib)")
    parser.add_argument("--markdown", help="write the tables as Markdown to this file")
    parser.add_argument("--sweep-points", type=int, default=60,
                        help="sizes at which bytes per entry is read from 1,000 to the largest N (0: no sweep)")
    parser.add_argument("--profile", choices=PROFILED, help="run only this operation (see above)")
    parser.add_argument("--map", choices=["dict", *MAPS], default="ElasticHashMap", help="map for --profile")
    parser.add_argument("--regime", choices=REGIMES, default="grown", help="regime for --profile")
    parser.add_argument("--profile-reps", type=int, default=1, help="repetitions for --profile (0: setup only)")
    args = parser.parse_args(argv)

    if args.profile:
        profile(args.map, args.regime, args.profile, args.keys[0], args.sizes[0], args.profile_reps, args.seed)
        return 0

    print(f"python benchmark: seed {args.seed}, regimes {', '.join(args.regimes)}", flush=True)
    results = []
    for kind in args.keys:
        for n in args.sizes:
            reps = repetitions(args.repeat, n)
            started = time.perf_counter()
            print(f"python: {kind} keys, N = {n:,}, {reps} repetitions of {1 + 2 * len(args.regimes)} maps ...",
                  flush=True)
            result = measure(n, kind, args.regimes, reps, args.seed)
            results.append(result)
            print_table(result)
            print(f"python: {kind} keys, N = {n:,} done in {time.perf_counter() - started:.0f} s", flush=True)
    sweeps = []
    if args.sweep_points > 1:
        for kind in args.keys:
            print(f"python: bytes per entry at {args.sweep_points} sizes up to {max(args.sizes):,}, {kind} keys",
                  flush=True)
            sweeps.append({"keys": kind, **memory_sweep(kind, max(args.sizes), args.sweep_points, args.seed)})
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": sys.version, "seed": args.seed, "regimes": args.regimes, "results": results,
                       "memory_sweeps": sweeps}, f, indent=1)
    if args.markdown:
        write_markdown(results, sweeps, args.regimes, args.markdown)
        print(f"wrote {args.markdown}")
    if args.plots:
        for path in write_plots(results, sweeps, args.regimes, args.plots):
            print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
