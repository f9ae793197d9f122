"""Exact constant-segment fits for the benchmark, until the engine has its own.

``fit_constant(x, y, delta, gamma)`` minimises
``sum_i w_i |y_i - level(segment of i)|**2 + gamma * jumps`` (w = 1 / delta**2, all columns
at once) by the dynamic program over partitions with the pruning that drops a start l once
``F[l - 1] + E(l..r) >= F[r]`` (a constant segment's energy never falls when it grows, and
splitting it never costs energy, so the pruned start can never win again). Prefix sums make
every candidate O(d); the worst case (no jump at all) is O(n**2), fine up to a few thousand
samples.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np


class ConstantFit(NamedTuple):
    jump_idx: np.ndarray  # last sample before each jump
    levels: np.ndarray  # (segments, d)
    fitted: np.ndarray  # (n, d) at the samples
    energy: float


def fit_constant(x, y, delta, gamma):
    y = np.asarray(y, dtype=float)
    y2 = y.reshape(y.shape[0], -1)
    n, d = y2.shape
    w = 1.0 / np.asarray(delta, dtype=float) ** 2
    sw = np.concatenate(([0.0], np.cumsum(w)))
    swy = np.vstack((np.zeros((1, d)), np.cumsum(w[:, None] * y2, axis=0)))
    swyy = np.concatenate(([0.0], np.cumsum(w * np.sum(y2 * y2, axis=1))))

    def energy(starts, r):
        # Samples starts..r (inclusive), vectorised over starts.
        a = sw[r + 1] - sw[starts]
        b = swy[r + 1] - swy[starts]
        c = swyy[r + 1] - swyy[starts]
        return np.maximum(c - np.sum(b * b, axis=1) / a, 0.0)

    best = np.empty(n + 1)  # best[r + 1]: optimum of samples 0..r; best[0] = -gamma
    best[0] = -gamma
    last = np.zeros(n + 1, dtype=np.int64)
    active = np.array([0], dtype=np.int64)
    for r in range(n):
        cand = best[active] + gamma + energy(active, r)
        k = int(np.argmin(cand))
        best[r + 1] = cand[k]
        last[r + 1] = active[k]
        keep = best[active] + energy(active, r) < best[r + 1] + 1e-12 * abs(best[r + 1])
        active = np.append(active[keep], r + 1)
    ends = []
    r = n
    while r > 0:
        ends.append(r)
        r = int(last[r])
    ends = ends[::-1]
    starts = [0] + ends[:-1]
    levels = np.array([(swy[b] - swy[a]) / (sw[b] - sw[a]) for a, b in zip(starts, ends)])
    fitted = np.repeat(levels, np.diff([0] + ends), axis=0)
    jump_idx = np.asarray(ends[:-1], dtype=np.int64) - 1
    return ConstantFit(jump_idx, levels, fitted, float(best[n]))


def brute_force(y, gamma):
    """Every partition of a short series (a check of fit_constant)."""
    y2 = np.asarray(y, dtype=float).reshape(len(y), -1)
    n = y2.shape[0]
    best = (np.inf, None)
    for mask in range(1 << (n - 1)):
        cuts = [i for i in range(n - 1) if mask >> i & 1]
        bounds = [0] + [c + 1 for c in cuts] + [n]
        e = sum(float(np.sum((y2[a:b] - y2[a:b].mean(axis=0)) ** 2))
                for a, b in zip(bounds[:-1], bounds[1:]))
        e += gamma * len(cuts)
        if e < best[0]:
            best = (e, cuts)
    return best


if __name__ == "__main__":
    rng = np.random.default_rng(5)
    for trial in range(200):
        n = int(rng.integers(2, 11))
        y = np.repeat(rng.normal(0, 3, 4), 3)[:n] + rng.standard_normal(n)
        g = float(rng.uniform(0.1, 10))
        e, cuts = brute_force(y, g)
        f = fit_constant(np.arange(n), y, np.ones(n), g)
        got = float(np.sum((f.fitted[:, 0] - y) ** 2)) + g * f.jump_idx.size
        assert abs(got - e) < 1e-9 * max(1, e), (trial, got, e, cuts, f.jump_idx)
    print("fit_constant matches brute force on 200 short series")
