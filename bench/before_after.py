"""The bar tables of two benchmark runs side by side.

    python before_after.py RESULTS_DIR      # reads RESULTS_DIR/before/*.md and RESULTS_DIR/*.md,
                                            # writes RESULTS_DIR/before_after.md

Each report opens with a table of its bars (native.md, churn.md, python.md).
This joins the rows of the older run (in before/) and the newer one on the
columns that name a row, and puts each figure as "before → after", so that a
reader sees what changed without holding two files side by side.  Rows that
only one run has are left out and counted.
"""

from __future__ import annotations

import os
import sys

# Report, the heading its bar table follows, how many leading columns name a row.
TABLES = (
    ("native.md", "### The bars", 5),
    ("churn.md", "### Churn at the fill limit: the bar", 2),
    ("python.md", "### Targets", 4),
)


def first_table(path: str, heading: str) -> tuple[list[str], list[list[str]]]:
    """The header and rows of the first Markdown table after the heading."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(heading))
    table = []
    for line in lines[start + 1:]:
        if line.startswith("|"):
            table.append([cell.strip() for cell in line.strip("|").split("|")])
        elif table:
            break
    return table[0], table[2:]


def joined(before: str, after: str, heading: str, keys: int) -> list[str]:
    head, old_rows = first_table(before, heading)
    new_head, new_rows = first_table(after, heading)
    if new_head != head:
        return [f"(the columns of {os.path.basename(after)} changed; no comparison)"]
    old = {tuple(row[:keys]): row[keys:] for row in old_rows}
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    unmatched = 0
    for row in new_rows:
        was = old.get(tuple(row[:keys]))
        if was is None:
            unmatched += 1
            continue
        cells = [c if c == w else f"{w} → {c}" for w, c in zip(was, row[keys:])]
        lines.append("| " + " | ".join(row[:keys] + cells) + " |")
    if unmatched:
        lines += ["", f"{unmatched} rows of the newer run have no counterpart in the older one."]
    return lines


def write_report(folder: str) -> list[str]:
    older = os.path.join(folder, "before")
    if not os.path.isdir(older):
        return []
    out = ["# Bars before and after the speed work", "",
           "Each figure: the older run (`before/`) → this run; a figure that did not change is shown once.", ""]
    for name, heading, keys in TABLES:
        before, after = os.path.join(older, name), os.path.join(folder, name)
        if not (os.path.exists(before) and os.path.exists(after)):
            continue
        out += [f"## {name}", ""] + joined(before, after, heading, keys) + [""]
    path = os.path.join(folder, "before_after.md")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out))
    return [path]


if __name__ == "__main__":
    print("\n".join(write_report(sys.argv[1] if len(sys.argv) > 1 else "results")))
