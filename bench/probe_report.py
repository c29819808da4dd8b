"""Table and plot of the probe counts (probe_counts, the counting build).

    python probe_report.py RESULTS_DIR      # reads probes.csv, writes probes.md and probes.png

The plot sets groups probed against 1/δ (log axis) beside the published
bounds: elastic hashing O(1) amortised and O(log 1/δ) worst-case expected
probes per insertion, funnel hashing O(log² 1/δ) worst-case expected.  Its
third panel divides each measured cost by its bound: a bound holds when
that ratio stays level or falls as δ shrinks.
"""

from __future__ import annotations

import csv
import math
import os
import sys

NAMES = {"elastic": "elastic", "funnel": "funnel"}
COLORS = {"elastic": "tab:blue", "funnel": "tab:orange"}


def read(path: str) -> list[dict]:
    with open(path) as f:
        rows = list(csv.DictReader(f))
    for r in rows:
        for k, v in r.items():
            if k != "map":
                r[k] = float(v)
    return rows


def bound(name: str, delta: float) -> float:
    """The worst-case expected insertion bound, up to its constant."""
    l = math.log2(1 / delta)
    return l if name == "elastic" else l * l


def table(rows: list[dict]) -> str:
    lines = [
        "| map | δ | load | insert mean | insert peak | insert max | peak / bound | hit mean | hit max | miss mean | miss max |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        grew = " (grew)" if r["grew"] else ""
        lines.append(
            f"| {r['map']} | {r['delta']:g} | {r['load']:.4f}{grew} | {r['insert_mean']:.2f} | {r['insert_peak']:.2f} | "
            f"{r['insert_max']:.0f} | {r['insert_peak'] / bound(r['map'], r['delta']):.2f} | {r['hit_mean']:.2f} | "
            f"{r['hit_max']:.0f} | {r['miss_mean']:.2f} | {r['miss_max']:.0f} |")
    return "\n".join(lines)


def plot(rows: list[dict], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(16, 4.8))
    ins, look, norm = axes
    for name in NAMES:
        mine = [r for r in rows if r["map"] == name and not r["grew"]]
        if not mine:
            continue
        x = [1 / r["delta"] for r in mine]
        c = COLORS[name]
        ins.plot(x, [r["insert_mean"] for r in mine], "o-", color=c, label=f"{name}: mean (amortised)")
        ins.plot(x, [r["insert_peak"] for r in mine], "s--", color=c, label=f"{name}: peak window mean (worst-case expected)")
        ins.plot(x, [r["insert_max"] for r in mine], "x:", color=c, label=f"{name}: max")
        look.plot(x, [r["hit_mean"] for r in mine], "o-", color=c, label=f"{name}: hit mean")
        look.plot(x, [r["hit_max"] for r in mine], "x:", color=c, label=f"{name}: hit max")
        look.plot(x, [r["miss_mean"] for r in mine], "s--", color=c, label=f"{name}: miss mean")
        look.plot(x, [r["miss_max"] for r in mine], "+-.", color=c, alpha=0.6, label=f"{name}: miss max")
        label = "log 1/δ" if name == "elastic" else "log² 1/δ"
        norm.plot(x, [r["insert_peak"] / bound(name, r["delta"]) for r in mine], "s--", color=c,
                  label=f"{name}: peak / {label}")
        norm.plot(x, [r["insert_max"] / bound(name, r["delta"]) for r in mine], "x:", color=c,
                  label=f"{name}: max / {label}")
        if name == "elastic":
            norm.plot(x, [r["insert_mean"] for r in mine], "o-", color=c, label="elastic: mean / 1")

    # Reference shapes of the bounds, scaled to sit on the measured worst-case
    # expected costs at the smallest δ where each map was measured.
    xs = sorted({1 / r["delta"] for r in rows})
    for name, style in (("elastic", (0, (4, 2))), ("funnel", (0, (1, 2)))):
        mine = [r for r in rows if r["map"] == name and not r["grew"]]
        if not mine:
            continue
        last = min(mine, key=lambda r: r["delta"])
        k = last["insert_peak"] / bound(name, last["delta"])
        xr = [x for x in xs if x >= 1 / max(r["delta"] for r in mine)]
        label = f"{k:.2f}·log₂ 1/δ" if name == "elastic" else f"{k:.2f}·log₂² 1/δ"
        ins.plot(xr, [k * bound(name, 1 / x) for x in xr], color="black", linestyle=style, linewidth=1,
                 label=f"bound shape {label} ({name})")

    for ax, title, ylabel in (
        (ins, "groups probed per insertion", "groups"),
        (look, "groups probed per lookup", "groups"),
        (norm, "insertion cost ÷ published bound", "ratio"),
    ):
        ax.set_xscale("log")
        ax.set_xlabel("1 / δ   (load 1 − δ)")
        ax.set_ylabel(ylabel)
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    ins.set_yscale("log")
    look.set_yscale("log")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def write_report(folder: str, plots: bool = True) -> list[str]:
    rows = read(os.path.join(folder, "probes.csv"))
    path = os.path.join(folder, "probes.md")
    with open(path, "w") as f:
        f.write(table(rows) + "\n")
    written = [path]
    if plots:
        png = os.path.join(folder, "probes.png")
        plot(rows, png)
        written.append(png)
    return written


if __name__ == "__main__":
    for p in write_report(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "results")):
        print("wrote", p)
