"""The noise refinement on jump-free data: how often its first fit cuts pure noise, and how
often the noise the price reads ends far too low.

    .venv/bin/python bench/select/refine_null.py [--series 1000] [--sizes 50 100 300]
        [--low-series 4000]

First table: the share of pure-noise series (even and jittered sites alternating) on which
the refinement's first fit (bandwidth 2 samples, BIC's price) finds any jump, with the
noise known, at the plain median absolute deviation (the rule before issue 22's mend), and at
the scales and Student-raised prices of the candidates. Second table: the share of 50-sample
series of pure noise or a line whose estimate (`units_of`) reads sigma below 0.7 and 0.75,
per candidate (keywords of `vorn._units.refine_noise`, as bench/select/run.py `NOISE`).
"""

from __future__ import annotations

import argparse
import math

import numpy as np

from vorn._noise import NoiseEstimate, estimate_noise, noise_values
from vorn._problem import Problem
from vorn._scoring import fit_arrays
from vorn._noise import student_price
from vorn._units import Units, units_of

# (scale, dof per difference) of the first fit; None: the noise known.
FIRST = {"known": None, "mad": ("mad", 0.0), "mad-student0.25": ("mad", 0.25),
         "mad-student0.5": ("mad", 0.5), "wins-student0.5": ("winsorised", 0.5)}
CANDIDATES = {"ungated": dict(first_scale="mad", first_dof=0.0),
              "gate25": dict(first_scale="mad", first_dof=0.25),
              "gate50": dict(first_scale="mad", first_dof=0.5),
              "wgate50 (package)": dict(first_scale="winsorised", first_dof=0.5)}


def first_fit_cuts(samples, noise, price):
    m = samples.y.shape[0]
    units = Units(float(samples.x[0]), float(samples.x[-1] - samples.x[0]) / (m - 1),
                  float(np.mean(1.0 / samples.delta**2)), noise, m)
    b = min(2.0, max(1.0, m / 8.0))
    x_std, y_std = units.standardise(samples)
    p = units.p_standard(b)
    return fit_arrays(x_std, y_std, samples.delta, p, p * price).jump_idx.size


def cut_rates(n, series):
    counts = dict.fromkeys(FIRST, 0)
    base = 2.0 * math.log(n)
    for seed in range(series):
        rng = np.random.default_rng([seed, n, 99])
        x = np.arange(n) + (rng.uniform(-0.4, 0.4, n) if seed % 2 else 0.0)
        samples = Problem.of(x, rng.standard_normal(n)).samples
        values, deltas = noise_values(samples.y, samples.delta)
        for name, first in FIRST.items():
            if first is None:
                noise, price = NoiseEstimate(np.array([1.0]), 0.0), base
            else:
                noise = estimate_noise(values, None, deltas, scale=first[0])
                price = student_price(base, first[1] * noise.dof) if first[1] else base
            counts[name] += first_fit_cuts(samples, noise, price) > 0
    return {k: v / series for k, v in counts.items()}


def low_shares(series, n=50):
    scales = {k: [] for k in CANDIDATES}
    for seed in range(series):
        rng = np.random.default_rng([seed, 7])
        x = np.arange(n) + (rng.uniform(-0.4, 0.4, n) if seed % 2 else 0.0)
        y = rng.uniform(-0.2, 0.2) * x * (seed % 4 >= 2) + rng.standard_normal(n)
        samples = Problem.of(x, y).samples
        for k, options in CANDIDATES.items():
            scales[k].append(units_of(samples, **options).noise.scale)
    return {k: (float(np.mean(np.asarray(v) < 0.7)), float(np.mean(np.asarray(v) < 0.75)),
                float(np.mean(v))) for k, v in scales.items()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--series", type=int, default=1000)
    ap.add_argument("--sizes", type=int, nargs="+", default=[50, 100, 300])
    ap.add_argument("--low-series", type=int, default=4000)
    args = ap.parse_args()
    print("| n | " + " | ".join(FIRST) + " |")
    print("|---|" + "---|" * len(FIRST))
    for n in args.sizes:
        rates = cut_rates(n, args.series)
        print(f"| {n} | " + " | ".join(f"{rates[k]:.3f}" for k in FIRST) + " |")
    print()
    print(f"| candidate | sigma < 0.7 | sigma < 0.75 | mean sigma | ({args.low_series} series of 50)")
    print("|---|---|---|---|")
    for k, (a, b, c) in low_shares(args.low_series).items():
        print(f"| {k} | {a:.4f} | {b:.4f} | {c:.3f} |")


if __name__ == "__main__":
    main()
