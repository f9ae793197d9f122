"""Candidate noise estimates for the jump evidence: their spread on run.py's signals.

    .venv/bin/python bench/jumps/noise_candidates.py [--sims 400]

The significance averages its null law over the law of the noise estimate the saving is
measured in, V = s2 kappa(phi) over its true value (kappa = (1 + phi r) / (1 - phi r)), so a
tighter V is power at no cost in calibration. For each cell (n = 200, even sites, constant or
sine segments with one 3 sd jump, white or AR(1) phi = 0.3 noise, d = 1 or 3, fitted as
run.py fits them) the table gives the mean and sd of the estimated phi and the median and sd
of log V (r of the whole series at the cell's bandwidth), for:

- "select": select's second differences (the variance from the median absolute deviation,
  phi from winsorised variances), the rule before;
- "plain": the plain mean squares of lag-1 and lag-2 second differences, those that
  straddle one of the fit's jumps left out;
- "resid": the fit's residuals, their mean square and lag-one product matched to those of
  AR(1) noise through the smoother's transfer function (vorn._jumps.noise_of_residuals);
- "resid var": the variance as "resid", phi as "select" (robust to the fit's spurious jumps,
  which take the slow part of AR(1) noise with them and bias "resid"'s phi low);
- "oracle": the drawn noise's own mean square and lag-one correlation (no estimator sees
  more).
"""

from __future__ import annotations

import argparse
import itertools
import math

import numpy as np

import run
import vorn
from vorn import _jumps
from vorn._noise import _phi_from_ratio


def plain_differences(y: np.ndarray, jumps: np.ndarray) -> tuple[float, float]:
    """Mean squares of lag-1 and lag-2 second differences clear of the jumps."""
    totals = []
    for lag in (1, 2):
        diffs = y[: -2 * lag] - 2.0 * y[lag:-lag] + y[2 * lag:]
        keep = np.ones(diffs.shape[0], bool)
        for s in jumps:  # a jump between samples s and s + 1
            keep[max(s - 2 * lag + 1, 0):s + 1] = False
        totals.append(np.mean(diffs[keep] ** 2, axis=0))
    phi = _phi_from_ratio(float(np.sum(totals[1]) / np.sum(totals[0])))
    return float(np.sqrt(np.mean(totals[0]) / (2.0 * (1.0 - phi) * (3.0 - phi)))), phi


def oracle(e: np.ndarray) -> tuple[float, float]:
    return math.sqrt(float(np.mean(e**2))), float(np.sum(e[1:] * e[:-1]) / np.sum(e**2))


NAMES = ("select", "plain", "resid", "resid var", "oracle")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sims", type=int, default=400)
    parser.add_argument("--uneven", action="store_true")
    args = parser.parse_args()
    rng = np.random.default_rng(run.SEED + 11)
    print("| segments | d | noise | " + " | ".join(
        f"{n}: phi mean | sd | V median | log V sd" for n in NAMES) + " |")
    print("|---|---|---|" + "---|" * (4 * len(NAMES)))
    for smooth, d, phi in itertools.product((False, True), (1, 3), (0.0, 0.3)):
        est: dict[str, list[tuple[float, float]]] = {n: [] for n in NAMES}
        b = run.BANDWIDTH[smooth]
        for _ in range(args.sims):
            noise: list = []
            x, y, _ = run.signal(rng, smooth, args.uneven, d, phi, 3.0, noise)
            f = vorn.fit(x, y, bandwidth_samples=b, penalty=run.PENALTY + 3.5 * (d - 1))
            est["select"].append(_jumps.noise_of_values(y))
            est["plain"].append(plain_differences(y, f.jump_indices))
            est["resid"].append(_jumps.noise_of_fit(f, None, "residuals"))
            est["resid var"].append(_jumps.noise_of_fit(f, None))
            est["oracle"].append(oracle(noise[0]))
        r = float(_jumps.ar_exponent(np.array([float(run.N)]), np.array([b]), d)[0])
        kappa = (1 + phi * r) / (1 - phi * r)
        cells = []
        for n in NAMES:
            s, ph = np.asarray(est[n]).T
            v = np.log(s**2 * (1 + ph * r) / (1 - ph * r) / kappa)
            cells += [ph.mean(), ph.std(), np.exp(np.median(v)), v.std()]
        print(f"| {'smooth' if smooth else 'constant'} | {d} | "
              f"{'AR ' + str(phi) if phi else 'white'} | "
              + " | ".join(f"{c:.3f}" for c in cells) + " |", flush=True)


if __name__ == "__main__":
    main()
