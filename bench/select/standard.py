"""The field's standard step signals, noisy copies: exact jump count and mean squared error.

    .venv/bin/python bench/select/standard.py fms 100 priced [first-seed]
    .venv-bench/bin/python bench/select/standard.py fms 100 pelt

Written from the signals' published definitions (change points, levels and noise sd of
"blocks", "fms", "mix", "teeth10" and "stairs10"); every copy is the clean signal plus
Gaussian noise from its own seed. A method is a name run.py knows, or "pelt": ruptures Pelt
with the l2 cost and a penalty of 2 sigma^2 log n, sigma from the MAD of first differences
(only in the bench's environment, which has ruptures). Prints the share of copies with the
true number of jumps, the mean squared error against the clean signal in noise variances,
and how many copies missed or added how many jumps.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np


def _steps(n, changes, values):
    out = np.empty(n)
    edges = [0] + list(changes) + [n]
    for lo, hi, value in zip(edges[:-1], edges[1:], values):
        out[lo:hi] = value
    return out


def signal(name):
    """The clean signal and its noise sd."""
    if name == "blocks":
        changes = [205, 267, 308, 472, 512, 820, 902, 1332, 1557, 1598, 1659]
        values = [0, 14.64, -3.66, 7.32, -7.32, 10.98, -4.39, 3.29, 19.03, 7.68, 15.37, 0]
        return _steps(2048, changes, values), 10.0
    if name == "fms":
        changes = [139, 226, 243, 300, 309, 333]
        values = [-0.18, 0.08, 1.07, -0.53, 0.16, -0.69, -0.16]
        return _steps(497, changes, values), 0.3
    if name == "mix":
        changes = [11, 21, 41, 61, 91, 121, 161, 201, 251, 301, 361, 421, 491]
        values = [7, -7, 6, -6, 5, -5, 4, -4, 3, -3, 2, -2, 1, -1]
        return _steps(560, changes, values), 4.0
    if name == "teeth10":
        changes = list(range(11, 140, 10))
        return _steps(140, changes, [i % 2 for i in range(len(changes) + 1)]), 0.4
    if name == "stairs10":
        changes = list(range(11, 150, 10))
        return _steps(150, changes, list(range(1, len(changes) + 2))), 0.3
    raise KeyError(name)


def copies(name, count, first=0):
    clean, sd = signal(name)
    for seed in range(first, first + count):
        rng = np.random.default_rng([seed, 7177, len(name)])
        yield clean, sd, clean + sd * rng.standard_normal(clean.size)


def pelt(y):
    import ruptures
    d = np.diff(y)
    sigma = np.median(np.abs(d - np.median(d))) / 0.6744897501960817 / np.sqrt(2.0)
    ends = ruptures.Pelt(model="l2", min_size=2, jump=1).fit(y).predict(
        pen=2.0 * sigma**2 * np.log(y.size))
    fitted = np.empty_like(y)
    for lo, hi in zip([0] + ends[:-1], ends):
        fitted[lo:hi] = y[lo:hi].mean()
    return len(ends) - 1, fitted


def main():
    name, count, method = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    first = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    if method != "pelt":
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        from run import run_method
    exact, errors, misses = 0, [], {}
    for clean, sd, y in copies(name, count, first):
        truth = int(np.count_nonzero(np.diff(clean)))
        if method == "pelt":
            found, fitted = pelt(y)
        else:
            x = np.arange(y.size, dtype=float)
            chosen = run_method(method, x, y)
            found, fitted = chosen.fit.jumps.size, np.asarray(chosen.fit(x)).ravel()
        exact += found == truth
        misses[found - truth] = misses.get(found - truth, 0) + 1
        errors.append(np.mean((fitted - clean) ** 2) / sd**2)
    off = ", ".join(f"{k:+d}: {v}" for k, v in sorted(misses.items()) if k)
    print(f"{name:9s} {method:24s} exact {exact / count:.2f}  mse {np.mean(errors):.4f}"
          f"  count off by {{{off}}}")


if __name__ == "__main__":
    main()
