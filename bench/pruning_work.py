"""Work and time of the two pruning rules when the number of jumps grows with n.

Run: ``python bench/pruning_work.py [n ...]`` (default 1000 10000 100000). The signal has a jump
every 100 samples (alternating levels 0 and 3 on a gentle trend, noise 0.1); both searches get
p = 0.9999 and gamma = 5. The table printed is the one quoted in the docstring of vorn.fit.
"""

from __future__ import annotations

import sys
import time

import numpy as np

import vorn


def signal(n: int) -> tuple[np.ndarray, np.ndarray]:
    x = np.arange(n, dtype=float) / 100.0
    levels = np.where(np.arange(n) // 100 % 2 == 0, 0.0, 3.0)
    y = levels + 0.2 * np.sin(x) + 0.1 * np.random.default_rng(11).standard_normal(n)
    return x, y


def main(sizes: list[int]) -> None:
    print(f"{'n':>7} {'jumps':>6} {'PELT counter':>13} {'PELT s':>8} "
          f"{'FPVI counter':>13} {'FPVI s':>8}  same optimum")
    for n in sizes:
        x, y = signal(n)
        row = {}
        for pruning in ("PELT", "FPVI"):
            start = time.perf_counter()
            f = vorn.fit(x, y, 0.9999, 5.0, pruning=pruning)
            row[pruning] = (f, time.perf_counter() - start)
        pelt, fpvi = row["PELT"][0], row["FPVI"][0]
        same = np.array_equal(pelt.raw["partition"], fpvi.raw["partition"]) and np.allclose(
            pelt.raw["F"], fpvi.raw["F"], rtol=1e-9, atol=0.0)
        print(f"{n:>7} {len(pelt.jumps):>6} {pelt.complexity_counter:>13} "
              f"{row['PELT'][1]:>8.3f} {fpvi.complexity_counter:>13} {row['FPVI'][1]:>8.3f}"
              f"  {same}", flush=True)


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [1000, 10000, 100000])
