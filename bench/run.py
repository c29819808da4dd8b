"""Runs every benchmark and writes tables and plots under bench/results/.

    python run.py --native BUILD/bench            # everything
    python run.py --native BUILD/bench --smoke    # a few seconds, for CI

The Python benchmark compares dict with both maps (bench_python.py); the
native one compares the core maps with C++ hash tables (native_bench); the
probe counts compare groups probed against the load (probe_counts).
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import platform
import subprocess
import sys

import bench_python

HERE = os.path.dirname(os.path.abspath(__file__))


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
    return f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}, Python {platform.python_version()}"


def run_native(native_dir: str, out: str, smoke: bool) -> None:
    env = dict(os.environ)
    args = [os.path.join(native_dir, "native_bench"), f"--benchmark_out={out}", "--benchmark_out_format=json"]
    if smoke:
        env.update(QUORVEL_BENCH_SLOTS="20000", QUORVEL_BENCH_GROW="10000")
        args += ["--benchmark_min_time=0.01s", "--benchmark_filter=.*/(0.1|0.01)/.*|grow/.*"]
    subprocess.run(args, env=env, check=True)


def run_probes(native_dir: str, out: str, smoke: bool) -> list[dict]:
    slots = "20000" if smoke else str(1 << 20)
    text = subprocess.run([os.path.join(native_dir, "probe_counts"), slots], check=True,
                          capture_output=True, text=True).stdout
    with open(out, "w") as f:
        f.write(text)
    return list(csv.DictReader(io.StringIO(text)))


def plot_probes(rows: list[dict], folder: str) -> str:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2))
    for name in sorted({r["map"] for r in rows}):
        mine = [r for r in rows if r["map"] == name]
        x = [1 / float(r["delta"]) for r in mine]
        short = name.split("::")[-1]
        axes[0].plot(x, [float(r["insert_mean"]) for r in mine], marker="o", label=f"{short} mean")
        axes[0].plot(x, [float(r["insert_max"]) for r in mine], marker="x", linestyle="--", label=f"{short} max")
        axes[1].plot(x, [float(r["hit_mean"]) for r in mine], marker="o", label=f"{short} hit")
        axes[1].plot(x, [float(r["miss_mean"]) for r in mine], marker="x", linestyle="--", label=f"{short} miss")
    for ax, title in zip(axes, ("groups probed per insertion", "groups probed per lookup")):
        ax.set_xscale("log")
        ax.set_xlabel("1 / delta (load = 1 - delta)")
        ax.set_title(title)
        ax.legend(fontsize=8)
    fig.tight_layout()
    path = os.path.join(folder, "probes.png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native", required=True, help="folder holding native_bench and probe_counts")
    parser.add_argument("--out", default=os.path.join(HERE, "results"))
    parser.add_argument("--smoke", action="store_true", help="a run of a few seconds")
    parser.add_argument("--skip-python", action="store_true")
    parser.add_argument("--skip-native", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "machine.txt"), "w") as f:
        f.write(machine() + "\n")
    print(machine())

    if not args.skip_python:
        py_args = ["--json", os.path.join(args.out, "python.json")]
        py_args += ["--sizes", "1000", "--repeat", "1"] if args.smoke else ["--plots", args.out]
        bench_python.main(py_args)
    if not args.skip_native:
        run_native(args.native, os.path.join(args.out, "native.json"), args.smoke)
        rows = run_probes(args.native, os.path.join(args.out, "probes.csv"), args.smoke)
        for r in rows:
            print(",".join(r.values()))
        if not args.smoke:
            print("wrote", plot_probes(rows, args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
