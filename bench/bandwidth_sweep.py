"""The default search against the smoothing bandwidth, beside PELT in the same run.

    ../.venv/bin/python bandwidth_sweep.py [--n N] [--pelt-n N] [--bandwidths LOW HIGH]
        [--step-eighths K] [--workloads nojump jump1000 jump100000] [--lines] [--seed S]

Data: evenly spaced sites 0..n-1, values sin(2 pi x / 1000) + N(0, 0.3^2), plus for
`jumpK` a level jump of random sign and size 1..3 with probability 1 / K per sample. Every
point is `vorn.fit(x, y, bandwidth_samples=b, penalty=30)` for b from LOW to HIGH in steps of
2^(K/8); `--lines` adds p = 0 (straight lines, gamma = 30 noise variances). One row per point
and search: seconds of processor time, extensions per sample, dropped, max active, jumps.
PELT runs on the first pelt-n samples of the same data (its work grows as n^2 inside long
segments), so that its extensions per sample and ns per extension are measured in the same
process and under the same load as the default search's.
"""

import argparse
import os
import time

import numpy as np

import vorn

NOISE = 0.3


def workload(name: str, n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    x = np.arange(n, dtype=float)
    y = np.sin(2 * np.pi * x / 1000.0) + NOISE * rng.standard_normal(n)
    if name.startswith("jump"):
        every = int(name[len("jump"):])
        at = rng.random(n) < 1.0 / every
        sizes = rng.choice([-1.0, 1.0], n) * rng.uniform(1.0, 3.0, n)
        y += np.cumsum(np.where(at, sizes, 0.0))
    return x, y


def one_point(x, y, b, pruning):
    start = time.process_time()
    if b == 0:
        fitted = vorn.fit(x, y, p=0.0, gamma=30 * NOISE**2, pruning=pruning)
    else:
        fitted = vorn.fit(x, y, bandwidth_samples=b, penalty=30, pruning=pruning)
    seconds = time.process_time() - start
    stats = fitted.search_stats
    return seconds, stats, len(fitted.jumps)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--pelt-n", type=int, default=10_000)
    parser.add_argument("--bandwidths", type=float, nargs=2, default=(1.0, 1e4))
    parser.add_argument("--step-eighths", type=int, default=1)
    parser.add_argument("--workloads", nargs="+", default=["nojump", "jump1000", "jump100000"])
    parser.add_argument("--lines", action="store_true")
    parser.add_argument("--seed", type=int, default=21)
    args = parser.parse_args()

    low, high = args.bandwidths
    steps = []
    k = 0
    while 2.0 ** (k / 8) <= high * (1 + 1e-12):
        if 2.0 ** (k / 8) >= low * (1 - 1e-12):
            steps.append(2.0 ** (k / 8))
        k += args.step_eighths
    if args.lines:
        steps.append(0)
    print(f"load average {os.getloadavg()[0]:.1f}; n = {args.n}, PELT on the first {args.pelt_n}")
    print("| workload | b (samples) | search | n | cpu s | ext/sample | ns/ext | dropped "
          "| max active | jumps |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for name in args.workloads:
        x, y = workload(name, args.n, args.seed)
        for b in steps:
            label = "p = 0" if b == 0 else f"{b:.3g}"
            for pruning, m in (("DOMINANCE", args.n), ("PELT", args.pelt_n)):
                if m <= 0:
                    continue
                seconds, stats, jumps = one_point(x[:m], y[:m], b, pruning)
                per_ext = 1e9 * seconds / max(stats.extensions, 1)
                print(f"| {name} | {label} | {pruning} | {m} | {seconds:.3f} "
                      f"| {stats.extensions / m:.1f} | {per_ext:.1f} | {stats.dropped} "
                      f"| {stats.max_active} | {jumps} |", flush=True)


if __name__ == "__main__":
    main()
