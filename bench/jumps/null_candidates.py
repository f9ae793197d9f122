"""Candidates for the significance of a jump forced into jump-free data, side by side on the
null corpus of run.py (the same seed and series), without the coverage part.

    .venv/bin/python bench/jumps/null_candidates.py [--null-sims 1000] [--seed 20]

Rules (null table / law of the noise estimate / phi's spread):
- "shipped before": the null law fitted to the raw saving (raw_null_law.py), the noise law
  simulated on series split at their best split (vorn/_jump_ar.py);
- "corrected": the null law fitted to the saving less what the split saves on the merged
  segment's own smooth (vorn/_jump_null.py now), the same noise law;
- "corrected + law spread" (the package's now): as "corrected", the noise law read as a
  mixture over phi normal about its estimate with the estimate's sampling sd
  (phi_spread);
- "corrected + full spread": the whole significance, the factor kappa(phi) included,
  averaged over that phi;
- "jump-free": either null table with the noise law simulated on jump-free fits
  (jump_free_noise_law.py).
Each cell: KS p, shares below 0.01, 0.1 and 0.5.
"""

from __future__ import annotations

import argparse
import contextlib
import itertools
import math

import numpy as np
from scipy import stats

import vorn
from vorn import _engine, _jumps

import jump_free_noise_law
import raw_null_law
import run

RULES = {"shipped before": (raw_null_law, _jumps._jump_ar, None),
         "corrected": (_jumps._jump_null, _jumps._jump_ar, None),
         "corrected + law spread": (_jumps._jump_null, _jumps._jump_ar, "law"),
         "corrected + full spread": (_jumps._jump_null, _jumps._jump_ar, "full"),
         "jump-free, raw": (raw_null_law, jump_free_noise_law, None),
         "jump-free, corrected": (_jumps._jump_null, jump_free_noise_law, None)}


@contextlib.contextmanager
def null_table(table):  # type: ignore[no-untyped-def]
    kept = _jumps._jump_null
    _jumps._jump_null = table
    try:
        yield
    finally:
        _jumps._jump_null = kept


# Spread of select's phi times sqrt(samples * columns) at phi = 0, 0.3 and 0.6
# (phi_spread.py): the estimate spreads more the more correlated the noise.
PHI_SPREAD_AT = (0.0, 0.3, 0.6)
PHI_SPREAD = (1.68, 2.33, 3.30)
NODES, WEIGHTS = np.polynomial.hermite_e.hermegauss(5)
WEIGHTS = WEIGHTS / WEIGHTS.sum()


def phi_spread(phi: float, samples: float, d: int) -> float:
    """Sampling sd of select's phi from `samples` samples of d columns."""
    return float(np.interp(phi, PHI_SPREAD_AT, PHI_SPREAD)) / math.sqrt(samples * d)


def law_spread(saved: np.ndarray, m: float, b: float, d: int, phi: float, sd: float) -> float:
    """vorn._jumps.null_significance with the noise law read as a mixture over phi normal
    about its estimate (kappa at the estimate): the law is tabulated by the true phi, and a
    low estimate of a correlated noise's phi otherwise also picks the narrow law of nearly
    white noise."""
    mm, bb = np.array([m]), np.array([b])
    n = np.exp(_jumps._null_parameter(_jumps._jump_null.LOG_N, mm, bb, d))
    s = np.exp(_jumps._null_parameter(_jumps._jump_null.LOG_S, mm, bb, d))
    r = _jumps.ar_exponent(mm, bb, d)
    kappa = (1.0 + phi * r) / (1.0 - phi * r)
    u = saved / (kappa * s)
    total = 0.0
    for w, q in zip(WEIGHTS, np.clip(phi + sd * NODES, -0.9, 0.95)):
        v = _jumps.noise_law(run.N, d, float(q), r)
        log_f = np.log1p(-np.minimum(_jumps._chi2_even_sf(u[..., None] * v, d), 1.0))
        total += w * float(np.mean(-np.expm1(n[..., None] * log_f)))
    return total


def significance(rule: str, saved: np.ndarray, m: float, b: float, d: int, phi: float) -> float:
    null, law, spread = RULES[rule]
    sd = phi_spread(phi, run.N, d)
    with null_table(null), run.noise_law(law):
        if spread == "full":
            return float(sum(w * _jumps.null_significance(
                saved, np.array([m]), np.array([b]), d, run.N, float(q))[0]
                for w, q in zip(WEIGHTS, np.clip(phi + sd * NODES, -0.9, 0.95))))
        if spread == "law":
            return law_spread(saved, m, b, d, phi, sd)
        return float(_jumps.null_significance(
            saved, np.array([m]), np.array([b]), d, run.N, phi)[0])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--null-sims", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=run.SEED + 1,
                        help="run.py's null corpus by default; another seed for a replicate")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    rows = []
    for smooth, uneven, d, phi in itertools.product((False, True), (False, True), (1, 3),
                                                     (0.0, 0.3)):
        got_by_rule: dict[str, list[float]] = {rule: [] for rule in RULES}
        p = None
        for _ in range(args.null_sims):
            x, y, _ = run.signal(rng, smooth, uneven, d, phi, 0.0)
            if p is None:
                p = vorn.fit(x, y, bandwidth_samples=run.BANDWIDTH[smooth], gamma=math.inf).p
            phi_hat = _jumps.noise_of_values(y)[1]
            got = _engine.jump_profiles(x, y, None, p, "none",
                                        np.array([1, run.N // 2], dtype=np.int64), np.zeros(2))
            m, b = run.segment_shape(x, p, got, 1)
            resid_scale, resid_phi = run.forced_noise(
                x, y, p, np.array([1, int(got["best_split"][1])]), phi_hat)
            unit = p * resid_scale**2
            saved = _jumps.beyond_curvature(
                np.array([(got["merged"][1] - got["best"][1]) / unit]),
                got["smooth_saving"][1:2], unit)
            for rule in RULES:
                got_by_rule[rule].append(significance(rule, saved, m, b, d, resid_phi))
        row = [("smooth" if smooth else "constant"), ("uneven" if uneven else "even"), str(d),
               f"AR {phi}" if phi else "white"]
        stats_row = {}
        for rule, values in got_by_rule.items():
            v = np.asarray(values)
            stats_row[rule] = (float(stats.kstest(v, "uniform").pvalue), float(np.mean(v < 0.01)),
                               float(np.mean(v < 0.1)), float(np.mean(v < 0.5)))
        rows.append((row, stats_row))
        print(" | ".join(row), " || ", " | ".join(
            " ".join(f"{t:.3f}" for t in stats_row[r]) for r in RULES), flush=True)
    sims = args.null_sims
    for rule in RULES:
        ok = sum(s[rule][0] >= 0.01 for _, s in rows)
        tails = sum(abs(s[rule][2] - 0.1) <= 3 * math.sqrt(0.09 / sims)
                    and abs(s[rule][1] - 0.01) <= 3 * math.sqrt(0.0099 / sims) for _, s in rows)
        print(f"- {rule}: KS not rejected at 1 % in {ok} of {len(rows)}; tails within 3 sd in "
              f"{tails} of {len(rows)}")


if __name__ == "__main__":
    main()
