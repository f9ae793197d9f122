"""Why the significance of jump-free AR(1) series with one value column was not uniform, and
what was done about it: a sharper phi, off the residuals away from the segment ends, to read
the law of the noise estimate at (adopted), not to divide the saving by (not adopted).

    .venv/bin/python bench/jumps/ar_significance.py [--null-sims 1000] [--sims 300]
        [--parts deciles,phi,spurious]     (about two minutes)

- `deciles`: run.py's null corpus (seed 20, the same series, the significance as run.py's
  `resid` computes it) for the four cells of d = 1 and AR(1) noise of phi = 0.3: the
  significances by tenths, and by terciles of select's phi estimate (second differences),
  with the law of the noise estimate read at select's phi (the rule before) and at phi off
  the residuals away from the segment ends (the package's now, vorn._jumps.law_index).
- `phi`: phi off the fit's residuals, only those at least `margin` bandwidths from every end
  of a segment (a split or the series' ends), where a segment end leaves the stationary
  filter's moments (vorn._jumps.residual_moments); beside select's. The package reads the
  law at it with a margin of 1 (vorn._jumps.law_index, which falls back to select's phi
  when fewer than a quarter of the samples are kept, where this script needs 10 pairs). On
  jump-free series split at their best split (run.py's null corpus, a new seed) and on
  run.py's fits of a 3 sd jump (their own jumps, true and spurious). Mean and sd over the
  series, the median number of residuals kept, and how many series kept fewer than 10 pairs.
- `spurious`: jump-free series fitted as run.py fits them (its bandwidths and penalties), so
  every jump the fit holds is the noise's; the share of those jumps with significance below
  0.01 / 0.1 / 0.5 with the law of the noise estimate read at phi off the residuals away
  from the segment ends (the package's now, vorn._jumps.law_index) and at select's phi (the
  rule before). Each jump is the best split of its merged pair of segments, as a forced
  split is, but the other jumps the noise made have taken part of the noise and of its
  correlation, which the forced-split null does not see.
"""

from __future__ import annotations

import argparse
import itertools
import math

import numpy as np
from scipy import stats

import run
import vorn
from vorn import _engine, _jumps

MARGINS = (0.5, 1.0, 1.5, 2.0)


def phi_away(r: np.ndarray, jumps: np.ndarray, b: float, margin: float) -> tuple[float, int]:
    """phi from the lag-one ratio of the residuals at least margin * b from every segment
    end; nan when fewer than 10 neighbouring pairs remain."""
    n = r.shape[0]
    ends = np.concatenate(([-0.5], np.asarray(jumps, dtype=float) + 0.5, [n - 0.5]))
    index = np.arange(n)
    segment = np.searchsorted(ends, index)
    distance = np.minimum(index - ends[segment - 1], ends[segment] - index)
    keep = distance >= margin * b
    pair = keep[:-1] & keep[1:] & (segment[:-1] == segment[1:])
    if int(pair.sum()) < 10:
        return math.nan, int(keep.sum())
    square = float(np.sum(r[keep] ** 2)) / int(keep.sum())
    lagged = float(np.sum(r[:-1][pair] * r[1:][pair])) / int(pair.sum())
    phis = _jumps._RESIDUAL_PHIS
    variance, covariance = _jumps.residual_moments(b, phis)
    return float(np.interp(lagged / square, covariance / variance, phis)), int(keep.sum())


def residuals(x: np.ndarray, y: np.ndarray, p: float, jumps: np.ndarray) -> np.ndarray:
    r = np.zeros_like(y)
    bounds = np.concatenate(([0], np.asarray(jumps) + 1, [x.size]))
    for a, c in zip(bounds[:-1], bounds[1:]):
        if c - a > 2:
            g = vorn.fit(x[a:c], y[a:c], p, math.inf)
            r[a:c] = y[a:c] - np.asarray(g(x[a:c])).reshape(c - a, -1)
    return r


def deciles(sims: int) -> None:
    print("| segments | sites | law at | KS p | < 0.01 | significances by tenths | < 0.1 in phi "
          "terciles (low / middle / high) | < 0.5 in phi terciles |\n"
          "|---|---|---|---|---|---|---|---|")
    rng = np.random.default_rng(run.SEED + 1)
    for smooth, uneven, d, phi in itertools.product((False, True), (False, True), (1, 3),
                                                     (0.0, 0.3)):
        values, phis, p = {"select's phi": [], "residuals' phi": []}, [], None
        for _ in range(sims):
            x, y, _ = run.signal(rng, smooth, uneven, d, phi, 0.0)
            if d != 1 or not phi:
                continue  # the series are drawn all the same, so the corpus is run.py's
            if p is None:
                p = vorn.fit(x, y, bandwidth_samples=run.BANDWIDTH[smooth], gamma=math.inf).p
            scale, phi_hat = _jumps.noise_of_values(y)
            got = _engine.jump_profiles(x, y, None, p, "none",
                                        np.array([1, run.N // 2], dtype=np.int64), np.zeros(2))
            m, b = run.segment_shape(x, p, got, 1)
            resid_scale, resid_phi, law_phi = run.forced_noise_and_law(
                x, y, p, np.array([1, int(got["best_split"][1])]), phi_hat)
            unit = p * resid_scale**2
            saved = _jumps.beyond_curvature(
                np.array([(got["merged"][1] - got["best"][1]) / unit]),
                got["smooth_saving"][1:2], unit)
            for name, at in (("select's phi", None), ("residuals' phi", law_phi)):
                values[name].append(float(_jumps.null_significance(
                    saved, np.array([m]), np.array([b]), d, run.N, resid_phi, at)[0]))
            phis.append(phi_hat)
        if not phis:
            continue
        ph = np.asarray(phis)
        edges = np.quantile(ph, [1 / 3, 2 / 3])
        groups = [ph <= edges[0], (ph > edges[0]) & (ph <= edges[1]), ph > edges[1]]
        for name, got_values in values.items():
            v = np.asarray(got_values)
            print(f"| {'smooth' if smooth else 'constant'} | {'uneven' if uneven else 'even'} | "
                  f"{name} | {stats.kstest(v, 'uniform').pvalue:.3f} | {np.mean(v < 0.01):.3f} | "
                  f"{' '.join(str(c) for c in np.histogram(v, bins=10, range=(0, 1))[0])} | "
                  + " / ".join(f"{np.mean(v[g] < 0.1):.3f}" for g in groups) + " | "
                  + " / ".join(f"{np.mean(v[g] < 0.5):.3f}" for g in groups) + " |")


def phi_candidates(sims: int) -> None:
    print("\n| series | segments | d | phi | select's: mean +- sd | "
          + " | ".join(f"{m} bandwidths: mean +- sd (kept, too few)" for m in MARGINS)
          + " |\n|---|---|---|---|---|" + "---|" * len(MARGINS))
    rng = np.random.default_rng(41)
    for kind in ("jump-free, best split", "3 sd jump, fitted"):
        for smooth, d, phi in itertools.product((False, True), (1, 3), (0.0, 0.3)):
            b = run.BANDWIDTH[smooth]
            select, away = [], {m: ([], []) for m in MARGINS}
            for _ in range(sims):
                if kind.startswith("jump-free"):
                    x, y, _ = run.signal(rng, smooth, False, d, phi, 0.0)
                    p = 1.0 / (1.0 + b**4)
                    got = _engine.jump_profiles(x, y, None, p, "none",
                                                np.array([1, run.N // 2], dtype=np.int64),
                                                np.zeros(2))
                    jumps = np.array([int(got["best_split"][1])])
                else:
                    x, y, _ = run.signal(rng, smooth, False, d, phi, 3.0)
                    f = vorn.fit(x, y if d > 1 else y[:, 0], bandwidth_samples=b,
                                 penalty=run.PENALTY + 3.5 * (d - 1))
                    p, jumps = f.p, f.jump_indices
                r = residuals(x, y, p, jumps)
                select.append(_jumps.noise_of_values(y)[1])
                for margin in MARGINS:
                    value, kept = phi_away(r, jumps, b, margin)
                    away[margin][0].append(value)
                    away[margin][1].append(kept)
            cells = []
            for margin in MARGINS:
                v = np.asarray(away[margin][0])
                cells.append(f"{np.nanmean(v):.3f} +- {np.nanstd(v):.3f} "
                             f"({np.median(away[margin][1]):.0f}, {int(np.isnan(v).sum())})")
            print(f"| {kind} | {'smooth' if smooth else 'constant'} | {d} | {phi} | "
                  f"{np.mean(select):.3f} +- {np.std(select):.3f} | " + " | ".join(cells) + " |")


def spurious(sims: int) -> None:
    print("\n| segments | d | noise | fits with jumps | jumps | now: < 0.01 | < 0.1 | < 0.5 | "
          "law at select's phi: < 0.01 | < 0.1 | < 0.5 |\n|---|---|---|---|---|---|---|---|---|---|---|")
    rng = np.random.default_rng(43)
    kept = _jumps.law_index
    for smooth, d, phi in itertools.product((False, True), (1, 3), (0.0, 0.3)):
        now, before, fits = [], [], 0
        for _ in range(sims):
            x, y, _ = run.signal(rng, smooth, False, d, phi, 0.0)
            f = vorn.fit(x, y if d > 1 else y[:, 0], bandwidth_samples=run.BANDWIDTH[smooth],
                         penalty=run.PENALTY + 3.5 * (d - 1))
            if f.jump_indices.size == 0:
                continue
            fits += 1
            now.extend(_jumps.report(f, 0.9)[0].evidence.significance)
            _jumps.law_index = lambda r, jumps, bandwidth, fallback, block=0: fallback
            try:
                before.extend(_jumps.report(f, 0.9)[0].evidence.significance)
            finally:
                _jumps.law_index = kept
        a, b = np.asarray(now), np.asarray(before)
        print(f"| {'smooth' if smooth else 'constant'} | {d} | {'AR 0.3' if phi else 'white'} | "
              f"{fits} | {a.size} | "
              + " | ".join(f"{np.mean(v < t):.3f}" for v in (a, b) for t in (0.01, 0.1, 0.5))
              + " |")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--null-sims", type=int, default=1000)
    parser.add_argument("--sims", type=int, default=300)
    parser.add_argument("--parts", default="deciles,phi,spurious")
    args = parser.parse_args()
    parts = args.parts.split(",")
    if "deciles" in parts:
        deciles(args.null_sims)
    if "phi" in parts:
        phi_candidates(args.sims)
    if "spurious" in parts:
        spurious(args.sims)


if __name__ == "__main__":
    main()
