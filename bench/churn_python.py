"""Churn at the fill limit, from Python: a map sized once and kept full.

Each of our maps is built with with_options(capacity=C, reserve_fraction=D)
and filled with max_insertions = C - floor(D*C) int keys, as full as it gets
without growing.  Then it is churned: STEPS_PER_SLOT * C steps, each
`del m[k]` of a stored key drawn at random and `m[k2] = k2` of a key never
seen before, so len stays constant.  dict runs the same loop at the same len
as a reference (it has no capacity to keep).  At checkpoints spread over the
run, closer together early on, it records ns per lookup hit `m[k]`, per
lookup miss `k in m`, per churn step since the previous checkpoint, and the
capacity, which must not change.  A run stops once it has used its time
budget, so a map whose steps have become very slow cannot stall the
benchmark; the run then says where it stopped.  The native churn benchmark
(churn_bench.cpp) does the same on the core maps and adds probe counts.

    python churn_python.py --capacity 100000 --json out.json
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

import quorvel

from churn_report import describe

MAPS = {"ElasticHashMap": (quorvel.ElasticHashMap, quorvel.ElasticOptions),
        "FunnelHashMap": (quorvel.FunnelHashMap, quorvel.FunnelOptions)}
# Checkpoints as fractions of the run's steps, as in churn_bench.cpp (0 is
# right after the fill; the first stretch is short, so that the step cost
# right after the fill is that of the first steps).
CHECKPOINTS = (0.0001, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0)
# Churn steps run between two looks at the clock (the index draws are made before the timed loop).
CHUNK = 10_000
# Lookups at a checkpoint: a sample of SAMPLE keys, timed in chunks of
# LOOKUP_CHUNK for `seconds` (--lookup-seconds); ns per lookup is the median over the chunks.
SAMPLE = 4096
LOOKUP_CHUNK = 256


def time_lookups(m: object, probes: list, hit: bool, seconds: float) -> float:
    clock = time.perf_counter
    per_chunk = []
    spent = 0.0
    first = 0
    while spent < seconds:
        chunk = probes[first:first + LOOKUP_CHUNK]
        first = (first + LOOKUP_CHUNK) % len(probes)
        if hit:
            start = clock()
            for k in chunk:
                m[k]
            t = clock() - start
        else:
            start = clock()
            for k in chunk:
                k in m
            t = clock() - start
        spent += t
        per_chunk.append(t / len(chunk))
    return statistics.median(per_chunk) * 1e9


def churn(name: str, delta: float, capacity: int, pool: list, absent: list, steps: int, budget: float,
          lookup_seconds: float, seed: int) -> dict:
    """One run: fill, then churn for `steps` steps or until `budget` seconds have passed."""
    limit = capacity - math.floor(delta * capacity)
    if name == "dict":
        m: object = {}
    else:
        cls, options = MAPS[name]
        m = cls.with_options(options(capacity=capacity, reserve_fraction=delta))
    live = pool[:limit]
    clock = time.perf_counter
    start = clock()
    for k in live:
        m[k] = k
    fill_ns = (clock() - start) / limit * 1e9
    cap0 = getattr(m, "capacity", None)
    if cap0 is not None and cap0 != capacity:
        raise SystemExit(f"churn: {name} at delta {delta} grew while it was filled to {limit:,}")
    rng = random.Random(seed)
    started = clock()
    step, fresh, stopped = 0, limit, False
    points = []

    def checkpoint(step_ns: float | None) -> None:
        hits = [live[i] for i in rng.choices(range(limit), k=SAMPLE)]
        misses = absent[(len(points) * SAMPLE) % (len(absent) - SAMPLE):][:SAMPLE]
        points.append({"step": step, "capacity": getattr(m, "capacity", None), "len": len(m),
                       "hit_ns": time_lookups(m, hits, True, lookup_seconds),
                       "miss_ns": time_lookups(m, misses, False, lookup_seconds),
                       "step_ns": step_ns})

    checkpoint(None)
    for fraction in CHECKPOINTS:
        target = int(fraction * steps)
        if target <= step:
            continue
        first, spent = step, 0.0
        while step < target:
            count = min(CHUNK, target - step)
            picks = rng.choices(range(limit), k=count)
            new = pool[fresh:fresh + count]
            fresh += count
            start = clock()
            for i, k in zip(picks, new):
                del m[live[i]]
                m[k] = k
                live[i] = k
            spent += clock() - start
            step += count
            if clock() - started > budget:
                stopped = step < steps
                break
        checkpoint(spent / (step - first) * 1e9)
        if stopped:
            break
    assert len(m) == limit
    grown = [p for p in points if p["capacity"] != cap0]
    return {"map": name, "delta": delta, "slots": capacity, "max_insertions": limit, "steps": step,
            "planned_steps": steps, "stopped": stopped, "budget_s": budget, "wall_s": clock() - started,
            "grown_by_step": grown[0]["step"] if grown else None,
            "grown_after_step": max((p["step"] for p in points if p["capacity"] == cap0), default=0),
            "grown_capacity": grown[-1]["capacity"] if grown else cap0, "seed": seed, "fill_ns": fill_ns,
            "checkpoints": points}


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--capacity", type=int, default=100_000)
    parser.add_argument("--deltas", type=float, nargs="+", default=[0.1, 0.01, 0.001])
    parser.add_argument("--steps-per-slot", type=float, default=10.0)
    parser.add_argument("--budget", type=float, default=15.0, help="seconds of wall time per run")
    parser.add_argument("--lookup-seconds", type=float, default=0.03,
                        help="time spent on each kind of lookup at each checkpoint")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--json", help="write the runs as JSON to this file")
    args = parser.parse_args(argv)

    steps = int(args.steps_per_slot * args.capacity)
    rng = random.Random(args.seed)
    # One pool for every run, so that all maps see the same keys: the filled
    # keys first, then the keys the churn steps insert; absent keys apart.
    drawn = rng.sample(range(1 << 40), args.capacity + steps + 16 * SAMPLE)
    pool, absent = drawn[:args.capacity + steps], drawn[args.capacity + steps:]
    print(f"churn (python): capacity {args.capacity:,}, {steps:,} steps per run, budget {args.budget:g} s, "
          f"seed {args.seed}", flush=True)
    runs = []
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for delta in args.deltas:
            for name in ("dict", *MAPS):
                run = churn(name, delta, args.capacity, pool, absent, steps, args.budget, args.lookup_seconds,
                            args.seed)
                print("churn (python): " + describe(run), flush=True)
                runs.append(run)
    finally:
        if gc_was_enabled:
            gc.enable()
    out = {"python": sys.version, "capacity": args.capacity, "seed": args.seed, "runs": runs}
    if args.json:
        with open(args.json, "w") as f:
            json.dump(out, f, indent=1)
    return out


if __name__ == "__main__":
    main()
    sys.exit(0)
