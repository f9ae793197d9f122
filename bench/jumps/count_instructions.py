"""Instructions of the fit, of intervals + evidence, and of the engine's jump pass with and
without the smooth correction, for a load-free ratio (the signal of speed.py at n = 200,000
with 200 planted steps, the same density as its default).

    for m in none fit ie 10 1e-12; do
        valgrind --tool=callgrind --callgrind-out-file=/tmp/cg.$m.out \\
            .venv/bin/python bench/jumps/count_instructions.py $m 2>&1 | grep Collected
    done

none: imports and the signal only; fit: and the fit; ie: and jump_intervals() +
jump_evidence; 10 / 1e-12: and the engine pass at that smooth_reach (1e-12 keeps only the
four samples every window holds). Differences of the totals give each part.
"""

from __future__ import annotations

import sys

import numpy as np

import vorn
from vorn import _engine

n, planted = 200_000, 200
rng = np.random.default_rng(5)
x = np.arange(n, dtype=float)
level = 3.0 * (np.arange(n) * (planted + 1) // n % 2)
y = level + np.sin(x / 5000.0) + rng.standard_normal(n)
mode = sys.argv[1]
if mode != "none":
    f = vorn.fit(x, y, bandwidth_samples=20, penalty=12)
    if mode == "ie":
        f.jump_intervals()
        f.jump_evidence
    elif mode != "fit":
        jumps = np.asarray(f.jump_indices, np.int64)
        _engine.jump_profiles(x, y[:, None], None, f.p, f.precondition, jumps,
                              np.zeros(jumps.size), True, smooth_reach=float(mode))
