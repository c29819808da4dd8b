"""Runs the benchmarks and writes their tables and plots under bench/results/.

    python run.py --native BUILD/bench                 # everything
    python run.py --native BUILD/bench --skip-python   # the native part alone
    python run.py --native BUILD/bench --smoke         # a few seconds, for CI
    python run.py --report-only                        # tables and plots from the results there

The Python part compares dict with both maps, grown and packed
(bench_python.py), and churns both maps at their fill limit
(churn_python.py).  The native part counts groups probed against the load
(probe_counts), churns the core maps at their fill limit (churn_bench, and
churn_probes with probe counting), counts instructions, branch
mispredictions and cache misses per operation under callgrind (counters.py
on profile_maps), and compares the core maps with C++ hash tables
(native_bench).  Every step prints a line as it starts or ends.  A smoke run
writes into a scratch folder unless --out is given, so it never overwrites
committed results.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Full run: load benchmarks at these table sizes (slots), growth at these entry counts.
SLOTS = "16384,131072,1048576,8388608"
GROWTH = "1e4,1e5,1e6,1e7"
PROBE_SLOTS = str(1 << 22)
PROBE_SEEDS = "1"
# Churn: (program, slots, steps per slot, seconds of wall time per run at
# most, seconds spent on each kind of lookup at each checkpoint).
CHURN = [("churn_bench", 1 << 17, 10, 10, 0.02), ("churn_bench", 1 << 20, 10, 150, 0.02),
         ("churn_probes", 1 << 17, 10, 10, 0.02)]
SMOKE_CHURN = [("churn_bench", 4096, 1, 1, 0.001), ("churn_probes", 4096, 1, 1, 0.001)]
PYTHON_CHURN = ["--capacity", "100000", "--budget", "15"]
SMOKE_PYTHON_CHURN = ["--capacity", "2000", "--steps-per-slot", "1", "--budget", "1", "--lookup-seconds", "0.001"]


def machine() -> str:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
            mem = f", {kb / 2**20:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    return (f"{cpu}, {os.cpu_count()} cores{mem}, {platform.system()} {platform.release()}, "
            f"Python {platform.python_version()}")


class Steps:
    """Prints one line as each step of the run starts and ends, with the time it took."""

    def __init__(self) -> None:
        self.started = time.monotonic()

    def begin(self, what: str) -> float:
        print(f"== bench: {what} ({self.elapsed()})", flush=True)
        return time.monotonic()

    def end(self, what: str, since: float) -> None:
        print(f"== bench: {what} done in {time.monotonic() - since:.0f} s ({self.elapsed()})", flush=True)

    def elapsed(self) -> str:
        s = int(time.monotonic() - self.started)
        return f"{s // 60}:{s % 60:02d} into the run"


def run_native(native_dir: str, out: str, smoke: bool) -> None:
    env = dict(os.environ)
    if smoke:
        env.update(QUORVEL_BENCH_SLOTS="4096", QUORVEL_BENCH_GROW="1e4", QUORVEL_BENCH_QUICK="1")
    else:
        env.update(QUORVEL_BENCH_SLOTS=SLOTS, QUORVEL_BENCH_GROW=GROWTH)
    args = [os.path.join(native_dir, "native_bench"), f"--benchmark_out={out}", "--benchmark_out_format=json"]
    subprocess.run(args, env=env, check=True)
    # Kept compact for the repository: every repetition, one line each; the
    # aggregates (mean, median, ...) are left out, the report recomputes them.
    with open(out) as f:
        data = json.load(f)
    runs = [b for b in data["benchmarks"] if b.get("run_type") != "aggregate"]
    with open(out, "w") as f:
        f.write('{"context": ' + json.dumps(data["context"]) + ',\n"benchmarks": [\n')
        f.write(",\n".join(json.dumps(b) for b in runs) + "\n]}\n")


def run_probes(native_dir: str, out: str, smoke: bool) -> None:
    args = [os.path.join(native_dir, "probe_counts")] + (["16384", "1"] if smoke else [PROBE_SLOTS, PROBE_SEEDS])
    text = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    with open(out, "w") as f:
        f.write(text)
    print(text, end="")


def run_churn(native_dir: str, out: str, smoke: bool) -> None:
    """The native churn runs, each reported as it ends; growth is reported on stderr as it happens."""
    from churn_report import describe

    results: dict[str, list] = {"timed": [], "counted": []}
    for program, slots, steps, budget, lookups in SMOKE_CHURN if smoke else CHURN:
        args = [os.path.join(native_dir, program), str(slots), str(steps), str(budget), str(lookups)]
        with subprocess.Popen(args, stdout=subprocess.PIPE, text=True) as proc:
            for line in proc.stdout:
                run = json.loads(line)
                results["counted" if run["counting"] else "timed"].append(run)
                print(f"churn ({program}): " + describe(run), flush=True)
        if proc.returncode != 0:
            raise subprocess.CalledProcessError(proc.returncode, args)
    with open(out, "w") as f:
        json.dump(results, f, indent=1)


def write_reports(out: str, plots: bool) -> None:
    import before_after
    import churn_report
    import counters
    import native_report
    import probe_report
    import python_report

    written = python_report.write_report(out, plots) + churn_report.write_report(out, plots)
    written += counters.write_report(out)
    if os.path.exists(os.path.join(out, "probes.csv")):
        written += probe_report.write_report(out, plots)
    if os.path.exists(os.path.join(out, "native.json")):
        written += native_report.write_report(out, plots)
    written += before_after.write_report(out)
    for path in written:
        print("wrote", path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native", help="build folder holding native_bench, probe_counts, churn_* and profile_maps")
    parser.add_argument("--out", help="results folder (default bench/results, or a scratch folder with --smoke)")
    parser.add_argument("--smoke", action="store_true", help="a run of a few seconds")
    parser.add_argument("--skip-python", action="store_true", help="leave out the Python part")
    parser.add_argument("--skip-native", action="store_true", help="leave out the native part")
    parser.add_argument("--report-only", action="store_true",
                        help="run nothing: rebuild the tables and plots from the results already there")
    args = parser.parse_args()
    if not (args.skip_native or args.report_only) and not args.native:
        parser.error("--native is needed unless --skip-native")
    out = args.out or (tempfile.mkdtemp(prefix="quorvel-bench-") if args.smoke else os.path.join(HERE, "results"))
    os.makedirs(out, exist_ok=True)
    plots = not args.smoke
    steps = Steps()

    if not args.report_only:
        with open(os.path.join(out, "machine.txt"), "w") as f:
            f.write(machine() + "\n")
        print(machine(), flush=True)
        print(f"results go to {out}", flush=True)
        if not args.skip_python:
            # Imported here so that the native part runs without the module.
            import bench_python
            import churn_python

            t = steps.begin("Python: dict against both maps, grown and packed")
            py_args = ["--json", os.path.join(out, "python.json")]
            py_args += ["--sizes", "1000", "--repeat", "1", "--sweep-points", "4"] if args.smoke else []
            bench_python.main(py_args)
            steps.end("Python: dict against both maps", t)
            t = steps.begin("Python: churn at the fill limit")
            churn_python.main(["--json", os.path.join(out, "churn_python.json")]
                              + (SMOKE_PYTHON_CHURN if args.smoke else PYTHON_CHURN))
            steps.end("Python: churn", t)
        if not args.skip_native:
            import counters

            t = steps.begin("native: groups probed against the load (probe_counts)")
            run_probes(args.native, os.path.join(out, "probes.csv"), args.smoke)
            steps.end("native: probe counts", t)
            t = steps.begin("native: churn at the fill limit (churn_bench, churn_probes)")
            run_churn(args.native, os.path.join(out, "churn_native.json"), args.smoke)
            steps.end("native: churn", t)
            t = steps.begin("native: counters per operation under callgrind (profile_maps)")
            counters.run_counters(args.native, out, args.smoke)
            steps.end("native: counters", t)
            t = steps.begin("native: our maps against C++ hash tables (native_bench)")
            run_native(args.native, os.path.join(out, "native.json"), args.smoke)
            steps.end("native: native_bench", t)

    t = steps.begin("tables and plots")
    write_reports(out, plots)
    steps.end("tables and plots", t)
    native_md = os.path.join(out, "native.md")
    if not args.skip_native and os.path.exists(native_md):
        with open(native_md) as f:
            print(f.read().split("### Every load benchmark")[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
