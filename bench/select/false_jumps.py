"""False-jump rate of the automatic choice under no change, by n: the calibration table.

    .venv/bin/python bench/select/false_jumps.py [--methods priced ...]
        [--classes noise line smooth ar0.3 ar0.5] [--sizes 4 8 10 20 50 ...]
        [--series N] [--out rows.json]
    .venv/bin/python bench/select/false_jumps.py --table rows.json [more.json ...]

For every class and size it runs `--series` seeded series (by default 400 up to n = 300,
fewer above, see `default_series`), even sites for even seeds and sites jittered by up to 0.4
spacings for odd ones, and prints the share with any jump with its Wilson 95 % interval, the
even and jittered shares apart, how many of those jumps came from the constant-levels model
that replaced a smooth choice ("by steps"), and the mean seconds of one call. Methods are
those of run.py
(`priced` is the package's default, `vorn.select(x, y)`).

Classes (noise sd 1):
noise    pure normal noise
line     a line, slope -10 to 10 noise sd over the series
smooth   a sine of 0.5 to 2 periods, 2 to 6 noise sd
ar0.3, ar0.5   the same sine with AR(1) noise of that lag-one correlation (unit variance)
jump3, jump5   not a null: pure noise with one jump of 3 or 5 noise sd in the middle half of
         the sites (the price's cost in power; not in the default --classes)
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from nochange import sites  # noqa: E402  (even or jittered sites on [0, 1])

CLASSES = ("noise", "line", "smooth", "ar0.3", "ar0.5", "jump3", "jump5")
# What a dearer price costs: one real jump, where "any jump" is the share found.
POWER = ("jump3", "jump5")
SIZES = (4, 8, 10, 20, 50, 100, 300, 1000, 3000, 10_000, 100_000)


def default_series(n):
    """Many series where a call is cheap, a handful where it is not."""
    if n <= 300:
        return 400
    return {1000: 300, 3000: 150, 10_000: 60, 100_000: 12}.get(n, 3)


def ar1(rng, n, phi):
    """Stationary AR(1) noise of unit variance."""
    e = rng.standard_normal(n) * math.sqrt(1.0 - phi * phi)
    e[0] /= math.sqrt(1.0 - phi * phi)
    out = np.empty(n)
    acc = 0.0
    for i in range(n):
        acc = phi * acc + e[i]
        out[i] = acc
    return out


def make(kind, n, seed):
    return make_with_clean(kind, n, seed)[:2]


def make_with_clean(kind, n, seed):
    """Sites, values and the clean curve under the noise of one series."""
    rng = np.random.default_rng([seed, CLASSES.index(kind), n, 2223])
    x = sites(rng, n, bool(seed % 2))
    if kind == "noise":
        clean = np.zeros(n)
    elif kind in POWER:
        clean = np.where(x > rng.uniform(0.25, 0.75), float(kind[4:]), 0.0)
    elif kind == "line":
        clean = rng.uniform(-10.0, 10.0) * x + rng.uniform(-5.0, 5.0)
    else:
        clean = rng.uniform(2.0, 6.0) * np.sin(2 * np.pi * rng.uniform(0.5, 2.0) * x
                                               + rng.uniform(0.0, 2 * np.pi))
    if kind.startswith("ar"):
        noise = ar1(rng, n, float(kind[2:]))
    else:
        noise = rng.standard_normal(n)
    return x, clean + noise, clean


def wilson(k, n, z=1.959963984540054):
    """Wilson score interval of a binomial share."""
    if n == 0:
        return math.nan, math.nan
    p = k / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return max(0.0, centre - half), min(1.0, centre + half)


# Issue 22, AR(1) price: seven rules for the autocorrelation a jump's price reads were run
# here (--phi-rule, --constant-too, --then) by swapping the package's function for them. Since
# issue 18 the package has no such function to swap, and the runner is gone; the rules and
# their numbers stay in RESULTS.md ("Issue 22, AR(1) price").


def evaluate(method, kind, n, series):
    from run import run_method

    rows = []
    for seed in range(series):
        x, y = make(kind, n, seed)
        t0 = time.perf_counter()
        chosen = run_method(method, x, y)
        rows.append(dict(method=method, kind=kind, n=n, seed=seed, jittered=seed % 2,
                         jumps=int(chosen.fit.jumps.size), seconds=time.perf_counter() - t0,
                         segments=chosen.segments))
    return rows


def table(rows):
    lines = ["| method | class | n | series | any jump | 95 % interval | even | jittered | "
             "by steps | mean s |", "|---|---|---|---|---|---|---|---|---|---|"]
    keys = list(dict.fromkeys((r["method"], r["kind"], r["n"]) for r in rows))
    keys.sort(key=lambda k: (k[0], CLASSES.index(k[1]), k[2]))
    for method, kind, n in keys:
        rs = [r for r in rows if (r["method"], r["kind"], r["n"]) == (method, kind, n)]
        hit = sum(r["jumps"] > 0 for r in rs)
        lo, hi = wilson(hit, len(rs))
        parts = []
        for j in (0, 1):
            sub = [r for r in rs if r["jittered"] == j]
            parts.append(f"{sum(r['jumps'] > 0 for r in sub)}/{len(sub)}")
        lines.append(f"| {method} | {kind} | {n} | {len(rs)} | {hit / len(rs):.3f} | "
                     f"{lo:.3f}–{hi:.3f} | {parts[0]} | {parts[1]} | "
                     f"{sum(r['jumps'] > 0 and r.get('segments') == 'constant' for r in rs)} | "
                     f"{np.mean([r['seconds'] for r in rs]):.3f} |")
    return "\n".join(lines)


def side_by_side(files):
    """Series with any jump (of them by the constant-levels model) per class and n, one
    column per file of rows (named after the file)."""
    data = {Path(f).stem: json.loads(Path(f).read_text()) for f in files}
    first = next(iter(data.values()))
    keys = sorted(dict.fromkeys((r["kind"], r["n"]) for r in first),
                  key=lambda k: (CLASSES.index(k[0]), k[1]))
    lines = ["| class | n | " + " | ".join(data) + " |", "|---|---|" + "---|" * len(data)]
    for kind, n in keys:
        cells = []
        for rows in data.values():
            rs = [r for r in rows if (r["kind"], r["n"]) == (kind, n)]
            hit = [r for r in rs if r["jumps"] > 0]
            steps = sum(r.get("segments") == "constant" for r in hit)
            cells.append(f"{len(hit)}/{len(rs)} ({steps})")
        lines.append(f"| {kind} | {n} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--methods", nargs="+", default=["priced"])
    ap.add_argument("--classes", nargs="+", default=[c for c in CLASSES if c not in POWER])
    ap.add_argument("--sizes", type=int, nargs="+", default=list(SIZES))
    ap.add_argument("--series", type=int)
    ap.add_argument("--out")
    ap.add_argument("--table", nargs="+")
    ap.add_argument("--side-by-side", nargs="+", metavar="ROWS.json")
    args = ap.parse_args()
    if args.side_by_side:
        print(side_by_side(args.side_by_side))
        return
    if args.table:
        print(table([r for f in args.table for r in json.loads(Path(f).read_text())]))
        return
    rows = []
    for method in args.methods:
        for kind in args.classes:
            for n in args.sizes:
                rows += evaluate(method, kind, n, args.series or default_series(n))
                print(f"done {method} {kind} {n}", file=sys.stderr)
                if args.out:
                    Path(args.out).write_text(json.dumps(rows))
    print(f"Command: `bench/select/false_jumps.py {' '.join(sys.argv[1:])}`; "
          f"load {os.getloadavg()[0]:.1f}\n")
    print(table(rows))


if __name__ == "__main__":
    main()
