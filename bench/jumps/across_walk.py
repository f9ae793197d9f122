"""Why the intervals of several value columns were too narrow, and the weight of the directions
across a jump (vorn._jumps.ACROSS_WALK) that widens them.

    .venv/bin/python bench/jumps/across_walk.py [--sims 300]   (seed 23; about a minute)

Three parts, each printed as a table:

- `kernel`: the spline's value at a segment's end, as weights of the segment's samples (a fit
  of the identity matrix), for bandwidths of 4-50 samples: the end sample's weight w0 and the
  value's variance v (white noise of unit variance), and (w0 / v)**2, what one sample moving
  across a split moves a fitted jump of pure noise by, in its own variance (1 for plain
  means).
- `across`: on run.py's constant segments (even sites, true noise), the part of each found
  jump across its true direction, squared, over the noise's share of it (d - 1 standard
  errors squared, the standard error read off the saving as the package reads it, both in
  long-run noise variances): how much the fit's choice of split enlarges it.
- `excess`: the 0.9 quantile of the cost of the true split above the cheapest (long-run noise
  variances, the noise known) against the walk's cut at the true size, by d, and the coverage
  of the package's rule (noise estimated) with the walk alone and with the widened cut.
"""

from __future__ import annotations

import argparse
import math

import numpy as np

import run
import vorn
from vorn import _jumps


def kernel() -> None:
    print("| bandwidth | w0 b | v b | (w0 / v)**2 |\n|---|---|---|---|")
    for b in (4, 8, 20, 50):
        m = 10 * b + 20
        x = np.arange(m, dtype=float)
        f = vorn.fit(x, np.eye(m), bandwidth_samples=b, gamma=math.inf)
        w = np.asarray(f(x[-1:])).reshape(-1)
        v = float(np.sum(w * w))
        print(f"| {b} | {w[-1] * b:.3f} | {v * b:.3f} | {(w[-1] / v) ** 2:.3f} |")


def found_jump(rng: np.random.Generator, smooth: bool, d: int, phi: float, size: float,
               noise: list) -> tuple:
    x, y, where = run.signal(rng, smooth, False, d, phi, size, noise)
    f = vorn.fit(x, y if d > 1 else y[:, 0], bandwidth_samples=run.BANDWIDTH[smooth],
                 penalty=run.PENALTY + 3.5 * (d - 1))
    s_true = int(np.searchsorted(x, where) - 1)
    if f.jump_indices.size == 0 or np.min(np.abs(f.jump_indices - s_true)) > 5:
        return None
    return x, y, f, s_true, int(np.argmin(np.abs(f.jumps - where)))


def across(sims: int, rng: np.random.Generator) -> None:
    print("\n| d | noise | size | found | part across / noise's share |\n|---|---|---|---|---|")
    for d in (2, 3):
        for phi in (0.0, 0.3):
            for size in (1.5, 2.0, 3.0):
                rho = (1 + phi) / (1 - phi)
                ratios = []
                for _ in range(sims):
                    noise: list = []
                    got = found_jump(rng, False, d, phi, size, noise)
                    if got is None:
                        continue
                    x, y, f, _, j = got
                    u = (y - noise[0])[-1]
                    u = u / np.linalg.norm(u)
                    _, prof = _jumps.report(f, 0.9, (1.0, phi))
                    jv = np.asarray(f.jump_sizes).reshape(-1, d)[j]
                    saving = float(prof["merged"][j] - prof["at_fit"][j]) / f.p
                    se2 = float(jv @ jv) / rho / (saving / rho)
                    perp = jv - (jv @ u) * u
                    # Both in long-run variances, as the package reads the saving.
                    ratios.append(float(perp @ perp) / rho / se2 / (d - 1))
                print(f"| {d} | {'AR 0.3' if phi else 'white'} | {size} | {len(ratios)} | "
                      f"{np.mean(ratios):.2f} |")


def excess(sims: int, rng: np.random.Generator) -> None:
    print("\n| segments | d | noise | size | found | 0.9 quantile of the excess (noise known) | "
          "walk's cut at the true size | coverage, walk alone | coverage, widened |\n"
          "|---|---|---|---|---|---|---|---|---|")
    for smooth in (False, True):
        for d in (1, 2, 3, 4):
            for phi in (0.0, 0.3):
                for size in (1.5, 2.0, 3.0):
                    rho = (1 + phi) / (1 - phi)
                    known, alone, widened = [], 0, 0
                    for _ in range(sims):
                        got = found_jump(rng, smooth, d, phi, size, [])
                        if got is None:
                            continue
                        x, y, f, s_true, j = got
                        _, prof = _jumps.report(f, 0.9, (1.0, phi), keep_profile=True)
                        lo = int(prof["first"][j]) + (0 if prof["first"][j] == 0 else 1)
                        cost = prof["profile"][prof["profile_offset"][j]:
                                               prof["profile_offset"][j + 1]]
                        if not lo <= s_true < lo + cost.size:
                            continue
                        known.append(float(cost[s_true - lo] - cost.min()) / (f.p * rho))
                        # The package's rule, noise estimated, with and without the widening.
                        scale, phi_hat = _jumps.noise_of(f, None)
                        rho_hat = (1 + phi_hat) / (1 - phi_hat)
                        unit = f.p * scale * scale
                        _, est = _jumps.report(f, 0.9, keep_profile=True)
                        cost = est["profile"][est["profile_offset"][j]:est["profile_offset"][j + 1]]
                        at_truth = float(cost[s_true - lo] - cost.min()) / (unit * rho_hat)
                        effective = np.array([np.linalg.norm(
                            np.asarray(f.jump_sizes).reshape(-1, d)[j]) / (scale * math.sqrt(rho_hat))])
                        evidence = np.array([float(est["merged"][j] - est["at_fit"][j]) / unit / rho_hat])
                        alone += at_truth <= _jumps.location_cut(
                            0.9, _jumps.measured_size(effective, evidence, d))[0]
                        widened += at_truth <= _jumps.jump_cut(0.9, effective, evidence, d)[0]
                    n = len(known)
                    walk = float(_jumps.location_cut(0.9, np.array([size / math.sqrt(rho)]))[0])
                    print(f"| {'smooth' if smooth else 'constant'} | {d} | "
                          f"{'AR 0.3' if phi else 'white'} | {size} | {n} | "
                          f"{np.quantile(known, 0.9):.2f} | {walk:.2f} | {alone / n:.3f} | "
                          f"{widened / n:.3f} |")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sims", type=int, default=300)
    args = parser.parse_args()
    rng = np.random.default_rng(23)
    kernel()
    across(args.sims, rng)
    excess(args.sims, rng)


if __name__ == "__main__":
    main()
