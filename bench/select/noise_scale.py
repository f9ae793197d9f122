"""Spread of the noise scale the price reads, on seeded pure normal noise, by estimator.

    .venv/bin/python bench/select/noise_scale.py [--sizes 20 50 150 600 2000] [--series 2000]

For each n: mean, sd and 5th percentile of sigma from the lag-one second differences
(``_second_differences(z, 1)`` / 6) by the median absolute deviation and by the winsorised
variance, and each one's effective degrees of freedom ``2 / var(sigma**2)`` (a chi-square
variance on nu degrees of freedom has relative variance 2 / nu) per second difference.
"""

from __future__ import annotations

import argparse

import numpy as np

from vorn._noise import _robust_variance, _second_differences, _winsorised_variance


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=int, nargs="+", default=[20, 50, 150, 600, 2000])
    ap.add_argument("--series", type=int, default=2000)
    args = ap.parse_args()
    print("| n | estimator | mean sigma | sd | 5th pct | dof | dof / differences |")
    print("|---|---|---|---|---|---|---|")
    for n in args.sizes:
        rng = np.random.default_rng(n)
        z = rng.standard_normal((args.series, n))
        for name, var in (("MAD", _robust_variance), ("winsorised", _winsorised_variance)):
            s2 = np.array([var(_second_differences(row[:, None], 1))[0] / 6.0 for row in z])
            s = np.sqrt(s2)
            dof = 2.0 / np.var(s2 / np.mean(s2))
            print(f"| {n} | {name} | {s.mean():.3f} | {s.std():.3f} | "
                  f"{np.percentile(s, 5):.3f} | {dof:.1f} | {dof / (n - 2):.3f} |")


if __name__ == "__main__":
    main()
