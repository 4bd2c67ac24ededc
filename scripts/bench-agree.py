#!/usr/bin/env python3
"""Reads two tables printed by scripts/bench.sh and says, row by row, whether
they agree within their printed spread. A figure printed as
"MEDIAN (LOW to HIGH)" agrees when each run's median lies within the other
run's lowest and highest, widened by half a unit of the last printed digit.
A row is judged by what it compares, the module beside its floor (its last
column); its module and floor figures move with the machine's own speed
between runs, and are reported apart.
  scripts/bench-agree.py RUN1 RUN2"""
import difflib
import re
import sys

SPREAD = re.compile(r"([-+]?[0-9.]+)[^(]*\(([-+]?[0-9.]+) to ([-+]?[0-9.]+)\)")


def rows(path):
    table = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if len(cells) == 4 and line.startswith("| ") and not cells[0].startswith("measure"):
                table.append(cells)
    return table


def shape(measure):
    """A row's name without the figures some names carry (the walk's time)."""
    return re.sub(r"[0-9.]+ ms", "# ms", measure)


def figure(cell):
    m = SPREAD.search(cell)
    if not m:
        return None
    decimals = len(m.group(1).split(".")[1]) if "." in m.group(1) else 0
    half = 0.5 * 10 ** -decimals
    median, low, high = map(float, m.groups())
    return median, low - half, high + half


def agree(a, b):
    x, y = figure(a), figure(b)
    if x is None or y is None:
        return None
    return y[1] <= x[0] <= y[2] and x[1] <= y[0] <= x[2]


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    first, second = rows(sys.argv[1]), rows(sys.argv[2])
    # A run may lack rows the other has (a text size whose copies did not fit).
    pairs = []
    matcher = difflib.SequenceMatcher(None, [shape(r[0]) for r in first], [shape(r[0]) for r in second], False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag == "equal":
            pairs += zip(first[i1:i2], second[j1:j2])
            continue
        for r in first[i1:i2]:
            print(f"only in the first run: {r[0]}")
        for r in second[j1:j2]:
            print(f"only in the second run: {r[0]}")
    judged = differ = moved = 0
    for (measure, *cells), (_, *other) in pairs:
        verdict = agree(cells[2], other[2])
        if verdict is None:
            continue
        judged += 1
        differ += 0 if verdict else 1
        sides = [name for name, a, b in zip(["module", "floor"], cells, other) if agree(a, b) is False]
        moved += 1 if sides else 0
        note = f" (the {' and the '.join(sides)} moved)" if sides else ""
        print(f"{'agree' if verdict else 'DIFFER'}: {measure}{note}")
    print(f"{judged - differ} of {judged} rows agree; in {moved} of them the module's or the floor's own figure moved")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
