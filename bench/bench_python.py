"""Python-level benchmark: dict against quorvel's two maps.

Every operation runs in the same process and the same run for all three map
types, so the ratios to dict are meaningful on a noisy machine; each figure
is the median of several repetitions.  Times are nanoseconds per operation,
including the Python loop around it (the same loop for every map type).

    python bench_python.py                    # N = 1e3, 1e5, 1e6; int and str keys
    python bench_python.py --sizes 1000 --repeat 3
    python bench_python.py --json out.json --plots out/

For an instruction-count profile of one operation, run it under a profiler
twice, once with --profile-reps 0 (everything but the operation) and once
with 1, and take the difference:

    valgrind --tool=callgrind python bench_python.py --profile lookup_hit \
        --map ElasticHashMap --keys int --sizes 200000 --profile-reps 1
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import statistics
import sys
import time
from typing import Callable

import quorvel

MAP_TYPES: dict[str, Callable[[], object]] = {
    "dict": dict,
    "ElasticHashMap": quorvel.ElasticHashMap,
    "FunnelHashMap": quorvel.FunnelHashMap,
}

OPERATIONS = (
    "insert",       # new keys into an empty map, growth included
    "lookup_hit",   # m[k] for stored keys
    "lookup_miss",  # k in m for absent keys
    "get",          # m.get(k) for stored keys
    "update",       # m[k] = v for stored keys
    "iterate",      # for k in m
    "delete",       # del m[k] for every key
)


def make_keys(kind: str, n: int, rng: random.Random) -> tuple[list, list]:
    """n stored keys and n absent keys, in random order."""
    if kind == "int":
        pool = rng.sample(range(1 << 40), 2 * n)
    else:
        pool = [f"key-{x:x}" for x in rng.sample(range(1 << 40), 2 * n)]
    return pool[:n], pool[n:]


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_once(factory, keys, missing) -> tuple[dict[str, float], int, int]:
    """One pass over every operation; seconds per operation, getsizeof, RSS growth."""
    t: dict[str, float] = {}
    n = len(keys)
    clock = time.perf_counter

    gc.collect()
    rss0 = rss_bytes()
    start = clock()
    m = factory()
    for k in keys:
        m[k] = k
    t["insert"] = clock() - start
    size = sys.getsizeof(m)
    rss = rss_bytes() - rss0

    start = clock()
    for k in keys:
        m[k]
    t["lookup_hit"] = clock() - start

    start = clock()
    for k in missing:
        k in m
    t["lookup_miss"] = clock() - start

    get = m.get
    start = clock()
    for k in keys:
        get(k)
    t["get"] = clock() - start

    start = clock()
    for k in keys:
        m[k] = None
    t["update"] = clock() - start

    start = clock()
    for _ in m:
        pass
    t["iterate"] = clock() - start

    start = clock()
    for k in keys:
        del m[k]
    t["delete"] = clock() - start
    assert len(m) == 0
    return {op: secs / n for op, secs in t.items()}, size, rss


def memory_sweep(kind: str, top: int, points: int, seed: int) -> dict:
    """Bytes per entry (getsizeof / len) as each map fills to `top`, read at
    `points` log-spaced sizes.  Every table doubles at some fill, so a single
    N can fall just before one map's doubling and just after another's; the
    sweep shows the whole saw-tooth."""
    keys, _ = make_keys(kind, top, random.Random(seed))
    checkpoints = sorted({round(1000 * (top / 1000) ** (i / (points - 1))) for i in range(points)})
    sweep: dict[str, list] = {"n": checkpoints}
    for name, factory in MAP_TYPES.items():
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


PROFILED = ("insert", "lookup_hit", "lookup_miss", "get", "update", "iterate", "delete")


def profile(name: str, op: str, kind: str, n: int, reps: int, seed: int) -> None:
    """Runs one operation `reps` times (0: only its setup), for a profiler."""
    keys, missing = make_keys(kind, n, random.Random(seed))
    factory = MAP_TYPES[name]
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
            for k in keys:
                m[k]
        elif op == "lookup_miss":
            for k in missing:
                k in m
        elif op == "get":
            get = m.get
            for k in keys:
                get(k)
        elif op == "update":
            for k in keys:
                m[k] = None
        elif op == "iterate":
            for _ in m:
                pass
        elif op == "delete":  # once: the keys are gone afterwards
            for k in keys:
                del m[k]
            break


def measure(n: int, kind: str, repeat: int, seed: int) -> dict:
    rng = random.Random(seed)
    keys, missing = make_keys(kind, n, rng)
    samples: dict[str, dict[str, list[float]]] = {name: {op: [] for op in OPERATIONS} for name in MAP_TYPES}
    sizes: dict[str, int] = {}
    rss: dict[str, list[int]] = {name: [] for name in MAP_TYPES}
    for _ in range(repeat):
        # Interleave the map types so that drift in machine load hits all alike.
        for name, factory in MAP_TYPES.items():
            times, size, grown = run_once(factory, keys, missing)
            for op, secs in times.items():
                samples[name][op].append(secs)
            sizes[name] = size
            rss[name].append(grown)
    return {
        "n": n,
        "keys": kind,
        "ns_per_op": {name: {op: statistics.median(v) * 1e9 for op, v in ops.items()} for name, ops in samples.items()},
        "bytes_per_entry": {name: sizes[name] / n for name in MAP_TYPES},
        "rss_bytes_per_entry": {name: statistics.median(v) / n for name, v in rss.items()},
    }


def print_table(result: dict) -> None:
    n, kind = result["n"], result["keys"]
    print(f"\nN = {n:,}, {kind} keys  (ns per operation; ratio to dict)")
    names = list(MAP_TYPES)
    header = f"{'operation':<14}" + "".join(f"{name:>24}" for name in names)
    print(header)
    print("-" * len(header))
    base = result["ns_per_op"]["dict"]
    for op in OPERATIONS:
        cells = []
        for name in names:
            ns = result["ns_per_op"][name][op]
            cells.append(f"{ns:10.1f}" + (f" ({ns / base[op]:5.2f}x)" if name != "dict" else ""))
        print(f"{op:<14}" + "".join(f"{c:>24}" for c in cells))
    for label, key in (("bytes/entry", "bytes_per_entry"), ("RSS/entry", "rss_bytes_per_entry")):
        d = result[key]["dict"]
        cells = [f"{result[key][name]:10.1f}" + (f" ({result[key][name] / d:5.2f}x)" if name != "dict" and d else "")
                 for name in names]
        print(f"{label:<14}" + "".join(f"{c:>24}" for c in cells))


# What the maps aim for at N = 1,000,000, as ratios to dict in the same run.
TARGETS = (
    ("lookup hit", "lookup_hit", 1.5),
    ("lookup miss", "lookup_miss", 1.5),
    ("insert of new keys", "insert", 2.0),
    ("bytes per entry", None, 1.2),
)
TARGET_N = 1_000_000


def ratio(result: dict, name: str, op: str | None) -> float:
    """The map's figure divided by dict's: an operation's time, or bytes per entry when op is None."""
    if op is None:
        return result["bytes_per_entry"][name] / result["bytes_per_entry"]["dict"]
    return result["ns_per_op"][name][op] / result["ns_per_op"]["dict"][op]


def markdown_table(result: dict) -> list[str]:
    names = [n for n in MAP_TYPES if n != "dict"]
    lines = [f"#### N = {result['n']:,}, {result['keys']} keys", "",
             "| operation | dict | " + " | ".join(names) + " |", "|---|---" + "|---" * len(names) + "|"]
    for op in OPERATIONS:
        cells = [f"{result['ns_per_op'][n][op]:.1f} ({ratio(result, n, op):.2f}×)" for n in names]
        lines.append(f"| {op} (ns) | {result['ns_per_op']['dict'][op]:.1f} | " + " | ".join(cells) + " |")
    cells = [f"{result['bytes_per_entry'][n]:.1f} ({ratio(result, n, None):.2f}×)" for n in names]
    lines.append(f"| bytes per entry | {result['bytes_per_entry']['dict']:.1f} | " + " | ".join(cells) + " |")
    return lines + [""]


def write_markdown(results: list[dict], sweeps: list[dict], path: str) -> None:
    """The tables of a run, and the targets at N = 1,000,000 when that size ran."""
    names = [n for n in MAP_TYPES if n != "dict"]
    lines = []
    at_target = [r for r in results if r["n"] == TARGET_N]
    if at_target:
        lines += ["### Targets at N = 1,000,000 (ratio to dict, same run)", "",
                  "| keys | measure | target | " + " | ".join(names) + " |", "|---|---|---" + "|---" * len(names) + "|"]
        for r in at_target:
            for label, op, limit in TARGETS:
                cells = [f"{ratio(r, n, op):.2f}" + ("" if ratio(r, n, op) <= limit else " (not met)") for n in names]
                lines.append(f"| {r['keys']} | {label} | ≤ {limit} | " + " | ".join(cells) + " |")
        lines.append("")
    if sweeps:
        lines += [f"### Bytes per entry from N = 1,000 to {max(sweeps[0]['n']):,} (ratio to dict at the same N)", "",
                  "| keys | map | geometric mean | lowest | highest |", "|---|---|---|---|---|"]
        for sweep in sweeps:
            for n in names:
                ratios = [a / b for a, b in zip(sweep[n], sweep["dict"])]
                lines.append(f"| {sweep['keys']} | {n} | {statistics.geometric_mean(ratios):.2f} | "
                             f"{min(ratios):.2f} | {max(ratios):.2f} |")
        lines.append("")
    lines += ["### Every measurement (ns per operation, or bytes per entry; ratio to dict)", ""]
    for r in results:
        lines += markdown_table(r)
    with open(path, "w") as f:
        f.write("\n".join(lines))


def write_plots(results: list[dict], sweeps: list[dict], folder: str) -> list[str]:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    os.makedirs(folder, exist_ok=True)
    written = []
    for kind in sorted({r["keys"] for r in results}):
        rows = [r for r in results if r["keys"] == kind]
        fig, axes = plt.subplots(1, len(rows), figsize=(5 * len(rows), 4.2), squeeze=False, sharey=True)
        for ax, r in zip(axes[0], rows):
            width = 0.38
            xs = range(len(OPERATIONS))
            for i, name in enumerate(n for n in MAP_TYPES if n != "dict"):
                ratios = [r["ns_per_op"][name][op] / r["ns_per_op"]["dict"][op] for op in OPERATIONS]
                ax.bar([x + (i - 0.5) * width for x in xs], ratios, width, label=name)
            ax.axhline(1.0, color="black", linewidth=0.8)
            ax.set_xticks(list(xs), OPERATIONS, rotation=40, ha="right")
            ax.set_title(f"N = {r['n']:,}")
        axes[0][0].set_ylabel("time relative to dict")
        axes[0][-1].legend()
        fig.suptitle(f"quorvel vs dict, {kind} keys")
        fig.tight_layout()
        path = os.path.join(folder, f"python_{kind}_keys.png")
        fig.savefig(path, dpi=110)
        plt.close(fig)
        written.append(path)
    if sweeps:
        fig, axes = plt.subplots(1, len(sweeps), figsize=(6 * len(sweeps), 4.2), squeeze=False)
        for ax, sweep in zip(axes[0], sweeps):
            for name in MAP_TYPES:
                ax.plot(sweep["n"], sweep[name], label=name, linewidth=1.2)
            ax.set_xscale("log")
            ax.set_xlabel("entries")
            ax.set_title(f"{sweep['keys']} keys")
            ax.grid(True, which="both", linewidth=0.3)
        axes[0][0].set_ylabel("bytes per entry (sys.getsizeof / len)")
        axes[0][-1].legend()
        fig.tight_layout()
        path = os.path.join(folder, "python_memory.png")
        fig.savefig(path, dpi=110)
        plt.close(fig)
        written.append(path)
    return written


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 100_000, 1_000_000])
    parser.add_argument("--keys", nargs="+", choices=["int", "str"], default=["int", "str"])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--json", help="write the results as JSON to this file")
    parser.add_argument("--plots", help="write PNG plots into this folder (needs matplotlib)")
    parser.add_argument("--markdown", help="write the tables as Markdown to this file")
    parser.add_argument("--sweep-points", type=int, default=60,
                        help="sizes at which bytes per entry is read from 1,000 to the largest N (0: no sweep)")
    parser.add_argument("--profile", choices=PROFILED, help="run only this operation (see above)")
    parser.add_argument("--map", choices=list(MAP_TYPES), default="ElasticHashMap", help="map type for --profile")
    parser.add_argument("--profile-reps", type=int, default=1, help="repetitions for --profile (0: setup only)")
    args = parser.parse_args(argv)

    if args.profile:
        profile(args.map, args.profile, args.keys[0], args.sizes[0], args.profile_reps, args.seed)
        return 0

    results = []
    for kind in args.keys:
        for n in args.sizes:
            # Small sizes are repeated more so that their medians are stable too.
            repeat = args.repeat * max(1, min(20, 100_000 // n))
            result = measure(n, kind, repeat, args.seed)
            results.append(result)
            print_table(result)
            sys.stdout.flush()
    sweeps = []
    if args.sweep_points > 1:
        for kind in args.keys:
            sweeps.append({"keys": kind, **memory_sweep(kind, max(args.sizes), args.sweep_points, args.seed)})
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": sys.version, "results": results, "memory_sweeps": sweeps}, f, indent=1)
    if args.markdown:
        write_markdown(results, sweeps, args.markdown)
        print(f"wrote {args.markdown}")
    if args.plots:
        for path in write_plots(results, sweeps, args.plots):
            print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
