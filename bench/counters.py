"""Counters per operation: instructions, branch mispredictions and cache misses.

    python counters.py BUILD/bench RESULTS_DIR      # runs profile_maps under callgrind, writes counters.md

Hardware counters (perf stat) are not available on every machine - on a
shared VM they usually are not - so the counts come from valgrind: callgrind
with its cache and branch simulation, on profile_maps, which brackets every
phase (fill, hits, misses) and a twin of each that runs the same loop
without the map operation in client requests that dump the counters of that
phase alone.  Per operation = (phase - its twin) / operations: the table's
setup, the key generation and the loop are left out.  Instruction counts are
exact and do not depend on the machine's load; the branch and cache figures
come from valgrind's models (a table of 2-bit counters for conditional
branches; an I1/D1/LL hierarchy configured below), so they rank the maps and
show how much each operation touches rather than what a particular
processor would count.
"""

from __future__ import annotations

import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile

# (map, slots, delta): every map at load 7/8, the most absl and boost take;
# at 0.95 those that reach it.  2^16 slots keep a run to seconds under valgrind.
RUNS = [(m, 1 << 16, 0.125) for m in ("elastic", "funnel", "absl", "boost", "robin", "std")] + \
       [(m, 1 << 16, 0.05) for m in ("elastic", "funnel", "robin", "std")]
SMOKE_RUNS = [("elastic", 4096, 0.125), ("boost", 4096, 0.125)]
NAMES = {"elastic": "elastic", "funnel": "funnel", "absl": "absl::flat_hash_map",
         "boost": "boost::unordered_flat_map", "robin": "tsl::robin_map", "std": "std::unordered_map"}
# The simulated caches: 32 KiB 8-way L1s and a 32 MiB 16-way last level, as
# on the benchmark machine (valgrind's own detection misreads its L3).
CACHES = ["--I1=32768,8,64", "--D1=32768,8,64", "--LL=33554432,16,64"]
PHASES = ("fill", "hit", "miss")
COLUMNS = (("instructions", ("Ir",)), ("branch mispredictions", ("Bcm", "Bim")),
           ("L1d misses", ("D1mr", "D1mw")), ("LL misses", ("DLmr", "DLmw")))


def perf_available() -> str:
    """What `perf stat -e instructions` says here, in a few words."""
    if not shutil.which("perf"):
        return "perf is not installed in the build environment"
    try:
        out = subprocess.run(["perf", "stat", "-x,", "-e", "instructions", "true"], capture_output=True,
                             text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"perf stat failed ({e})"
    text = out.stderr.strip().splitlines()
    line = next((l for l in text if "instructions" in l), text[-1] if text else "")
    if out.returncode != 0 or "not supported" in line or "not counted" in line:
        return f"perf stat -e instructions: {line or 'failed'}"
    return ""


def read_dump(path: str) -> tuple[str, dict[str, int], list[str]]:
    """A callgrind dump: its trigger (the phase name), its summary counts, its cache descriptions."""
    events: list[str] = []
    summary: list[int] = []
    trigger = ""
    caches = []
    with open(path) as f:
        for line in f:
            if line.startswith("events:"):
                events = line.split()[1:]
            elif line.startswith("summary:") or (line.startswith("totals:") and not summary):
                summary = [int(x) for x in line.split()[1:]]
            elif line.startswith("desc: Trigger: Client Request: "):
                trigger = line.split(": ", 3)[-1].strip()
            elif line.startswith("desc:") and "cache:" in line:
                caches.append(line[5:].strip())
    counts = dict(zip(events, summary + [0] * (len(events) - len(summary))))
    return trigger, counts, caches


def profile(native_dir: str, name: str, slots: int, delta: float, work: str) -> dict:
    out = os.path.join(work, f"cg.{name}.{slots}.{delta}")
    args = ["valgrind", "--tool=callgrind", "--cache-sim=yes", "--branch-sim=yes", *CACHES,
            f"--callgrind-out-file={out}", os.path.join(native_dir, "profile_maps"), name, str(slots), str(delta)]
    proc = subprocess.run(args, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"profile_maps {name} failed:\n{proc.stdout}\n{proc.stderr[-2000:]}")
    summary = proc.stdout.strip()
    entries = int(summary.split(" entries")[0].split(",")[-1])
    phases: dict[str, dict[str, int]] = {}
    caches: list[str] = []
    for path in glob.glob(out + ".*"):
        trigger, counts, caches = read_dump(path)
        if trigger:
            phases[trigger] = counts
    per_op = {}
    for phase in PHASES:
        run, loop = phases[phase], phases[phase + "_loop"]
        per_op[phase] = {col: sum(run.get(e, 0) - loop.get(e, 0) for e in events) / entries
                         for col, events in COLUMNS}
    return {"map": NAMES[name], "slots": slots, "delta": delta, "entries": entries, "summary": summary,
            "per_op": per_op, "caches": caches}


def run_counters(native_dir: str, out: str, smoke: bool) -> list[str]:
    """Profiles every run; writes counters.json and counters.md.  Returns the files written."""
    if not shutil.which("valgrind"):
        print("counters: valgrind is not installed; no counters this time", flush=True)
        return []
    results = []
    with tempfile.TemporaryDirectory(prefix="quorvel-counters-") as work:
        for name, slots, delta in SMOKE_RUNS if smoke else RUNS:
            r = profile(native_dir, name, slots, delta, work)
            print(f"counters: {r['map']}, {slots:,} slots, load {1 - delta:g}: "
                  + ", ".join(f"{p} {r['per_op'][p]['instructions']:.0f}" for p in PHASES)
                  + " instructions per operation", flush=True)
            results.append(r)
    data = {"perf": perf_available(), "caches": CACHES, "results": results}
    with open(os.path.join(out, "counters.json"), "w") as f:
        json.dump(data, f, indent=1)
    return [os.path.join(out, "counters.json")] + write_report(out)


def write_report(folder: str) -> list[str]:
    path = os.path.join(folder, "counters.json")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        data = json.load(f)
    lines = ["### Counters per operation (callgrind, loop and setup subtracted)", ""]
    if data["perf"]:
        lines += [f"Hardware counters are not available here ({data['perf']}), so these come from "
                  "valgrind's simulation: instructions are exact, branch and cache figures are "
                  "valgrind's models.", ""]
    results = data["results"]
    if results:
        lines += ["Simulated caches: " + "; ".join(results[0]["caches"]) + ".", ""]
    for slots, delta in sorted({(r["slots"], r["delta"]) for r in results}, key=lambda k: (k[0], -k[1])):
        rows = [r for r in results if r["slots"] == slots and r["delta"] == delta]
        lines += [f"#### About {slots:,} slots, load {1 - delta:g}", "",
                  "| map | entries | operation | " + " | ".join(c for c, _ in COLUMNS) + " |",
                  "|---|---|---|" + "---|" * len(COLUMNS)]
        for phase, title in (("fill", "insert (fill)"), ("hit", "lookup hit"), ("miss", "lookup miss")):
            for r in rows:
                cells = [f"{r['per_op'][phase][c]:.1f}" if c != "instructions" else f"{r['per_op'][phase][c]:.0f}"
                         for c, _ in COLUMNS]
                lines.append(f"| {r['map']} | {r['entries']:,} | {title} | " + " | ".join(cells) + " |")
        lines.append("")
    path = os.path.join(folder, "counters.md")
    with open(path, "w") as f:
        f.write("\n".join(lines))
    return [path]


if __name__ == "__main__":
    for p in run_counters(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else os.path.join(
            os.path.dirname(__file__), "results"), smoke=False):
        print("wrote", p)
