"""Tables and plots of the churn benchmarks.

    python churn_report.py RESULTS_DIR

reads churn_native.json (churn_bench and churn_probes, the counting build)
and churn_python.json (churn_python.py), whichever are there, and writes
churn.md, churn_native.png and churn_python.png.

A run is judged by its *end*: the median of the checkpoints in the second
half of the steps it ran (a purge rebuild makes lookups fast again for a
while, so one checkpoint alone could catch a good moment), against the
checkpoint right after the fill.  The bar: hit and miss at most 1.5 times
their cost right after the fill, after 10 x capacity steps, with the
capacity unchanged.
"""

from __future__ import annotations

import json
import os
import statistics
import sys

BAR = 1.5
COLORS = {"elastic": "tab:blue", "funnel": "tab:orange", "ElasticHashMap": "tab:blue",
          "FunnelHashMap": "tab:orange", "dict": "tab:gray"}
MEASURES = (("hit_ns", "lookup hit"), ("miss_ns", "lookup miss"), ("step_ns", "churn step"))
GROUPS = (("hit_groups", "hit"), ("miss_groups", "miss"), ("step_lookup_groups", "step: lookups"),
          ("step_place_groups", "step: placements"))


def load(path: str) -> dict | None:
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def describe(run: dict) -> str:
    """One line of progress per run, native or Python."""
    first, last = run["checkpoints"][0], run["checkpoints"][-1]
    text = (f"{run['map']:<15} delta {run['delta']:<6g} {run['slots']:,} slots, len {run['max_insertions']:,}: "
            f"{run['steps']:,} steps in {run['wall_s']:.1f} s; hit {first['hit_ns']:.0f} -> {last['hit_ns']:.0f} ns, "
            f"miss {first['miss_ns']:.0f} -> {last['miss_ns']:.0f} ns")
    if last["step_ns"] is not None:
        text += f", step {last['step_ns']:.0f} ns"
    if last.get("miss_groups") is not None:
        text += f"; groups per miss {first['miss_groups']:.1f} -> {last['miss_groups']:.1f}"
    if run["stopped"]:
        text += f"; STOPPED by the {run['budget_s']:g} s budget at {run['steps'] / run['slots']:.2f} x capacity"
    if grew(run):
        when = (f"after {run['first_growth_step']:,} steps" if run.get("first_growth_step", -1) >= 0 else
                f"between steps {run['grown_after_step']:,} and {run['grown_by_step']:,}")
        text += f"; !! CAPACITY CHANGED {run['slots']:,} -> {run['grown_capacity']:,} {when}"
    return text


def after_fill(run: dict, field: str) -> float | None:
    """The figure right after the fill; for the step cost (which has no
    figure at step 0), the first stretch of steps."""
    points = run["checkpoints"]
    if field.startswith("step_"):
        return points[1][field] if len(points) > 1 else None
    return points[0][field]


def end(run: dict, field: str) -> float | None:
    points = [p for p in run["checkpoints"][1:] if p["step"] >= run["steps"] / 2 and p[field] is not None]
    return statistics.median(p[field] for p in points) if points else None


def worst(run: dict, field: str) -> float | None:
    values = [p[field] for p in run["checkpoints"][1:] if p[field] is not None]
    return max(values) if values else None


def fmt(x: float | None) -> str:
    if x is None:
        return "–"
    return f"{x:.2f}" if x < 10 else f"{x:.1f}" if x < 100 else f"{x:,.0f}"


def end_ratio(run: dict, field: str) -> tuple[float | None, float | None]:
    """The end of a run, and that divided by its value right after the fill
    (None where there is no figure, or nothing to divide by: a placement
    can examine no group at all)."""
    base, last = after_fill(run, field), end(run, field)
    return last, (last / base if last is not None and base else None)


def ratio_cell(run: dict, field: str, mark: bool) -> str:
    last, r = end_ratio(run, field)
    if last is None:
        return "–"
    if r is None:
        return fmt(last)
    return f"{fmt(last)} ({r:.2f}×{' ✗' if mark and r > BAR else ''})"


def capacity_cell(run: dict) -> str:
    if run.get("first_growth_step", -1) >= 0:
        return f"✗ {run['slots']:,} → {run['grown_capacity']:,} after {run['first_growth_step']:,} steps"
    if run.get("grown_by_step") is not None:
        return (f"✗ {run['slots']:,} → {run['grown_capacity']:,} between steps {run['grown_after_step']:,} "
                f"and {run['grown_by_step']:,}")
    return f"{run['slots']:,} kept" if "first_growth_step" in run or run["map"] != "dict" else "–"


def steps_cell(run: dict) -> str:
    text = f"{run['steps'] / run['slots']:.2f}× capacity"
    if run["stopped"]:
        text += f" (✗ stopped by the {run['budget_s']:g} s budget)"
    return text


def timed_table(runs: list[dict], mark: bool = True) -> list[str]:
    lines = ["| map | δ | len | steps run | fill: ns per insertion | after fill: hit / miss / step ns | end: hit ns | "
             "end: miss ns | end: step ns | worst hit / miss | capacity |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for run in runs:
        base = " / ".join(fmt(after_fill(run, f)) for f, _ in MEASURES)
        worst_cell = " / ".join(
            f"{worst(run, f) / after_fill(run, f):.1f}×" for f in ("hit_ns", "miss_ns"))
        lines.append(f"| {run['map']} | {run['delta']:g} | {run['max_insertions']:,} | {steps_cell(run)} | "
                     f"{fmt(run.get('fill_ns'))} | {base} | "
                     f"{ratio_cell(run, 'hit_ns', mark)} | {ratio_cell(run, 'miss_ns', mark)} | "
                     f"{ratio_cell(run, 'step_ns', False)} | {worst_cell} | {capacity_cell(run)} |")
    return lines


def counted_table(runs: list[dict]) -> list[str]:
    lines = ["| map | δ | steps run | fill: groups per placement | after fill: hit / miss / step lookup / step "
             "placement groups | end: hit groups | end: miss groups | end: lookup groups per step | "
             "end: placement groups per step | end: placements per step | capacity |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for run in runs:
        base = " / ".join(fmt(after_fill(run, f)) for f, _ in GROUPS)
        lines.append(f"| {run['map']} | {run['delta']:g} | {steps_cell(run)} | {fmt(run.get('fill_place_groups'))} | "
                     f"{base} | "
                     f"{ratio_cell(run, 'hit_groups', True)} | {ratio_cell(run, 'miss_groups', True)} | "
                     f"{ratio_cell(run, 'step_lookup_groups', False)} | "
                     f"{ratio_cell(run, 'step_place_groups', False)} | "
                     f"{fmt(end(run, 'step_placements'))} | {capacity_cell(run)} |")
    return lines


def verdict(run: dict | None, field: str) -> str:
    """A run's end against the bar, for the targets table."""
    if run is None:
        return "–"
    _, r = end_ratio(run, field)
    if r is None:
        return "–"
    bad = r > BAR or run["stopped"]
    return f"{r:.2f}" + (" ✗" if bad else "") + (" (stopped)" if run["stopped"] else "")


def grew(run: dict | None) -> bool:
    return run is not None and (run.get("first_growth_step", -1) >= 0 or run.get("grown_by_step") is not None)


def targets_table(native: dict | None, python: dict | None) -> list[str]:
    timed = {(r["map"], r["delta"], r["slots"]): r for r in (native or {}).get("timed", [])}
    counted = {(r["map"], r["delta"]): r for r in (native or {}).get("counted", [])}
    py = {({"ElasticHashMap": "elastic", "FunnelHashMap": "funnel"}.get(r["map"], r["map"]), r["delta"]): r
          for r in (python or {}).get("runs", [])}
    sizes = sorted({s for _, _, s in timed})
    head = ["map", "δ"] + [f"native {s:,} slots: {w}" for s in sizes for w in ("hit", "miss")]
    if counted:
        head += ["groups: hit", "groups: miss"]
    if py:
        head += ["Python: hit", "Python: miss"]
    head += ["capacity unchanged"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    deltas = sorted({d for _, d, _ in timed} | {d for _, d in counted} | {d for _, d in py}, reverse=True)
    for name in ("elastic", "funnel"):
        for delta in deltas:
            cells = [name, f"{delta:g}"]
            for s in sizes:
                cells += [verdict(timed.get((name, delta, s)), f) for f in ("hit_ns", "miss_ns")]
            if counted:
                cells += [verdict(counted.get((name, delta)), f) for f in ("hit_groups", "miss_groups")]
            if py:
                cells += [verdict(py.get((name, delta)), f) for f in ("hit_ns", "miss_ns")]
            runs = [timed.get((name, delta, s)) for s in sizes] + [counted.get((name, delta)), py.get((name, delta))]
            cells.append("✗ grew" if any(grew(r) for r in runs) else "yes")
            lines.append("| " + " | ".join(cells) + " |")
    return lines


def write_markdown(native: dict | None, python: dict | None, path: str) -> None:
    lines = ["### Churn at the fill limit: the bar", "",
             f"End of the run ÷ right after the fill (bar: ≤ {BAR}× after 10× capacity steps, capacity "
             "unchanged); ✗ marks a figure over the bar, a run stopped by its time budget, or a map that grew.", ""]
    lines += targets_table(native, python) + [""]
    if native:
        for slots in sorted({r["slots"] for r in native.get("timed", [])}):
            lines += [f"### Native churn, {slots:,} slots (ns; end ÷ after the fill in parentheses)", ""]
            lines += timed_table([r for r in native["timed"] if r["slots"] == slots]) + [""]
        if native.get("counted"):
            slots = native["counted"][0]["slots"]
            lines += [f"### Native churn, groups examined ({slots:,} slots, the counting build)", ""]
            lines += counted_table(native["counted"]) + [""]
    if python:
        lines += [f"### Python churn, capacity {python['capacity']:,}, int keys (ns; dict at the same len for "
                  "reference)", ""]
        lines += timed_table(python["runs"]) + [""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def plot_runs(ax, runs: list[dict], field: str, label_of) -> None:
    """One line per run: the field over time, relative to right after the fill."""
    for run in runs:
        base = after_fill(run, field)
        pts = [(p["step"] / run["slots"], p[field] / base) for p in run["checkpoints"][1:]
               if p[field] is not None and base]
        if not pts:
            continue
        style = "-" if run["slots"] == min(r["slots"] for r in runs) else "--"
        ax.plot(*zip(*pts), style, marker="o", markersize=3, color=COLORS.get(run["map"], "black"),
                label=label_of(run))
        grown = [(p["step"] / run["slots"], p[field] / base) for p in run["checkpoints"][1:]
                 if p["capacity"] not in (None, run["slots"]) and p[field] is not None and base]
        if grown:
            ax.plot(*zip(*grown), "x", color="red", markersize=7)
        if run["stopped"]:
            ax.plot(*pts[-1], "s", color="black", markersize=6, fillstyle="none")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.axhline(BAR, color="green", linewidth=0.8, linestyle=":")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.grid(True, which="both", alpha=0.3)


def plot(runs_by_delta: dict, fields: list[tuple[str, str]], label_of, title: str, path: str,
         ylabel: str = "÷ right after the fill") -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    deltas = sorted(runs_by_delta, reverse=True)
    fig, axes = plt.subplots(len(deltas), len(fields), figsize=(4.3 * len(fields), 3.2 * len(deltas)),
                             squeeze=False, sharex=True)
    for i, delta in enumerate(deltas):
        for j, (field, name) in enumerate(fields):
            ax = axes[i][j]
            plot_runs(ax, runs_by_delta[delta], field, label_of)
            ax.set_title(f"{name}, δ = {delta:g}", fontsize=10)
            if j == 0:
                ax.set_ylabel(ylabel)
            if i == len(deltas) - 1:
                ax.set_xlabel("churn steps ÷ capacity")
    axes[0][0].legend(fontsize=7)
    fig.suptitle(title + "   (x: capacity changed; □: stopped by the time budget; dotted: the bar)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def by_delta(runs: list[dict]) -> dict:
    out: dict = {}
    for run in runs:
        out.setdefault(run["delta"], []).append(run)
    return out


def write_report(folder: str, plots: bool = True) -> list[str]:
    native = load(os.path.join(folder, "churn_native.json"))
    python = load(os.path.join(folder, "churn_python.json"))
    if native is None and python is None:
        return []
    path = os.path.join(folder, "churn.md")
    write_markdown(native, python, path)
    written = [path]
    if not plots:
        return written
    if native:
        runs = native.get("timed", [])
        counted = native.get("counted", [])
        png = os.path.join(folder, "churn_native.png")
        plot(by_delta(runs), list(MEASURES), lambda r: f"{r['map']}, {r['slots']:,} slots",
             "Native churn at the fill limit (time)", png)
        written.append(png)
        if counted:
            png = os.path.join(folder, "churn_probes.png")
            plot(by_delta(counted), [("hit_groups", "groups per hit"), ("miss_groups", "groups per miss"),
                                     ("step_lookup_groups", "lookup groups per step"),
                                     ("step_place_groups", "placement groups per step")],
                 lambda r: f"{r['map']}, {r['slots']:,} slots", "Native churn at the fill limit (groups examined)",
                 png)
            written.append(png)
    if python:
        png = os.path.join(folder, "churn_python.png")
        plot(by_delta(python["runs"]), list(MEASURES), lambda r: r["map"],
             f"Python churn at the fill limit, capacity {python['capacity']:,}", png)
        written.append(png)
    return written


if __name__ == "__main__":
    for p in write_report(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "results")):
        print("wrote", p)
