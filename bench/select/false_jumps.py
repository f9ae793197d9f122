"""False-jump rate of the automatic choice under no change, by n: the calibration table.

    .venv/bin/python bench/select/false_jumps.py [--methods priced ...]
        [--classes noise line smooth ar0.3 ar0.5] [--sizes 4 8 10 20 50 ...]
        [--series N] [--out rows.json]
    .venv/bin/python bench/select/false_jumps.py --table rows.json [more.json ...]

For every class and size it runs `--series` seeded series (by default 400 up to n = 300,
fewer above, see `default_series`), even sites for even seeds and sites jittered by up to 0.4
spacings for odd ones, and prints the share with any jump with its Wilson 95 % interval, the
even and jittered shares apart, and the mean seconds of one call. Methods are those of run.py
(`priced` is the package's default, `vorn.select(x, y)`).

Classes (noise sd 1):
noise    pure normal noise
line     a line, slope -10 to 10 noise sd over the series
smooth   a sine of 0.5 to 2 periods, 2 to 6 noise sd
ar0.3, ar0.5   the same sine with AR(1) noise of that lag-one correlation (unit variance)
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

CLASSES = ("noise", "line", "smooth", "ar0.3", "ar0.5")
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
    rng = np.random.default_rng([seed, CLASSES.index(kind), n, 2223])
    x = sites(rng, n, bool(seed % 2))
    if kind == "noise":
        clean = np.zeros(n)
    elif kind == "line":
        clean = rng.uniform(-10.0, 10.0) * x + rng.uniform(-5.0, 5.0)
    else:
        clean = rng.uniform(2.0, 6.0) * np.sin(2 * np.pi * rng.uniform(0.5, 2.0) * x
                                               + rng.uniform(0.0, 2 * np.pi))
    if kind.startswith("ar"):
        noise = ar1(rng, n, float(kind[2:]))
    else:
        noise = rng.standard_normal(n)
    return x, clean + noise


def wilson(k, n, z=1.959963984540054):
    """Wilson score interval of a binomial share."""
    if n == 0:
        return math.nan, math.nan
    p = k / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return max(0.0, centre - half), min(1.0, centre + half)


def evaluate(method, kind, n, series):
    from run import run_method

    rows = []
    for seed in range(series):
        x, y = make(kind, n, seed)
        t0 = time.perf_counter()
        jumps = int(run_method(method, x, y).fit.jumps.size)
        rows.append(dict(method=method, kind=kind, n=n, seed=seed, jittered=seed % 2,
                         jumps=jumps, seconds=time.perf_counter() - t0))
    return rows


def table(rows):
    lines = ["| method | class | n | series | any jump | 95 % interval | even | jittered | "
             "mean s |", "|---|---|---|---|---|---|---|---|---|"]
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
                     f"{np.mean([r['seconds'] for r in rs]):.3f} |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--methods", nargs="+", default=["priced"])
    ap.add_argument("--classes", nargs="+", default=list(CLASSES))
    ap.add_argument("--sizes", type=int, nargs="+", default=list(SIZES))
    ap.add_argument("--series", type=int)
    ap.add_argument("--out")
    ap.add_argument("--table", nargs="+")
    args = ap.parse_args()
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
