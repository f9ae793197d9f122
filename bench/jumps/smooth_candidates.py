"""Candidates for the curvature part of a split's saving, on jump-free curved segments.

    .venv/bin/python bench/jumps/smooth_candidates.py reach
    .venv/bin/python bench/jumps/smooth_candidates.py twice SEED_FROM SEED_TO N AMPLITUDE

reach: the engine's smooth_saving at 4-12 bandwidths against the whole merged segment, on a
20,000-sample sine (period 314 samples) with 20 steps of 3 sd and white noise, bandwidths 8
and 20 samples: the largest difference, the largest and the median saving.

twice: 300 jump-free series a seed of N samples, a sine of the given amplitude (1.5 periods)
plus white noise of sd 1, bandwidth 8 samples, a jump forced at the best split of the inner
segment (as in test_pkg_jumps.py). Counts below 0.5, 0.1, 0.01 and KS p of the significance
read at: the whole saving (`old`, the rule before), the saving less what the split saves on
the merged segment's smooth (`new`, the package's, here over the whole segment), and less what
it saves on the twiced smooth, the smooth plus the smooth of its residuals (`twice`).
"""

from __future__ import annotations

import math
import sys

import numpy as np
from scipy import stats

import vorn
from vorn import _engine, _jumps


def reach() -> None:
    rng = np.random.default_rng(5)
    n = 20000
    x = np.arange(n, dtype=float)
    level = 3.0 * (np.arange(n) * 21 // n % 2)
    y = (level + np.sin(x / 50.0) + rng.standard_normal(n))[:, None]
    for b in (8, 20):
        f = vorn.fit(x, y[:, 0], bandwidth_samples=b, penalty=12)
        jumps = np.asarray(f.jump_indices, np.int64)
        full = _engine.jump_profiles(x, y, None, f.p, "none", jumps, np.zeros(jumps.size),
                                     smooth_reach=math.inf)["smooth_saving"]
        for r in (4, 6, 8, 10, 12):
            got = _engine.jump_profiles(x, y, None, f.p, "none", jumps, np.zeros(jumps.size),
                                        smooth_reach=r)["smooth_saving"]
            print(f"bandwidth {b}, reach {r}: largest difference {np.abs(got - full).max():.3g}, "
                  f"largest saving {np.abs(full).max():.3g}, median {np.median(full):.3g}")


def twice(seed_from: int, seed_to: int, n: int, amplitude: float) -> None:
    x = np.arange(n, dtype=float)
    p = 1.0 / (1.0 + 8.0**4)
    jumps = np.array([1, n // 2], np.int64)

    def split_saving(v: np.ndarray, s: int) -> float:
        g = _engine.jump_profiles(x, v, None, p, "none", jumps, np.zeros(2), True)
        lowest = g["first"][1] + 1
        return float(g["merged"][1] - g["profile"][g["profile_offset"][1] + s - lowest])

    def smooth_of(v: np.ndarray) -> tuple[dict, np.ndarray]:
        g = _engine.jump_profiles(x, v, None, p, "none", jumps, np.zeros(2),
                                  smooth_reach=math.inf, keep_smooth=True)
        out = np.zeros_like(v)
        a, o = g["smooth_first"][1], g["smooth_offset"]
        out[a:a + o[2] - o[1]] = g["smooth"][o[1]:o[2]]
        return g, out

    for seed in range(seed_from, seed_to):
        rng = np.random.default_rng(seed)
        got_by = {"old": [], "new": [], "twice": []}
        for _ in range(300):
            y = (amplitude * np.sin(2 * math.pi * (1.5 * x / n + rng.uniform()))
                 + rng.standard_normal(n))[:, None]
            got, smooth = smooth_of(y)
            a = got["first"][1]
            yhat = y.copy()
            yhat[a:] = smooth[a:]
            _, again = smooth_of(y - yhat)
            ghat = yhat.copy()
            ghat[a:] += again[a:]
            scale, phi = _jumps.noise_of_values(y[2:])
            unit = p * scale**2
            saved = (got["merged"][1] - got["best"][1]) / unit
            args = (np.array([n - 2.0]), np.array([8.0]), 1, n - 2.0, phi)
            for name, value in (("old", saved), ("new", saved - got["smooth_saving"][1] / unit),
                                ("twice", saved - split_saving(ghat, got["best_split"][1]) / unit)):
                got_by[name].append(float(_jumps.null_significance(
                    np.array([max(value, 0.0)]), *args)[0]))
        print(seed, n, amplitude, " ".join(
            f"{k} {(np.array(v) < 0.5).sum()} {(np.array(v) < 0.1).sum()} "
            f"{(np.array(v) < 0.01).sum()} {stats.kstest(v, 'uniform').pvalue:.4f}"
            for k, v in got_by.items()))


if __name__ == "__main__":
    if sys.argv[1] == "reach":
        reach()
    else:
        twice(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]))
