"""Significance on short series: large jumps, and jumps forced into jump-free data.

    .venv/bin/python bench/jumps/short_series.py [--sims 400]

Power: one step of 3, 4 or 5 noise sd at a place uniform in the middle third of n = 20, 30,
50 or 100 samples, white or AR(1) (phi = 0.3) noise of unit marginal variance, fitted with
``vorn.fit(None, y, bandwidth_samples=n / 3, penalty=12)``. Per cell: the share of signals
whose fit has a jump within 2 samples of the true place ("found"), and the share of those
with significance below 0.01. Null: jump-free series of the same kinds with one jump forced
at the best split (as run.py's null); the share of its significances below 0.01 and 0.1, and
the KS p of their uniformity. (Fits of jump-free data at a cheap penalty are no null: their
jumps are chosen where the saving is largest, and at penalty 6 on 100 white samples 22 % of
them have significance below 0.01 under every rule.) Rules side by side on the same series:
"share" (the package's: the phi the significance reads leaves out the differences across
jumps that make up more than a tenth of them, vorn._jumps.noise_away_from_large_jumps),
"across" (the rule before: phi from every difference), "every jump" (the differences across
every jump of the fit left out).
"""

from __future__ import annotations

import argparse
import contextlib
import itertools
import math
import sys
from pathlib import Path

import numpy as np
from scipy import stats

import vorn
from vorn import _engine, _jumps

sys.path.insert(0, str(Path(__file__).resolve().parent))

SEED = 2217


def across(fit, w, noise):  # type: ignore[no-untyped-def]
    return noise


def every_jump(fit, w, noise):  # type: ignore[no-untyped-def]
    if not fit.jump_indices.size:
        return noise
    values, deltas = _jumps.noise_values(fit._searched_y, None if w is None else 1.0 / np.sqrt(w))
    return _jumps.noise_of_values(values, deltas, np.asarray(fit.jump_indices, dtype=np.intp))


RULES = {"share": None, "across": across, "every jump": every_jump}


@contextlib.contextmanager
def rule(name: str):  # type: ignore[no-untyped-def]
    kept = _jumps.noise_away_from_large_jumps
    if RULES[name] is not None:
        _jumps.noise_away_from_large_jumps = RULES[name]
    try:
        yield
    finally:
        _jumps.noise_away_from_large_jumps = kept


def noise(rng: np.random.Generator, n: int, phi: float) -> np.ndarray:
    e = rng.standard_normal(n)
    for i in range(1, n):
        e[i] = phi * e[i - 1] + math.sqrt(1.0 - phi * phi) * e[i]
    return e


def significances(y: np.ndarray, bandwidth: float, penalty: float) -> dict[str, tuple]:
    """Per rule: the fit's jump indices and their significances (a fresh fit each, so no
    rule reads another's cached evidence)."""
    out = {}
    for name in RULES:
        f = vorn.fit(None, y, bandwidth_samples=bandwidth, penalty=penalty)
        with rule(name):
            out[name] = (np.asarray(f.jump_indices),
                         np.asarray(f.jump_evidence.significance) if f.jump_indices.size
                         else np.zeros(0))
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sims", type=int, default=400)
    args = ap.parse_args()
    rng = np.random.default_rng(SEED)
    names = list(RULES)
    print("Power: found ; share of found with significance < 0.01, per rule\n")
    print("| n | noise | size | found | " + " | ".join(names) + " |")
    print("|---|---|---|---|" + "---|" * len(names))
    for n, phi, size in itertools.product((20, 30, 50, 100), (0.0, 0.3), (3.0, 4.0, 5.0)):
        found, small = 0, {name: 0 for name in names}
        for _ in range(args.sims):
            where = int(rng.integers(n // 3, 2 * n // 3))
            y = np.where(np.arange(n) > where, size, 0.0) + noise(rng, n, phi)
            got = significances(y, n / 3.0, 12.0)
            idx = got[names[0]][0]
            if not idx.size or np.min(np.abs(idx - where)) > 2:
                continue
            found += 1
            j = int(np.argmin(np.abs(idx - where)))
            for name in names:
                small[name] += got[name][1][j] < 0.01
        cells = " | ".join(f"{small[name] / max(found, 1):.3f}" for name in names)
        print(f"| {n} | {'AR 0.3' if phi else 'white'} | {size:g} | {found / args.sims:.3f} | "
              f"{cells} |")
    print("\nNull: one jump forced at the best split of jump-free data; share < 0.01 ; "
          "share < 0.1 ; KS p, per rule\n")
    print("| n | noise | " + " | ".join(names) + " |")
    print("|---|---|" + "---|" * len(names))
    for n, phi in itertools.product((20, 30, 50, 100), (0.0, 0.3)):
        values: dict[str, list[float]] = {name: [] for name in names}
        bandwidth = n / 3.0
        p = 1.0 / (1.0 + bandwidth**4)
        for _ in range(args.sims):
            for name, value in forced_split(noise(rng, n, phi)[:, None], p, bandwidth).items():
                values[name].append(value)
        cells = []
        for name in names:
            v = np.asarray(values[name])
            cells.append(f"{np.mean(v < 0.01):.3f} ; {np.mean(v < 0.1):.3f} ; "
                         f"{stats.kstest(v, 'uniform').pvalue:.3f}")
        print(f"| {n} | {'AR 0.3' if phi else 'white'} | " + " | ".join(cells) + " |")


def forced_split(y: np.ndarray, p: float, bandwidth: float) -> dict[str, float]:
    """The no-jump significance of the split a fit would be forced to place in y, per rule,
    read as a fit's evidence reads it (tests/python/test_pkg_jumps.py, the same construction:
    two leading samples and a jump after them make the rest one inner segment)."""
    n = y.shape[0]
    x = np.arange(n, dtype=float)
    got = _engine.jump_profiles(x, y, None, p, "none", np.array([1, n // 2], np.int64),
                                np.zeros(2))
    split = int(got["best_split"][1])
    inner = y[2:]
    curves = [vorn.fit(x[a:c], y[a:c], p, math.inf) for a, c in ((2, split + 1), (split + 1, n))]
    residuals = np.concatenate([y[a:c] - g(x[a:c]).reshape(c - a, -1)
                                for g, (a, c) in zip(curves, ((2, split + 1), (split + 1, n)))])
    mid = 0.5 * (x[split] + x[split + 1])
    size = float(np.linalg.norm(np.asarray(curves[1](mid)) - np.asarray(curves[0](mid))))
    scale, phi_across = _jumps.noise_of_values(inner)
    phi_away = _jumps.noise_of_values(inner, None, np.array([split - 2], dtype=np.intp))[1]
    sd0 = scale * math.sqrt((1.0 - phi_across) * (3.0 - phi_across) / 3.0)
    large = 2.0 * size**2 > _jumps._LARGE_JUMP_SHARE * 6.0 * (n - 4) * sd0 * sd0
    out = {}
    for name, phi0 in (("share", phi_away if large else phi_across), ("across", phi_across),
                       ("every jump", phi_away)):
        s, phi = _jumps.noise_of_residuals(residuals, bandwidth, 4, phi0)
        law_phi = _jumps.law_index(residuals, np.array([split - 2]), bandwidth, phi)
        unit = p * s**2
        saved = _jumps.beyond_curvature((got["merged"][1:] - got["best"][1:]) / unit,
                                        got["smooth_saving"][1:], unit)
        out[name] = float(_jumps.null_significance(saved, np.array([n - 2.0]),
                                                   np.array([bandwidth]), 1, n - 2.0, phi,
                                                   law_phi)[0])
    return out


if __name__ == "__main__":
    main()
