"""Candidates for the significance of a jump forced into jump-free data, side by side on the
null corpus of run.py (the same seed and series), without the coverage part.

    .venv/bin/python bench/jumps/null_candidates.py [--null-sims 1000] [--seed 20]

Rules (null table / law of the noise estimate / phi's spread):
- "shipped before": the null law fitted to the raw saving (raw_null_law.py), the noise law
  simulated on series split at their best split (vorn/_jump_ar.py);
- "corrected" (the package's now): the null law fitted to the saving less what the split
  saves on the merged segment's own smooth (vorn/_jump_null.py), the same noise law;
- "corrected + law spread": as "corrected", the noise law read as a
  mixture over phi normal about its estimate with the estimate's sampling sd
  (phi_spread);
- "corrected + full spread": the whole significance, the factor kappa(phi) included,
  averaged over that phi;
- "jump-free": either null table with the noise law simulated on jump-free fits
  (jump_free_noise_law.py);
- "by estimated phi": the law of the statistic as the package computes it, with its own
  plug-in phi, indexed by that estimate instead of the true phi. The significance of
  "corrected" is recalibrated against a calibration corpus of the same cell shape (segments,
  sites, d) whose true phi is drawn from a uniform prior on PRIOR: the share of calibration
  series with a significance at most as large, weighted by a Gaussian kernel in the
  difference of the estimated phi (bandwidth a quarter of the estimate's sampling sd). The
  corpus has the bench's one segment length and bandwidth, so this is the best a table
  indexed by the estimate could do here, not a table the package could ship.
- "studentised": no noise estimate at all. The corrected saving (energy units) divided by
  the median saving of the splits of the same merged segment that lie at least a bandwidth
  from its ends (the engine's profile), so that the noise variance and the factor AR(1)
  noise scales every split's saving by cancel; its law is simulated on white jump-free
  series of the same cell shape (STUDENT_SEED), the significance the share of that corpus
  with a ratio at least as large. Like "by estimated phi", a law per cell shape.
- "sides": as "studentised", the median taken over the splits of either side of the best
  split, each side a segment of its own (one more engine pass): a real jump raises every
  split's saving of the merged segment, not those of its sides.
- "studentised by phi", "sides by phi": the ratio divided first by its shift under AR(1)
  noise at the plug-in phi (the median ratio at that phi over the white one, simulated on
  STUDENT_PHIS), since the median split's saving and the largest are not scaled alike.
- "local phi": the package's rule with sd and phi both read off the residuals of the merged
  segment alone, each side of the split fitted on its own (noise_of_residuals, phi
  estimated from the residuals' lag-one product, four segment ends), instead of phi from
  the whole series' second differences.
- "pooled": the corrected saving over a geometric mean of the package's plug-in scale (noise
  variance times kappa at the plug-in phi) and that of "sides by phi", weighted by the
  spreads of their logs on white jump-free series; the law simulated there too (Pooled).
Each cell: KS p, shares below 0.01, 0.1 and 0.5.

    .venv/bin/python bench/jumps/null_candidates.py --null-sims 1000 [--seed 2027] \
        --rules "studentised,studentised by phi,sides,sides by phi,local phi,pooled" \
        [--student-sims 4000] [--calibration-cache DIR] [--terciles]
    .venv/bin/python bench/jumps/null_candidates.py --power 200 \
        --rules "studentised,studentised by phi,sides,sides by phi,local phi,pooled"

    .venv/bin/python bench/jumps/null_candidates.py --null-sims 1000 --calibration-sims 20000 \
        [--seed 2027] [--calibration-cache DIR]
    .venv/bin/python bench/jumps/null_candidates.py --power 200 --calibration-sims 20000

The second reruns run.py's coverage corpus for the power of "by estimated phi" (its `found`
and `power` columns reproduce run.py's).
"""

from __future__ import annotations

import argparse
import contextlib
import itertools
import math
from typing import Any

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


def null_table(table):  # type: ignore[no-untyped-def]
    return run.law_table("_jump_null", table)


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


# A uniform prior on the true phi for the calibration corpus: white noise and the moderate
# correlation of the bench's AR(1) cells both lie inside it, neither at an end.
PRIOR = (0.0, 0.6)
CALIBRATION_SEED = 1919


FORCED = np.array([1, run.N // 2], dtype=np.int64)


def forced_profiles(x: np.ndarray, y: np.ndarray, p: float) -> dict:
    """The engine pass (profile kept) over a split forced into the first half of jump-free
    data: its second jump is the one the null corpus reads."""
    return _engine.jump_profiles(x, y, None, p, "none", FORCED, np.zeros(2), True)


def forced(x: np.ndarray, y: np.ndarray, p: float, d: int
           ) -> tuple[float, float, np.ndarray, float, float, dict, float]:
    """The package's significance ("corrected") of a split forced into the first half of
    jump-free data, the plug-in phi it was read at, the saving, the segment's shape, the
    engine pass and the noise sd the saving is measured in."""
    phi_hat = _jumps.noise_of_values(y)[1]
    got = forced_profiles(x, y, p)
    m, b = run.segment_shape(x, p, got, 1)
    resid_scale, resid_phi = run.forced_noise(
        x, y, p, np.array([1, int(got["best_split"][1])]), phi_hat)
    unit = p * resid_scale**2
    saved = _jumps.beyond_curvature(
        np.array([(got["merged"][1] - got["best"][1]) / unit]), got["smooth_saving"][1:2], unit)
    return (significance("corrected", saved, m, b, d, resid_phi), resid_phi, saved, m, b,
            got, resid_scale)


STUDENT_SEED = 1920


def interior(saving: np.ndarray, b: float) -> np.ndarray:
    """The savings of the splits at least a bandwidth from either end of their segment, where
    a split's saving weighs samples on both sides alike as the best split's does; every
    split when none lies that far in."""
    k = np.arange(saving.size)
    inside = np.minimum(k, saving.size - 1 - k) >= b
    return saving[inside] if inside.any() else saving


def profile_savings(got: dict, j: int, b: float) -> np.ndarray:
    """Interior savings (energy units) of the splits of jump j's merged segment."""
    offsets = got["profile_offset"]
    return interior(got["merged"][j] - got["profile"][offsets[j]:offsets[j + 1]], b)


def side_savings(x: np.ndarray, y: np.ndarray, p: float, jumps: np.ndarray, got: dict,
                 j: int, b: float) -> np.ndarray:
    """Interior savings of the splits of either side of jump j's best split, each side a
    segment of its own: one more engine pass with a jump added inside each side, whose
    profile is then that side's. A real jump sits at the split, not inside a side, so these
    stay the noise's."""
    first, last, split = int(got["first"][j]), int(got["last"][j]), int(got["best_split"][j])
    # A jump needs two samples on either side of it within its segment.
    added = [(first + split) // 2] if split - first >= 3 else []
    added += [(split + 1 + last) // 2] if last - split >= 4 else []
    if not added:
        return profile_savings(got, j, b)
    others = np.delete(np.asarray(jumps, dtype=np.int64), j)
    every = np.unique(np.concatenate((others, [split], added))).astype(np.int64)
    sides = _engine.jump_profiles(x, y, None, p, "none", every, np.zeros(every.size), True)
    offsets = sides["profile_offset"]
    out = []
    for a in added:
        i = int(np.searchsorted(every, a))
        out.append(interior(sides["merged"][i] - sides["profile"][offsets[i]:offsets[i + 1]], b))
    return np.concatenate(out)


# Per rule: the splits the median is taken over, and whether the ratio is divided by its
# shift at the plug-in phi first.
STUDENT_RULES = {"studentised": ("profile", False),
                 "studentised by phi": ("profile", True),
                 "sides": ("sides", False),
                 "sides by phi": ("sides", True)}


def studentised(kind: str, x: np.ndarray, y: np.ndarray, p: float, jumps: np.ndarray,
                got: dict, j: int, b: float) -> float:
    """Jump j's corrected saving over the median interior saving of the splits of its merged
    segment ("profile") or of either side of its best split ("sides")."""
    corrected = max(float(got["merged"][j] - got["best"][j] - got["smooth_saving"][j]), 0.0)
    saving = (profile_savings(got, j, b) if kind == "profile"
              else side_savings(x, y, p, jumps, got, j, b))
    scale = float(np.median(saving))
    return corrected / scale if scale > 0.0 else math.inf


def ratios(kind: str, smooth: bool, uneven: bool, d: int, phi: float, sims: int,
           seed: list[int]) -> np.ndarray:
    """Ratios of `sims` jump-free series of the cell's shape under AR(1) noise of `phi`."""
    rng = np.random.default_rng(seed)
    out = np.empty(sims)
    p = None
    for i in range(sims):
        x, y, _ = run.signal(rng, smooth, uneven, d, phi, 0.0)
        if p is None:
            p = vorn.fit(x, y, bandwidth_samples=run.BANDWIDTH[smooth], gamma=math.inf).p
        got = forced_profiles(x, y, p)
        out[i] = studentised(kind, x, y, p, FORCED, got, 1, run.segment_shape(x, p, got, 1)[1])
    return out


def studentised_law(kind: str, smooth: bool, uneven: bool, d: int, sims: int,
                    cache: str | None) -> np.ndarray:
    """Sorted ratios of `sims` white jump-free series of the cell's shape."""
    name = f"{cache}/student-{kind}-{int(smooth)}{int(uneven)}{d}-{sims}.npy" if cache else None
    if name:
        with contextlib.suppress(OSError):
            return np.load(name)
    out = np.sort(ratios(kind, smooth, uneven, d, 0.0, sims,
                         [STUDENT_SEED, int(smooth), int(uneven), d]))
    if name:
        np.save(name, out)
    return out


# The ratio is not free of phi: the median split saves more of AR(1) noise than the largest
# (its law shifts by about 0.85 at phi = 0.3 on constant segments, a bandwidth of 20), but
# far less than the saving itself does (kappa about 1.6), so a plug-in phi off by its
# sampling sd moves the ratio's scale by a few per cent where it moves kappa by a third.
STUDENT_PHIS = (-0.3, -0.15, 0.0, 0.15, 0.3, 0.45, 0.6)


def studentised_shift(kind: str, smooth: bool, uneven: bool, d: int, sims: int,
                      cache: str | None) -> np.ndarray:
    """Median ratio of `sims` jump-free series of the cell's shape under AR(1) noise of each
    of STUDENT_PHIS, over that of white noise."""
    name = f"{cache}/shift-{kind}-{int(smooth)}{int(uneven)}{d}-{sims}.npy" if cache else None
    if name:
        with contextlib.suppress(OSError):
            return np.load(name)
    medians = [float(np.median(ratios(kind, smooth, uneven, d, phi, sims,
                                      [STUDENT_SEED, int(smooth), int(uneven), d, i + 1])))
               for i, phi in enumerate(STUDENT_PHIS)]
    shift = np.asarray(medians) / medians[STUDENT_PHIS.index(0.0)]
    if name:
        np.save(name, shift)
    return shift


def studentised_significance(t: float, law: np.ndarray) -> float:
    """Share of the simulated law at least `t`, counting `t` itself (a valid p-value)."""
    return float(1.0 + law.size - np.searchsorted(law, t, side="left")) / (1.0 + law.size)


class Studentised:
    """The laws a studentised rule reads its ratio at, for one cell shape."""

    def __init__(self, rule: str, smooth: bool, uneven: bool, d: int, sims: int,
                 cache: str | None) -> None:
        self.kind, scaled = STUDENT_RULES[rule]
        self.law = studentised_law(self.kind, smooth, uneven, d, sims, cache)
        self.shift = (studentised_shift(self.kind, smooth, uneven, d, sims // 4, cache)
                      if scaled else None)

    def __call__(self, t: float, phi: float) -> float:
        if self.shift is not None:  # clamped to the simulated phis
            t = t / float(np.interp(phi, STUDENT_PHIS, self.shift))
        return studentised_significance(t, self.law)


def plug_in_scale(scale: float, phi: float, m: float, b: float, d: int) -> float:
    """The package's scale of a split's saving (energy per p): the noise variance times
    kappa at the plug-in phi."""
    r = float(_jumps.ar_exponent(np.array([m]), np.array([b]), d)[0])
    return scale * scale * (1.0 + phi * r) / (1.0 - phi * r)


class Pooled:
    """"pooled": the corrected saving over a geometric mean of the two scales, the
    package's plug-in (every sample, but kappa as rough as phi) and "sides by phi" (the
    segment's own splits, nearly free of phi, few degrees of freedom), each weighted by the
    other's spread of log on the white calibration corpus; the law of that ratio simulated
    on the same corpus."""

    def __init__(self, smooth: bool, uneven: bool, d: int, sims: int, cache: str | None
                 ) -> None:
        self.shift = studentised_shift("sides", smooth, uneven, d, sims // 4, cache)
        name = f"{cache}/pooled-{int(smooth)}{int(uneven)}{d}-{sims}.npz" if cache else None
        got = None
        if name:
            with contextlib.suppress(OSError):
                got = dict(np.load(name))
        if got is None:
            rng = np.random.default_rng([STUDENT_SEED, int(smooth), int(uneven), d, 99])
            saving, log_a, log_b = np.empty(sims), np.empty(sims), np.empty(sims)
            p = None
            for i in range(sims):
                x, y, _ = run.signal(rng, smooth, uneven, d, 0.0, 0.0)
                if p is None:
                    p = vorn.fit(x, y, bandwidth_samples=run.BANDWIDTH[smooth],
                                 gamma=math.inf).p
                saving[i], log_a[i], log_b[i] = self.parts(x, y, p, FORCED, forced_pass(
                    x, y, p), 1, d)
            got = dict(saving=saving, log_a=log_a, log_b=log_b)
            if name:
                np.savez(name, **got)
        var_a, var_b = float(np.var(got["log_a"])), float(np.var(got["log_b"]))
        self.w = var_b / (var_a + var_b)
        self.law = np.sort(self.ratio(got["saving"], got["log_a"], got["log_b"]))

    def parts(self, x: np.ndarray, y: np.ndarray, p: float, jumps: np.ndarray,
              got: dict, j: int, d: int) -> tuple[float, float, float]:
        """Jump j's corrected saving (energy units) and the logs of the two scales."""
        scale, phi = got["noise"]
        m, b = run.segment_shape(x, p, got, j)
        corrected = max(float(got["merged"][j] - got["best"][j] - got["smooth_saving"][j]),
                        0.0)
        sides = float(np.median(side_savings(x, y, p, jumps, got, j, b)))
        shift = float(np.interp(phi, STUDENT_PHIS, self.shift))
        return (corrected, math.log(p * plug_in_scale(scale, phi, m, b, d)),
                math.log(max(sides, 1e-300) / shift))

    def ratio(self, saving: Any, log_a: Any, log_b: Any) -> Any:
        return saving / np.exp(self.w * log_a + (1.0 - self.w) * log_b)

    def __call__(self, saving: float, log_a: float, log_b: float) -> float:
        return studentised_significance(float(self.ratio(saving, log_a, log_b)), self.law)


def forced_pass(x: np.ndarray, y: np.ndarray, p: float) -> dict:
    """forced_profiles with the package's evidence noise (sd, phi) of the forced split."""
    got = dict(forced_profiles(x, y, p))
    got["noise"] = run.forced_noise(x, y, p, np.array([1, int(got["best_split"][1])]),
                                    _jumps.noise_of_values(y)[1])
    return got


def local_noise(x: np.ndarray, y: np.ndarray, p: float, first: int, split: int, last: int
                ) -> tuple[float, float]:
    """Noise sd and phi from the residuals of the merged segment's two sides, each fitted
    alone, phi estimated from them."""
    parts = [(first, split + 1), (split + 1, last + 1)]
    r = []
    for a, c in parts:
        if c - a > 2:  # two samples or fewer lie on their own line
            g = vorn.fit(x[a:c], y[a:c], p, math.inf)
            r.append(y[a:c] - np.asarray(g(x[a:c])).reshape(c - a, -1))
        else:
            r.append(np.zeros((c - a, y.shape[1])))
    b = ((1.0 - p) / (p * ((x[last] - x[first]) / max(last - first, 1)) ** 3)) ** 0.25
    return _jumps.noise_of_residuals(np.concatenate(r), b, 2 * len(parts))


def local_phi(x: np.ndarray, y: np.ndarray, p: float, got: dict, j: int, d: int) -> float:
    """The package's significance of jump j with sd and phi from local_noise."""
    first, last, split = int(got["first"][j]), int(got["last"][j]), int(got["best_split"][j])
    scale, phi = local_noise(x, y, p, first, split, last)
    m, b = run.segment_shape(x, p, got, j)
    unit = p * scale**2
    saved = _jumps.beyond_curvature(np.array([(got["merged"][j] - got["best"][j]) / unit]),
                                    got["smooth_saving"][j:j + 1], unit)
    return float(_jumps.null_significance(saved, np.array([m]), np.array([b]), d, m, phi)[0])


def calibration(smooth: bool, uneven: bool, d: int, sims: int, cache: str | None
                ) -> tuple[np.ndarray, np.ndarray]:
    """Significances and plug-in phis of `sims` jump-free series of true phi ~ U(PRIOR)."""
    name = f"{cache}/cal-{int(smooth)}{int(uneven)}{d}-{sims}.npz" if cache else None
    if name:
        with contextlib.suppress(OSError):
            got = np.load(name)
            return got["sig"], got["phi"]
    rng = np.random.default_rng([CALIBRATION_SEED, int(smooth), int(uneven), d])
    sig, phis = np.empty(sims), np.empty(sims)
    p = None
    for i in range(sims):
        x, y, _ = run.signal(rng, smooth, uneven, d, float(rng.uniform(*PRIOR)), 0.0)
        if p is None:
            p = vorn.fit(x, y, bandwidth_samples=run.BANDWIDTH[smooth], gamma=math.inf).p
        sig[i], phis[i] = forced(x, y, p, d)[:2]
    if name:
        np.savez(name, sig=sig, phi=phis)
    return sig, phis


def by_estimated_phi(sig: float, phi_hat: float, d: int,
                     cal: tuple[np.ndarray, np.ndarray]) -> float:
    cal_sig, cal_phi = cal
    h = 0.25 * phi_spread(phi_hat, run.N, d)
    w = np.exp(-0.5 * ((cal_phi - phi_hat) / h) ** 2)
    return float(np.sum(w * (cal_sig <= sig)) / np.sum(w))


def power(sims: int, rules: list[str], calibration_sims: int, student_sims: int,
          cache: str | None) -> None:
    """Share of found jumps of 3 and 5 sd with significance < 0.01 on run.py's coverage corpus
    (seed 19, the same series and fits), the package's against the candidates in `rules`.
    The calibration corpora are those of the null cells: one segment of about the same
    length."""
    rng = np.random.default_rng(run.SEED)
    shown = [r for r in rules if r != "corrected"]
    print("| segments | sites | d | noise | size | found | power | "
          + " | ".join(f"power {r}" for r in shown) + " |\n"
          + "|---" * (7 + len(shown)) + "|")
    for smooth, uneven, d, phi, size in itertools.product(
            (False, True), (False, True), (1, 3), (0.0, 0.3), (1.5, 2.0, 3.0, 5.0)):
        cal, student, pooled = None, {}, None
        if size >= 3:
            if "pooled" in rules:
                pooled = Pooled(smooth, uneven, d, student_sims, cache)
            if "by estimated phi" in rules:
                cal = calibration(smooth, uneven, d, calibration_sims, cache)
            student = {r: Studentised(r, smooth, uneven, d, student_sims, cache)
                       for r in rules if r in STUDENT_RULES}
        got_by_rule: dict[str, list[float]] = {r: [] for r in ["corrected"] + shown}
        for _ in range(sims):
            x, y, where = run.signal(rng, smooth, uneven, d, phi, size)
            if size < 3:
                continue  # the series is drawn all the same, so the corpus stays run.py's
            f = vorn.fit(x, y if d > 1 else y[:, 0], bandwidth_samples=run.BANDWIDTH[smooth],
                         penalty=run.PENALTY + 3.5 * (d - 1))
            s_true = int(np.searchsorted(x, where) - 1)
            if f.jump_indices.size == 0 or np.min(np.abs(f.jump_indices - s_true)) > 5:
                continue
            j = int(np.argmin(np.abs(f.jumps - where)))
            sig = float(_jumps.report(f, run.LEVEL)[0].evidence.significance[j])
            got_by_rule["corrected"].append(sig)
            phi_hat = _jumps.noise_of_fit(f, None)[1]
            if cal is not None:
                got_by_rule["by estimated phi"].append(by_estimated_phi(sig, phi_hat, d, cal))
            if student or "local phi" in rules or pooled is not None:
                jumps = np.ascontiguousarray(f.jump_indices, dtype=np.int64)
                got = _engine.jump_profiles(x, y, None, f.p, "none", jumps,
                                            np.zeros(jumps.size), True)
                b = run.segment_shape(x, f.p, got, j)[1]
                t = {kind: studentised(kind, x, y, f.p, jumps, got, j, b)
                     for kind in {rule.kind for rule in student.values()}}
                for r, rule in student.items():
                    got_by_rule[r].append(rule(t[rule.kind], phi_hat))
                if "local phi" in rules:
                    got_by_rule["local phi"].append(local_phi(x, y, f.p, got, j, d))
                if pooled is not None:
                    got = dict(got, noise=_jumps.noise_of_fit(f, None))
                    got_by_rule["pooled"].append(
                        pooled(*pooled.parts(x, y, f.p, jumps, got, j, d)))
        if size >= 3:
            found = len(got_by_rule["corrected"])
            print(f"| {'smooth' if smooth else 'constant'} | {'uneven' if uneven else 'even'} | "
                  f"{d} | {f'AR {phi}' if phi else 'white'} | {size} | {found / sims:.3f} | "
                  + " | ".join(f"{np.mean(np.asarray(got_by_rule[r]) < 0.01):.3f}"
                               for r in ["corrected"] + shown) + " |", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--null-sims", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=run.SEED + 1,
                        help="run.py's null corpus by default; another seed for a replicate")
    parser.add_argument("--calibration-sims", type=int, default=10000)
    parser.add_argument("--student-sims", type=int, default=4000,
                        help="white jump-free series a cell shape for the studentised law")
    parser.add_argument("--calibration-cache", default=None,
                        help="a directory to keep the calibration corpora in between runs")
    parser.add_argument("--rules", default=None,
                        help="comma-separated rules to run (default: all); corrected always")
    parser.add_argument("--terciles", action="store_true",
                        help="also the package's shares below 0.1 and above 0.85 by tercile of "
                             "the plug-in phi, per cell")
    parser.add_argument("--power", type=int, default=0, metavar="SIMS",
                        help="instead: power on run.py's coverage corpus of SIMS series a cell")
    args = parser.parse_args()
    every = list(RULES) + ["by estimated phi", *STUDENT_RULES, "local phi", "pooled"]
    rules = every if args.rules is None else ["corrected"] + [
        r for r in args.rules.split(",") if r != "corrected"]
    unknown = set(rules) - set(every)
    if unknown:
        parser.error(f"unknown rules: {sorted(unknown)}")
    if args.power:
        power(args.power, rules, args.calibration_sims, args.student_sims,
              args.calibration_cache)
        return
    rng = np.random.default_rng(args.seed)
    rows, terciles = [], []
    for smooth, uneven, d, phi in itertools.product((False, True), (False, True), (1, 3),
                                                     (0.0, 0.3)):
        got_by_rule: dict[str, list[float]] = {rule: [] for rule in rules}
        plug_in = []
        cal = (calibration(smooth, uneven, d, args.calibration_sims, args.calibration_cache)
               if "by estimated phi" in rules else None)
        student = {r: Studentised(r, smooth, uneven, d, args.student_sims,
                                  args.calibration_cache) for r in rules if r in STUDENT_RULES}
        pooled = (Pooled(smooth, uneven, d, args.student_sims, args.calibration_cache)
                  if "pooled" in rules else None)
        p = None
        for _ in range(args.null_sims):
            x, y, _ = run.signal(rng, smooth, uneven, d, phi, 0.0)
            if p is None:
                p = vorn.fit(x, y, bandwidth_samples=run.BANDWIDTH[smooth], gamma=math.inf).p
            corrected, resid_phi, saved, m, b, got, resid_scale = forced(x, y, p, d)
            plug_in.append(resid_phi)
            for rule in rules:
                if rule in RULES:
                    got_by_rule[rule].append(significance(rule, saved, m, b, d, resid_phi))
            if cal is not None:
                got_by_rule["by estimated phi"].append(
                    by_estimated_phi(corrected, resid_phi, d, cal))
            t = {kind: studentised(kind, x, y, p, FORCED, got, 1, b)
                 for kind in {rule.kind for rule in student.values()}}
            for r, rule in student.items():
                got_by_rule[r].append(rule(t[rule.kind], resid_phi))
            if "local phi" in rules:
                got_by_rule["local phi"].append(local_phi(x, y, p, got, 1, d))
            if pooled is not None:
                got = dict(got, noise=(resid_scale, resid_phi))
                got_by_rule["pooled"].append(pooled(*pooled.parts(x, y, p, FORCED, got, 1, d)))
        row = [("smooth" if smooth else "constant"), ("uneven" if uneven else "even"), str(d),
               f"AR {phi}" if phi else "white"]
        stats_row = {}
        for rule, values in got_by_rule.items():
            v = np.asarray(values)
            stats_row[rule] = (float(stats.kstest(v, "uniform").pvalue), float(np.mean(v < 0.01)),
                               float(np.mean(v < 0.1)), float(np.mean(v < 0.5)))
        rows.append((row, stats_row))
        sig, phis = np.asarray(got_by_rule["corrected"]), np.asarray(plug_in)
        third = np.minimum((3 * stats.rankdata(phis) / (phis.size + 1)).astype(int), 2)
        terciles.append(" | ".join(row) + " | " + " | ".join(
            f"{np.mean(sig[third == t] < 0.1):.3f} / {np.mean(sig[third == t] > 0.85):.3f}"
            for t in range(3)))
        print("| " + " | ".join(row) + " | " + " | ".join(
            " | ".join(f"{t:.3f}" for t in stats_row[r]) for r in rules) + " |", flush=True)
    sims = args.null_sims
    print("\nrules: " + ", ".join(rules))
    for rule in rules:
        ok = sum(s[rule][0] >= 0.01 for _, s in rows)
        tails = sum(abs(s[rule][2] - 0.1) <= 3 * math.sqrt(0.09 / sims)
                    and abs(s[rule][1] - 0.01) <= 3 * math.sqrt(0.0099 / sims) for _, s in rows)
        print(f"- {rule}: KS not rejected at 1 % in {ok} of {len(rows)}; tails within 3 sd in "
              f"{tails} of {len(rows)}")
    if args.terciles:
        print("\nThe package's share < 0.1 / share > 0.85 by tercile of the plug-in phi "
              "(low | middle | high):")
        print("\n".join(f"| {line} |" for line in terciles))


if __name__ == "__main__":
    main()
