"""Runs the benchmarks and writes their tables and plots under bench/results/.

    python run.py --native BUILD/bench                 # everything
    python run.py --native BUILD/bench --skip-python   # the native part alone
    python run.py --native BUILD/bench --smoke         # a few seconds, for CI

The Python benchmark compares dict with both maps (bench_python.py); the
native one compares the core maps with C++ hash tables (native_bench, then
native_report.py); the probe counts set groups probed against the load
(probe_counts, then probe_report.py).  A smoke run writes into a scratch
folder unless --out is given, so it never overwrites committed results.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# Full run: load benchmarks at these table sizes (slots), growth at these entry counts.
SLOTS = "16384,131072,1048576,8388608"
GROWTH = "1e4,1e5,1e6,1e7"
PROBE_SLOTS = str(1 << 22)
PROBE_SEEDS = "1"


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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native", help="build folder holding native_bench and probe_counts")
    parser.add_argument("--out", help="results folder (default bench/results, or a scratch folder with --smoke)")
    parser.add_argument("--smoke", action="store_true", help="a run of a few seconds")
    parser.add_argument("--skip-python", action="store_true", help="leave out the Python-level benchmark")
    parser.add_argument("--skip-native", action="store_true", help="leave out the native benchmark and probe counts")
    parser.add_argument("--report-only", action="store_true",
                        help="run nothing: rebuild the tables and plots from the results already there")
    args = parser.parse_args()
    if not (args.skip_native or args.report_only) and not args.native:
        parser.error("--native is needed unless --skip-native")
    out = args.out or (tempfile.mkdtemp(prefix="quorvel-bench-") if args.smoke else os.path.join(HERE, "results"))
    os.makedirs(out, exist_ok=True)

    # Imported here so that the native part runs without the module or matplotlib.
    import native_report
    import probe_report

    plots = not args.smoke
    if not args.report_only:
        with open(os.path.join(out, "machine.txt"), "w") as f:
            f.write(machine() + "\n")
        print(machine(), flush=True)
        if not args.skip_python:
            import bench_python

            py_args = ["--json", os.path.join(out, "python.json")]
            py_args += ["--markdown", os.path.join(out, "python.md")]
            py_args += ["--sizes", "1000", "--repeat", "1"] if args.smoke else ["--plots", out]
            bench_python.main(py_args)
        if not args.skip_native:
            run_probes(args.native, os.path.join(out, "probes.csv"), args.smoke)
            run_native(args.native, os.path.join(out, "native.json"), args.smoke)
    if not args.skip_native:
        for path in probe_report.write_report(out, plots) + native_report.write_report(out, plots):
            print("wrote", path)
        with open(os.path.join(out, "native.md")) as f:
            print(f.read().split("### Every load benchmark")[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
