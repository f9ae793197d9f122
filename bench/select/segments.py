"""Candidates for the choice among segment models: the package's smooth choice, constant
levels between jumps, or straight lines between jumps, decided by measurement (run.py
methods "seg-...", RESULTS.md "Issue 22, choice part").

Every candidate starts from the package's own selection (smooth segments, its noise and
outlier weights) and a constant-segment fit of the same values, each column in its own noise
unit, at a price calibrated to a false-jump rate (``constant_price``; the noise measured
again between the jumps of a generous constant fit, ``constant_noise``). A model is
"adequate" when its residual sum of squares lies within a one-sided band of (values - its
parameters) noise variances (the band widened for autocorrelation and for the spread of the
noise estimate). They differ in how they decide:

- "adequate": among the adequate models the one with fewer parameters wins (constant: one
  level per segment and column plus `jump_param` per jump; straight lines: two per segment
  and column plus `jump_param` per jump; smooth: its effective degrees of freedom plus
  `jump_param` per jump); if none is adequate, the smooth one.
- "inadequate-smooth": constant only when the smooth fit is not adequate and the constant
  one is.
- "known-ic": RSS / sigma**2 + log(N) * parameters with the measured noise as the
  variance; the lower wins.

Checks the constant model must also pass: `slope_test` (the energy a slope would save in
each segment, summed, within the chi-square band of one degree of freedom per segment),
`step_test` (a straight line through the two segments beside each jump leaves at least this
many noise variances, on average, above the two levels), and `grid` (the smooth side is the
simplest adequate smooth fit over the whole bandwidth grid, not only the chosen one).
"""

from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np

from constant import fit_constant
from vorn._noise import estimate_noise, noise_values, outlier_factors, student_price
from vorn._scoring import effective_dof, fit_arrays
from vorn._search import predict

# Standard normal upper points for the one-sided adequacy band.
_ALPHA_Z = {0.01: 2.326, 0.05: 1.645, 0.001: 3.09}


def constant_price(m: int, d: int, phi: float, dof: float, lead: float = 1.0,
                   base: float = 8.0, slope: float = 3.0) -> float:
    """Price of a constant-segment jump in noise variances.

    The upper 1 % point of the largest energy one split of m independent standard normal
    values saves (constant_null.py --split-quantiles: 10.3, 12.7, 13.3, 13.9, 13.9 at m = 10,
    50, 300, 1000, 3000) is about 8 + 3 log log m, far below BIC's 2 log m at large m.
    """
    loglog = math.log(max(math.log(max(m, 3)), 1.0))
    single = base + slope * loglog
    # Further independent columns each add about one variance to the saved energy of a
    # split; noise shared by columns multiplies it.
    price = single * lead + (d - lead)
    price *= max((1.0 + phi) / (1.0 - phi), 1.0)
    if dof < 50.0:
        price *= student_price(price, dof) / student_price(price, 50.0)
    return price


def constant_noise(values, deltas, delta_eff, noise, m, d, rounds=4):
    """The noise measured again between the jumps of a generous constant fit.

    The start is the smaller of the package's estimate and the median absolute first
    difference (which jumps every five samples inflate less than second differences do);
    the generous price, 2 log m, finds jumps of a few noise sd even at an inflated start.
    """
    scale = values / (deltas[:, None] if deltas is not None else 1.0)
    first = np.diff(scale, axis=0)
    mad = (np.median(np.abs(first - np.median(first, axis=0)), axis=0)
           / 0.6744897501960817 / math.sqrt(2.0))
    sigma = np.minimum(noise.sigma, np.where(mad > 0, mad, noise.sigma))
    if not np.all(sigma > 0) or m < 4:
        return noise
    previous = None
    for _ in range(rounds):
        breaks = fit_constant(None, values / sigma, delta_eff, 2.0 * math.log(m) + d - 1).jump_idx
        if previous is not None and np.array_equal(breaks, previous):
            break
        previous = breaks
        noise = estimate_noise(values, breaks, deltas)
        if not np.all(noise.sigma > 0):
            break
        sigma = noise.sigma
    return noise


def chi2_upper(df: float, zq: float) -> float:
    """Upper quantile of chi-square on df degrees of freedom (Wilson-Hilferty)."""
    if df <= 0:
        return 0.0
    a = 2.0 / (9.0 * df)
    return df * (1.0 - a + zq * math.sqrt(a)) ** 3


def segment_slopes(x, z, delta, jump_idx):
    """Energy a slope would save in every constant segment, summed, and its degrees of
    freedom: about chi-square on the number of segments (of 3 samples or more) times the
    number of columns when the levels really are constant; a curve cut into steps leaves a
    trend in each and makes it large."""
    w = 1.0 / delta**2
    bounds = np.concatenate(([0], jump_idx + 1, [x.size]))
    stat, df = 0.0, 0
    for a, b in zip(bounds[:-1], bounds[1:]):
        if b - a < 3:
            continue
        ws, xs, zs = w[a:b], x[a:b], z[a:b]
        xc = xs - np.sum(ws * xs) / np.sum(ws)
        sxx = float(np.sum(ws * xc * xc))
        if not sxx > 0:
            continue
        sxz = np.sum((ws * xc)[:, None] * zs, axis=0)
        stat += float(np.sum(sxz * sxz)) / sxx
        df += z.shape[1]
    return stat, df


def step_evidence(x, z, delta, jump_idx):
    """For every jump of a constant fit, the energy a straight line through its two
    neighbouring segments leaves above the two levels: large at a real step, about chi-square
    on one degree of freedom (or less) where steps only approximate a curve that rises
    through them."""
    w = 1.0 / delta**2
    bounds = np.concatenate(([0], jump_idx + 1, [x.size]))
    out = []
    for j in range(jump_idx.size):
        a, mid, b = bounds[j], bounds[j + 1], bounds[j + 2]
        ws, xs, zs = w[a:b], x[a:b], z[a:b]

        def sse_const(sl):
            wz = ws[sl, None]
            mean = np.sum(wz * zs[sl], axis=0) / np.sum(ws[sl])
            return float(np.sum(wz * (zs[sl] - mean) ** 2))

        xc = xs - np.sum(ws * xs) / np.sum(ws)
        zc = zs - np.sum(ws[:, None] * zs, axis=0) / np.sum(ws)
        sxx = float(np.sum(ws * xc * xc))
        sxz = np.sum((ws * xc)[:, None] * zc, axis=0)
        line = float(np.sum(ws[:, None] * zc * zc)) - (float(np.sum(sxz * sxz)) / sxx
                                                       if sxx > 0 else 0.0)
        two = sse_const(slice(0, mid - a)) + sse_const(slice(mid - a, b - a))
        out.append(line - two)
    return np.asarray(out)


def line_price(m: int, d: int, phi: float, dof: float, lead: float = 1.0) -> float:
    """Price of a jump between straight lines: the upper 1 % point of the largest energy
    one split of a line through n independent standard normal values saves is about
    10 + 4.3 log log n (constant_null.py --split-quantiles: 12.2, 15.2, 17.2, 18.5, 18.2 at
    n = 10, 50, 300, 1000, 3000)."""
    return constant_price(m, d, phi, dof, lead, base=10.0, slope=4.3)


class _Curve:
    def __init__(self, x, jump_idx, evaluate, one_column):
        self.jump_indices = jump_idx
        self.jumps = 0.5 * (x[jump_idx] + x[jump_idx + 1]) if jump_idx.size else np.zeros(0)
        self.evaluate = evaluate
        self.one_column = one_column

    def __call__(self, sites):
        out = self.evaluate(np.asarray(sites, dtype=float))
        return out[:, 0] if self.one_column else out


class Chosen(NamedTuple):
    fit: Any
    bandwidth_samples: float
    p: float
    model: str
    why: str


def choose_segments(prepared, samples, units, smooth, decide="adequate", alpha=0.01,
                    base=8.0, slope=3.0, jump_param=1.0, refine=True,
                    use_linear=True, slope_test=False, step_test=None,
                    grid=False):
    m, d = samples.y.shape
    values, deltas = noise_values(samples.y, samples.delta)
    factors = outlier_factors(values, units.noise.sigma, 3.0, deltas)
    delta_eff = samples.delta * factors
    noise = units.noise
    if refine:
        noise = constant_noise(values, deltas, delta_eff, noise, m, d)
    sigma = np.where(noise.sigma > 0, noise.sigma, units.scale)
    z = samples.y / sigma  # each column in its own noise unit
    price = constant_price(m, d, noise.phi, noise.dof, noise.leading, base, slope)
    const = fit_constant(samples.x, z, delta_eff, price)
    r_c = float(np.sum(((const.fitted - z) / delta_eff[:, None]) ** 2))
    k_c = const.jump_idx.size
    if decide == "constant":
        levels = const.levels * sigma
        jumps_at = _Curve(samples.x, const.jump_idx, None, d == 1).jumps
        curve = _Curve(samples.x, const.jump_idx,
                       lambda t: levels[np.searchsorted(jumps_at, t, side="right")], d == 1)
        return Chosen(curve, math.inf, 0.0, "constant", f"price {price:.1f}")
    par_c = d * (k_c + 1) + jump_param * k_c
    x_std = (samples.x - units.origin) / units.spacing
    lin_price = line_price(m, d, noise.phi, noise.dof, noise.leading)
    lin = fit_arrays(x_std, z, delta_eff, 0.0, lin_price) if m >= 3 else None
    if lin is not None:
        r_l = float(np.sum(((predict(lin, x_std) - z) / delta_eff[:, None]) ** 2))
        k_l = lin.jump_idx.size
        par_l = 2 * d * (k_l + 1) + jump_param * k_l
    # The smooth selection's residuals on the same footing.
    f_s = np.asarray(smooth.fit(samples.x)).reshape(m, d)
    r_s = float(np.sum(((f_s / sigma - z) / delta_eff[:, None]) ** 2))
    js = np.asarray(smooth.fit.jump_indices)
    lengths = np.diff(np.concatenate(([0], js + 1, [m])))
    par_s = d * float(np.sum(effective_dof(lengths, smooth.bandwidth_samples))) + jump_param * js.size
    n_val = m * d / max(noise.leading, 1.0)
    factor = max((1.0 + noise.phi) / (1.0 - noise.phi), 1.0)
    zq = _ALPHA_Z[alpha]

    def adequate(rss, par, jumps):
        free = max(m * d - (par - jump_param * jumps), 1.0)
        # Residuals of autocorrelated noise vary more: the variance of their mean square
        # grows with the long-run factor; the noise estimate itself (a median of about dof
        # differences, efficiency about 0.37) adds its own spread.
        spread = 2.0 * factor / free + (5.4 / noise.dof if math.isfinite(noise.dof) else 0.0)
        return rss <= free * (1.0 + zq * math.sqrt(spread))

    ok_c, ok_s = adequate(r_c, par_c, k_c), adequate(r_s, par_s, js.size)
    if grid:
        # The smooth side is the simplest adequate fit over the whole bandwidth grid at the
        # package's price: a stiff smooth that misses a curve is no case for steps.
        from vorn._search import Rule
        rule = Rule()
        pen = rule.price(m, d, units.noise.phi, units.noise.dof, units.noise.leading)
        xs, ys = units.standardise(samples)
        unit = sigma / units.scale
        for b in rule.bandwidths(m):
            p_std = units.p_standard(float(b))
            fb = fit_arrays(xs, ys, delta_eff, p_std, p_std * pen)
            rb = float(np.sum(((predict(fb, xs) - ys) / unit / delta_eff[:, None]) ** 2))
            lb = np.diff(np.concatenate(([0], fb.jump_idx + 1, [m])))
            pb = d * float(np.sum(effective_dof(lb, float(b)))) + jump_param * fb.jump_idx.size
            if adequate(rb, pb, fb.jump_idx.size) and (not ok_s or pb < par_s):
                ok_s, par_s = True, pb
    if step_test is not None and ok_c and k_c:
        evidence = step_evidence(x_std, z, delta_eff, const.jump_idx)
        ok_c = float(np.mean(evidence)) >= factor * step_test * d
    if slope_test and ok_c:
        stat, df = segment_slopes(x_std, z, delta_eff, const.jump_idx)
        ok_c = stat <= factor * chi2_upper(df, zq)
    ok_l = lin is not None and adequate(r_l, par_l, k_l)
    if decide == "adequate":
        options = [(par_s, 2, "smooth")] if ok_s else []
        if ok_c:
            options.append((par_c, 0, "constant"))
        if ok_l and use_linear:
            options.append((par_l, 1, "linear"))
        pick = min(options)[2] if options else "smooth"
    elif decide == "inadequate-smooth":
        pick = "constant" if (ok_c and not ok_s) else "smooth"
    elif decide == "known-ic":
        lg = math.log(n_val)
        pick = "constant" if r_c + lg * par_c < r_s + lg * par_s else "smooth"
    else:
        raise ValueError(decide)
    why = (f"linear rss {r_l / (m * d) if lin is not None else 0:.2f} par "
           f"{par_l if lin is not None else 0:.0f} ok {ok_l}; "
           f"constant rss {r_c / (m * d):.2f} par {par_c:.0f} ok {ok_c}; smooth rss "
           f"{r_s / (m * d):.2f} par {par_s:.1f} ok {ok_s}; price {price:.1f}")
    if pick == "smooth":
        return Chosen(smooth.fit, smooth.bandwidth_samples, smooth.p, "smooth", why)
    if pick == "linear":
        curve = _Curve(samples.x, lin.jump_idx,
                       lambda t: predict(lin, (t - units.origin) / units.spacing) * sigma, d == 1)
        return Chosen(curve, math.inf, 0.0, "linear", why)
    levels = const.levels * sigma
    jumps_at = _Curve(samples.x, const.jump_idx, None, d == 1).jumps
    curve = _Curve(samples.x, const.jump_idx,
                   lambda t: levels[np.searchsorted(jumps_at, t, side="right")], d == 1)
    return Chosen(curve, math.inf, 0.0, "constant", why)
