"""Sampling sd of select's phi (second differences, vorn._jumps.noise_of_values) on AR(1)
noise, times sqrt(samples * columns): the constants of null_candidates.phi_spread.

    .venv/bin/python bench/jumps/phi_spread.py   (600 series a cell, seed 5, about 10 s)
"""

from __future__ import annotations

import math

import numpy as np
from calibrate_null import stationary_ar1

from vorn._jumps import noise_of_values

rng = np.random.default_rng(5)
print("| d | n | phi | mean phi_hat | sd | sd sqrt(n d) |\n|---|---|---|---|---|---|")
for d in (1, 3):
    for n in (100, 200, 800):
        for phi in (0.0, 0.3, 0.6):
            got = []
            for _ in range(600):
                e = rng.standard_normal((n, d))
                if phi:
                    e = stationary_ar1(rng, e, phi)
                got.append(noise_of_values(e)[1])
            v = np.array(got)
            print(f"| {d} | {n} | {phi} | {v.mean():.3f} | {v.std():.3f} | "
                  f"{v.std() * math.sqrt(n * d):.2f} |")
