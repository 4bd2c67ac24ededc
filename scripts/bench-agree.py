#!/usr/bin/env python3
"""Reads two tables printed by scripts/bench.sh and says, row by row, whether
they agree within their printed spread: a figure printed as
"MEDIAN (LOW to HIGH)" agrees when each run's median lies within the other
run's lowest and highest. Figures printed without a spread are compared as
they stand.
  scripts/bench-agree.py RUN1 RUN2"""
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


def agree(a, b):
    ma, mb = SPREAD.search(a), SPREAD.search(b)
    if not ma or not mb:
        return None
    (x, xl, xh), (y, yl, yh) = (map(float, ma.groups()), map(float, mb.groups()))
    return yl <= x <= yh and xl <= y <= xh


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    first, second = rows(sys.argv[1]), rows(sys.argv[2])
    if [shape(r[0]) for r in first] != [shape(r[0]) for r in second]:
        sys.exit("the two tables do not have the same rows")
    failed = 0
    for (measure, *cells), (_, *other) in zip(first, second):
        verdicts = [agree(a, b) for a, b in zip(cells, other)]
        if all(v is None for v in verdicts):
            continue
        bad = [i for i, v in enumerate(verdicts) if v is False]
        word = "agree" if not bad else "DIFFER in " + ", ".join(["module", "floor", "beside"][i] for i in bad)
        failed += 1 if bad else 0
        print(f"{word}: {measure}")
    print(f"{failed} row(s) differ")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
