"""Time of vorn.select and the partition searches it makes, by n.

    .venv/bin/python bench/select/speed.py [--sizes 500 1000 2000] [--repeats 3]
        [--paired priced main]

For each n: a smooth curve with three jumps (noise 1, evenly spaced sites) and the same without
jumps. Prints the best of `repeats` wall times of one select call, the number of partition
searches and their sizes, and the seconds spent in searches (summed, measured around every
call of the one fitting function), so that the time at larger n can be extrapolated from the
cost of one search.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import vorn
import vorn._scoring as scoring
import vorn._search as search
import vorn._units as units

_inner = scoring.fit_arrays
_spent = [0.0]


def timed_fit(*args, **kwargs):
    t0 = time.perf_counter()
    try:
        return _inner(*args, **kwargs)
    finally:
        _spent[0] += time.perf_counter() - t0


scoring.fit_arrays = timed_fit
search.fit_arrays = timed_fit
units.fit_arrays = timed_fit  # the first fit that refines the noise estimate


def signal(n, jumps, seed=0):
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 1.0, n)
    y = 3 * np.sin(5 * x) + rng.standard_normal(n)
    if jumps:
        y += 4 * (x > 0.3) - 5 * (x > 0.55) + 4 * (x > 0.8)
    return x, y


def paired(sizes, repeats, methods):
    """Best wall time of run.py's variants, interleaved so that they share the machine's load."""
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from run import run_method

    print("| n | signal | " + " | ".join(f"{m} s" for m in methods) + " |")
    print("|---|---|" + "---|" * len(methods))
    for n in sizes:
        for jumps in (False, True):
            x, y = signal(n, jumps)
            best = {m: np.inf for m in methods}
            for _ in range(repeats):
                for m in methods:
                    t0 = time.perf_counter()
                    run_method(m, x, y)
                    best[m] = min(best[m], time.perf_counter() - t0)
            print(f"| {n} | {'3 jumps' if jumps else 'no jump'} | "
                  + " | ".join(f"{best[m]:.3f}" for m in methods) + " |")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=int, nargs="+", default=[500, 1000, 2000])
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--paired", nargs="+", metavar="METHOD",
                    help="compare run.py's variants instead (e.g. priced main)")
    args = ap.parse_args()
    if args.paired:
        paired(args.sizes, args.repeats, args.paired)
        return
    print("| n | signal | select s (best) | searches in s | searches | sizes | jumps |")
    print("|---|---|---|---|---|---|---|")
    for n in args.sizes:
        for jumps in (False, True):
            x, y = signal(n, jumps)
            best, spent = np.inf, 0.0
            for _ in range(args.repeats):
                _spent[0] = 0.0
                t0 = time.perf_counter()
                s = vorn.select(x, y, progress=False)
                elapsed = time.perf_counter() - t0
                if elapsed < best:
                    best, spent = elapsed, _spent[0]
            sizes = sorted(set(s.searches))
            counts = ", ".join(f"{s.searches.count(k)} x {k}" for k in sizes)
            print(f"| {n} | {'3 jumps' if jumps else 'no jump'} | {best:.3f} | {spent:.3f} | "
                  f"{len(s.searches)} | {counts} | {s.fit.jumps.size} |")


if __name__ == "__main__":
    main()
