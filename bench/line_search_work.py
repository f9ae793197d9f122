"""Work of the straight-line search (p = 0) against n, on a noisy straight line.

    ../.venv/bin/python line_search_work.py [--sizes N ...] [--workloads nojump jump1000
        jump100000] [--seed S]

Data: evenly spaced sites 0..n-1, values 0.001 x + N(0, 1), plus for `jumpK` a level jump of
random sign and size 3..6 noise deviations with probability 1 / K per sample. Every point is
`vorn.fit(x, y, p=0, gamma=30)` with the default search. One row per point: processor seconds
of the whole fit, extensions per sample, dropped, max active, jumps. Inside a segment without
jumps the work per sample is what tells a linear search from a quadratic one.
"""

import argparse
import os
import time

import numpy as np

import vorn


def workload(name: str, n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    x = np.arange(n, dtype=float)
    y = 0.001 * x + rng.standard_normal(n)
    if name.startswith("jump"):
        every = int(name[len("jump"):])
        at = rng.random(n) < 1.0 / every
        sizes = rng.choice([-1.0, 1.0], n) * rng.uniform(3.0, 6.0, n)
        y += np.cumsum(np.where(at, sizes, 0.0))
    return x, y


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[4000, 16000, 64000, 100000])
    parser.add_argument("--workloads", nargs="+", default=["nojump", "jump1000", "jump100000"])
    parser.add_argument("--seed", type=int, default=21)
    args = parser.parse_args()
    print(f"load average {os.getloadavg()[0]:.1f}")
    print("| workload | n | cpu s | ext/sample | dropped | max active | jumps |")
    print("|---|---|---|---|---|---|---|")
    for name in args.workloads:
        for n in args.sizes:
            x, y = workload(name, n, args.seed)
            start = time.process_time()
            fitted = vorn.fit(x, y, p=0.0, gamma=30.0)
            seconds = time.process_time() - start
            s = fitted.search_stats
            print(f"| {name} | {n} | {seconds:.3f} | {s.extensions / n:.1f} | {s.dropped} "
                  f"| {s.max_active} | {len(fitted.jumps)} |", flush=True)


if __name__ == "__main__":
    main()
