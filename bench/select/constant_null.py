"""False-jump rate of the constant-segment price (segments.constant_price) under no change.

    .venv/bin/python bench/select/constant_null.py [--reps 400] [--sizes 10 50 300 1000 3000]
    .venv/bin/python bench/select/constant_null.py --split-quantiles
    .venv/bin/python bench/select/constant_null.py --package [--reps 400]

The second form prints the upper points of the largest energy one split saves, between two
levels and between two straight lines, that segments.constant_price and line_price follow.

The third form measures the package's own rule, vorn.select(x, y, segments="constant"),
on the same noise ("estimated" column; "known" is the engine's constant search at the price
with the true noise level).

Pure standard normal noise; "known" fits at the price with the true noise level (the rate
the price is calibrated to: 1 % for one split, a little more for the whole search), "estimated"
with the noise measured as segments.py measures it (the package's estimate, then again
between the jumps of a generous constant fit), the Student factor included.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from constant import fit_constant  # noqa: E402
from segments import constant_noise, constant_price  # noqa: E402

import vorn  # noqa: E402
from vorn._constant_choice import constant_price as package_price  # noqa: E402
from vorn._units import samples_of, units_of  # noqa: E402


def _line_sse(x, y):
    """Residual sum of squares of the least-squares line through the first t + 1 samples,
    for every t."""
    k = np.arange(1, x.size + 1)
    sx, sy = np.cumsum(x), np.cumsum(y)
    vx = np.cumsum(x * x) - sx * sx / k
    cxy = np.cumsum(x * y) - sx * sy / k
    vy = np.cumsum(y * y) - sy * sy / k
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.maximum(vy - np.where(vx > 0, cxy * cxy / vx, 0.0), 0.0)


def split_quantiles(sizes):
    print("| n | series | levels: 95 % | 99 % | lines: 95 % | 99 % |")
    print("|---|---|---|---|---|---|")
    for n in sizes:
        rng = np.random.default_rng([n, 1])
        reps = 4000 if n <= 1000 else 1000
        x = np.arange(n, dtype=float)
        levels, lines = np.empty(reps), np.empty(reps)
        t = np.arange(1, n)
        for i in range(reps):
            z = rng.standard_normal(n)
            c = np.cumsum(z)[:-1]
            levels[i] = np.max((c - t * (c[-1] + z[-1]) / n) ** 2 * n / (t * (n - t)))
            left, right = _line_sse(x, z), _line_sse(x[::-1], z[::-1])[::-1]
            cut = np.arange(1, n - 2)
            lines[i] = np.max(left[-1] - (left[cut] + right[cut + 1])) if n > 4 else 0.0
        lq, nq = np.quantile(levels, [0.95, 0.99]), np.quantile(lines, [0.95, 0.99])
        print(f"| {n} | {reps} | {lq[0]:.2f} | {lq[1]:.2f} | {nq[0]:.2f} | {nq[1]:.2f} |")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--split-quantiles", action="store_true")
    ap.add_argument("--package", action="store_true")
    ap.add_argument("--reps", type=int, default=400)
    ap.add_argument("--sizes", type=int, nargs="+", default=[10, 50, 300, 1000, 3000])
    args = ap.parse_args()
    if args.split_quantiles:
        split_quantiles(args.sizes)
        return
    print("| n | series | known noise: any jump | estimated noise: any jump |")
    print("|---|---|---|---|")
    for n in args.sizes:
        rng = np.random.default_rng([n, 7])
        known = estimated = 0
        reps = args.reps if n <= 1000 else max(args.reps // 4, 50)
        for _ in range(reps):
            y = rng.standard_normal(n)
            ones = np.ones(n)
            if args.package:
                known += vorn.fit(None, y, gamma=package_price(n, 1, 0.0),
                                  segments="constant").jumps.size > 0
                estimated += vorn.select(None, y, segments="constant").fit.jumps.size > 0
                continue
            known += fit_constant(None, y, ones, constant_price(n, 1, 0.0, np.inf)).jump_idx.size > 0
            samples = samples_of(np.arange(n, dtype=float), y[:, None], None)
            units = units_of(samples)
            noise = constant_noise(samples.y, None, ones, units.noise, n, 1)
            price = constant_price(n, 1, noise.phi, noise.dof, noise.leading)
            z = y / noise.sigma[0]
            estimated += fit_constant(None, z, ones, price).jump_idx.size > 0
        print(f"| {n} | {reps} | {known / reps:.3f} | {estimated / reps:.3f} |")


if __name__ == "__main__":
    main()
