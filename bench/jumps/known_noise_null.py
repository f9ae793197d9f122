"""The null law against the statistic it is read at, with the noise known (nothing estimated):
jump-free straight segments of m samples, the best split's saving less what that split saves
on the merged segment's own smooth, read in the package's null law and in the law fitted to
the raw saving (raw_null_law.py, the package's before). 1,000 segments a cell, seed 11.

    .venv/bin/python bench/jumps/known_noise_null.py   (a few seconds)
"""

from __future__ import annotations

import numpy as np
from scipy import stats

from vorn import _engine, _jumps

import raw_null_law

rng = np.random.default_rng(11)
print("| m | bandwidth | d | mean smooth saving | law | KS p | < 0.01 | < 0.1 | < 0.5 |")
print("|---|---|---|---|---|---|---|---|---|")
for m, b, d in ((100, 8.0, 3), (100, 4.0, 3), (198, 8.0, 3), (100, 8.0, 1), (60, 4.0, 3),
                (198, 20.0, 1), (198, 20.0, 3)):
    p = 1.0 / (1.0 + b**4)
    x = np.arange(m + 2, dtype=float)
    jumps = np.array([1, m // 2 + 1], dtype=np.int64)
    saved, smooth = np.empty(1000), np.empty(1000)
    for r in range(saved.size):
        got = _engine.jump_profiles(x, rng.standard_normal((m + 2, d)), None, p, "none", jumps,
                                    np.zeros(2))
        saved[r] = (got["merged"][1] - got["best"][1]) / p
        smooth[r] = got["smooth_saving"][1] / p
    corrected = _jumps.beyond_curvature(saved, smooth, 1.0)
    for name, table in (("fitted to the corrected saving (now)", _jumps._jump_null),
                        ("fitted to the raw saving (before)", raw_null_law)):
        kept = _jumps._jump_null
        _jumps._jump_null = table
        try:
            q = _jumps.null_significance(corrected, np.full(saved.size, float(m)),
                                         np.full(saved.size, b), d)
        finally:
            _jumps._jump_null = kept
        print(f"| {m} | {b:g} | {d} | {smooth.mean():.3f} | {name} | "
              f"{stats.kstest(q, 'uniform').pvalue:.3f} | {np.mean(q < 0.01):.3f} | "
              f"{np.mean(q < 0.1):.3f} | {np.mean(q < 0.5):.3f} |")
