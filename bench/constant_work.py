"""Work of the constant-segment search: extensions per sample and live starts, with and
without jumps, against the straight-line search (p = 0) on the same data as a baseline.

Run: ``python bench/constant_work.py [--sizes 10000 100000 1000000] [--dims 1 2]``. Each signal
is seeded: unit noise, either no jump or levels 0 and 3 alternating every 1,000 samples;
gamma = 2 log n (BIC's price in noise variances). Prints one markdown row per case:
extensions per sample, the longest list of live starts, jumps found, seconds (wall clock, a
shared machine: read the ratio to the line search of the same row, not the seconds alone).
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np

from vorn import _engine


def signal(n: int, d: int, every: int) -> np.ndarray:
    rng = np.random.default_rng(1000 * d + (every > 0))
    y = rng.standard_normal((n, d))
    if every:
        y += np.where(np.arange(n) // every % 2 == 0, 0.0, 3.0)[:, None]
    return y


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--dims", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--line-below", type=int, default=100_001,
                        help="run the straight-line baseline only below this n")
    args = parser.parse_args()
    print("| n | d | jumps every | ext/sample | max live | jumps found | s | line ext/sample "
          "| line s |")
    print("|---|---|---|---|---|---|---|---|---|")
    for d in args.dims:
        for n in args.sizes:
            for every in (0, 1000):
                y = signal(n, d, every)
                x, w = np.arange(float(n)), np.ones(n)
                gamma = 2.0 * math.log(n)
                start = time.perf_counter()
                got = _engine.fit_constant(x, y, w, gamma)
                seconds = time.perf_counter() - start
                line = "- | -"
                if n < args.line_below:
                    start = time.perf_counter()
                    lines = _engine.fit_prepared(x, y, w, 0.0, gamma, "DOMINANCE", "none")
                    line = (f"{lines['extensions'] / n:.1f} | "
                            f"{time.perf_counter() - start:.2f}")
                print(f"| {n} | {d} | {every or 'none'} | {got['extensions'] / n:.1f} | "
                      f"{got['max_active']} | {got['jumps'].size} | {seconds:.2f} | {line} |",
                      flush=True)


if __name__ == "__main__":
    main()
