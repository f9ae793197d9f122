"""The jump price of ``select(..., segments="constant")``: levels between jumps.

The rule. The noise is measured as for smooth segments (:func:`._units.units_of`), then again
between the jumps of a generous constant fit (:func:`constant_noise`). A jump between two
levels is priced at ``8 + 3 log log m`` noise variances for m samples: the upper 1 % point of
the largest energy that one split of m independent standard normal values saves (10.3, 12.7,
13.3, 13.9, 13.9 at m = 10, 50, 300, 1000, 3000; ``bench/select/constant_null.py
--split-quantiles``), far below the 3.5 log m of a jump between smooth segments, which must
also beat a curve that bends towards it. Like the smooth price it is multiplied by
``(1 + phi) / (1 - phi)`` for a lag-one autocorrelation phi and raised by Student's t odds when
the noise comes from fewer than 50 differences (:func:`._noise.student_price`); noise shared
by columns pays it once per copy, each further independent column adds one
(:attr:`._noise.NoiseEstimate.leading`). The partition is the exact optimum of
``sum_i (y_i - level)**2 / delta_i**2 + gamma * jumps`` (the engine's constant search), with
``gamma`` the price times the noise variance and wild samples' deltas widened as for smooth
segments (:func:`._noise.outlier_factors`).

What it guarantees. On pure normal noise the share of series with any jump, measured by
``bench/select/constant_null.py --package --reps 400`` (100 series at 3000): with the noise
known 0.3, 0.7, 0.5, 1.0 and 3 % at m = 10, 50, 300, 1000, 3000; with the noise estimated as
here 3.5, 3.5, 2.2, 1.3 and 3 % (the second measurement leaves out the largest differences of
pure noise, so its estimate falls a little and short series cut more often). So: at most about
4 % of jump-free series get a jump, for m from 10 to 3000. A smooth trend is
not pure noise: constant segments cut it into a staircase, as many steps as its rise is
worth; that is the model the caller asked for.
"""

from __future__ import annotations

import math
from dataclasses import replace
from typing import NamedTuple, Optional

import numpy as np
from numpy.typing import NDArray

from ._noise import NoiseEstimate, estimate_noise, noise_values, student_price
from ._scoring import fit_arrays
from ._search import Rule
from ._units import Samples, Units

__all__ = ["ConstantPrice", "adequate", "constant_noise", "constant_price", "leaves_as_little",
           "level_between_jumps", "residual_correlation", "residual_phi"]

# The price of one jump between levels, in noise variances: BASE + PER_LOG_LOG log log m.
BASE = 8.0
PER_LOG_LOG = 3.0
# The generous fit whose jumps the second noise measurement leaves out: BIC's 2 log m (plus
# one variance per further column), at most this many rounds.
_GENEROUS_PER_LOG = 2.0
_GENEROUS_ROUNDS = 4
_MAD_TO_SD = 1.0 / 0.6744897501960817


# Upper 1 % point of the standard normal: the one-sided band of an adequate fit's residual.
_ADEQUATE_Z = 2.326
# Relative variance of the noise variance these tests read, the winsorised variance of k
# lag-one second differences: neighbouring differences correlate, so it spreads as a
# chi-square on about 0.5 k degrees of freedom (bench/select/noise_scale.py), 2 / (0.5 k).
# (The median absolute deviation it replaced has about 0.25 k.)
_NOISE_SPREAD = 4.0


def adequate(rss: float, parameters: float, jumps: int, values: int,
             noise: NoiseEstimate) -> bool:
    """Whether a fit leaves what the noise alone leaves: its residual sum of squares (in noise
    variances) at most the values less its free parameters (a jump's place is not one), within
    the one-sided 1 % band of that sum's spread. Residuals of autocorrelated noise vary by
    the long-run factor more, and the noise estimate from `noise.dof` differences adds its own
    spread."""
    free = max(values - (parameters - jumps), 1.0)
    spread = (2.0 * max(noise.long_run_factor, 1.0) / free
              + (_NOISE_SPREAD / noise.dof if math.isfinite(noise.dof) else 0.0))
    return rss <= free * (1.0 + _ADEQUATE_Z * math.sqrt(spread))


def leaves_as_little(rss: float, parameters: float, jumps: int, reference_rss: float,
                     reference_parameters: float, values: int, noise: NoiseEstimate) -> bool:
    """Whether a fit leaves what the noise alone leaves by a second reading of the noise: the
    residual variance of a reference fit (the levels) over its values less its parameters,
    each of its jumps' places counted as one (placed where it saves most, a jump takes more
    than a level's worth). Its residual sum of squares per free value (as :func:`adequate`
    counts them) at most the reference's within the one-sided 1 % band of the ratio of two
    independent residual variances, read on the logarithm of the ratio (which is nearly
    normal; within 0.3 % of the F distribution's 1 % point from 40 degrees of freedom on
    either side, where the band on the ratio itself is crossed 1.3 to 4 times as often), each
    spread widened by the long-run factor."""
    free = max(values - (parameters - jumps), 1.0)
    reference_free = max(values - reference_parameters, 1.0)
    if not reference_rss > 0.0:
        return not rss > 0.0
    rho = max(noise.long_run_factor, 1.0)
    ratio = (rss / free) / (reference_rss / reference_free)
    if not ratio > 0.0:
        return True
    spread = 2.0 * rho / free + 2.0 * rho / reference_free
    return math.log(ratio) <= _ADEQUATE_Z * math.sqrt(spread)


def level_between_jumps(x: NDArray[np.float64], residual: NDArray[np.float64],
                        jumps: NDArray[np.int64], noise: NoiseEstimate, degree: int = 2) -> bool:
    """Whether the segments of a constant fit are level: the energy that a polynomial of
    `degree` through each segment's `residual` (in noise sd, one column per column of y)
    saves beyond its level, summed over segments and columns, within the one-sided 1 % band
    of a chi-square with `degree` degrees of freedom per segment and column (the spread
    widened by the long-run factor of autocorrelated noise). A staircase cut into a ramp
    leaves a slope in every step, one cut into a curve a bend; the levels of steps leave
    neither."""
    m = residual.shape[0]
    bounds = np.concatenate(([0], jumps + 1, [m]))
    saved, dof = 0.0, 0
    for lo, hi in zip(bounds[:-1].tolist(), bounds[1:].tolist()):
        if hi - lo <= degree + 1:
            continue
        t = x[lo:hi] - np.mean(x[lo:hi])
        if not np.ptp(t) > 0.0:
            continue
        t /= np.max(np.abs(t))
        basis, _ = np.linalg.qr(np.vander(t, degree + 1, increasing=True))
        saved += float(np.sum(np.square(basis[:, 1:].T @ residual[lo:hi])))
        dof += degree * residual.shape[1]
    if dof == 0:
        return True
    rho = max(noise.long_run_factor, 1.0)
    return saved <= rho * (dof + _ADEQUATE_Z * math.sqrt(2.0 * dof))


def residual_correlation(residual: NDArray[np.float64],
                         jumps: NDArray[np.int64]) -> float:
    """How far the lag-one correlation of a constant fit's residuals within its segments lies
    above what independent noise gives, in standard errors.

    Residuals about each segment's mean are correlated even when the noise is independent:
    a segment of L samples has lag-one products summing to e'PBPe (P removes the mean, B the
    symmetric lag-one matrix), of mean tr(PBP) = -(L - 1) / L and variance 2 tr((PBP)^2) =
    (L - 1) - 4 (L - 1.5) / L + 2 ((L - 1) / L)**2 noise variances squared. Levels that
    describe the data leave residuals that are otherwise uncorrelated; levels laid over a
    curve or over autocorrelated noise leave runs of one sign, and the statistic grows like
    the square root of the pairs. Approximately standard normal for levels that fit, each
    column its own (`residual` (m, d), summed over the columns)."""
    excess = _lag_one_excess(residual, jumps)
    if excess is None:
        return 0.0
    beyond, paired, d = excess
    spread = d * float(np.sum((paired - 1.0) - 4.0 * (paired - 1.5) / paired
                              + 2.0 * np.square((paired - 1.0) / paired)))
    return beyond / math.sqrt(spread)


def residual_phi(residual: NDArray[np.float64], jumps: NDArray[np.int64]) -> float:
    """The lag-one correlation of a constant fit's residuals within its segments (`residual`
    (m, d), every column), corrected for what removing each segment's mean leaves in
    independent noise (:func:`residual_correlation`), in [0, 0.9]: the autocorrelation the
    levels leave unexplained, read without the noise estimate's shrinkage."""
    excess = _lag_one_excess(residual, jumps)
    if excess is None:
        return 0.0
    beyond, paired, d = excess
    return min(max(beyond / (d * float(np.sum(paired - 1.0))), 0.0), 0.9)


def _lag_one_excess(residual: NDArray[np.float64], jumps: NDArray[np.int64]
                    ) -> Optional[tuple[float, NDArray[np.float64], int]]:
    """The lag-one products of `residual` (m, d) within the segments between `jumps`, in
    residual variances, beyond their mean under independent noise about each segment's mean;
    the lengths of the segments of more than one sample; and d. None when there is no pair
    or no spread."""
    m, d = residual.shape
    lengths = np.diff(np.concatenate(([0], jumps + 1, [m]))).astype(np.float64)
    within = np.ones(m - 1, dtype=bool)
    within[jumps[jumps < m - 1]] = False
    paired = lengths[lengths > 1.0]
    if paired.size == 0:
        return None
    variance = float(np.sum(residual * residual)) / max(m * d - lengths.size * d, 1)
    if not variance > 0.0:
        return None
    products = float(np.sum((residual[1:] * residual[:-1])[within]))
    expected = -d * float(np.sum((paired - 1.0) / paired))
    return products / variance - expected, paired, d


class ConstantPrice(NamedTuple):
    """The price of a constant jump and what it rests on."""

    penalty: float  # noise variances
    units: Units  # with the noise measured between the generous fit's jumps
    why: str
    searches: int  # partition searches of the generous fit


def constant_price(count: int, columns: int, phi: float, dof: float = math.inf,
                   leading: float = 1.0) -> float:
    """Price of a jump between constant segments, in noise variances.

    Parameters
    ----------
    count, columns : int
        Number of samples and of columns.
    phi : float
        Lag-one autocorrelation of the noise.
    dof : float
        Degrees of freedom of the noise variance estimate (inf: known).
    leading : float
        :attr:`._noise.NoiseEstimate.leading`.

    Returns
    -------
    float
    """
    loglog = math.log(max(math.log(max(count, 3)), 1.0))
    price = (BASE + PER_LOG_LOG * loglog) * leading + (columns - leading)
    price *= max((1.0 + phi) / (1.0 - phi), 1.0)
    reference = Rule().noise_reference_dof
    if dof < reference:
        price *= student_price(price, dof) / student_price(price, reference)
    return price


def constant_noise(samples: Samples, units: Units, factors: NDArray[np.float64]
                   ) -> tuple[Units, int]:
    """The units with the noise measured again between the jumps of a generous constant fit.

    Jumps every few samples inflate second differences, and steps of a few samples read as
    autocorrelation. The start is the smaller of the package's estimate and the median
    absolute first difference of each column (which such jumps inflate less); a fit at BIC's
    price finds jumps of a few noise standard deviations even from an inflated start, and
    the differences across them are left out until its jumps stop changing. The rounds read
    the median absolute deviation; the last estimate, between the final jumps, the variance
    winsorised at 2.5 robust scales, as the smooth choice's price does: it spreads about a
    quarter less, so fewer series get a jump their noise made and fewer lose a true one.

    Parameters
    ----------
    samples : Samples
    units : Units
        As measured for smooth segments.
    factors : ndarray, shape (m,)
        Outlier widening of each sample's deviation.

    Returns
    -------
    Units, int
        The units, and the number of partition searches made.
    """
    m, d = samples.y.shape
    if m < 4:
        return units, 0
    values, deltas = noise_values(samples.y, samples.delta)
    scaled = values / deltas[:, None] if deltas is not None else values
    first = np.diff(scaled, axis=0)
    mad = (np.median(np.abs(first - np.median(first, axis=0)), axis=0)
           * _MAD_TO_SD / math.sqrt(2.0))
    sigma = np.minimum(units.noise.sigma, np.where(mad > 0.0, mad, units.noise.sigma))
    if not np.all(sigma > 0.0):
        return units, 0
    weights = samples.delta * factors
    price = _GENEROUS_PER_LOG * math.log(m) + d - 1
    previous: Optional[NDArray[np.int64]] = None
    searches = 0
    for _ in range(_GENEROUS_ROUNDS):
        searches += 1
        breaks = fit_arrays(samples.x, samples.y / sigma, weights, 0.0, price,
                            "constant").jump_idx
        if previous is not None and np.array_equal(breaks, previous):
            break
        previous = breaks
        noise = estimate_noise(values, breaks, deltas)
        if not np.all(noise.sigma > 0.0):
            break
        units = replace(units, noise=noise)
        sigma = noise.sigma
    final = estimate_noise(values, previous, deltas, scale="winsorised")
    if np.all(final.sigma > 0.0):
        units = replace(units, noise=final)
    return units, searches


def price_of(samples: Samples, units: Units, factors: NDArray[np.float64]) -> ConstantPrice:
    """The constant-segment price of these samples, with the units it is measured in."""
    m, d = samples.y.shape
    units, searches = constant_noise(samples, units, factors)
    noise = units.noise
    lead = noise.leading
    penalty = constant_price(m, d, noise.phi, noise.dof, lead)
    known = constant_price(m, d, noise.phi, math.inf, lead)
    factor = known / constant_price(m, d, 0.0, math.inf, lead)
    shared = (f" x {lead:.2f} for noise shared by columns, + d - {lead:.2f}" if lead > 1.005
              else (" + d - 1" if d > 1 else ""))
    why = (f"constant jump priced at {BASE:g} + {PER_LOG_LOG:g} log log m{shared} noise "
           "variances, the 1 % point of the largest saving of one split of pure noise"
           + (f" x {factor:.2f} for autocorrelation" if factor > 1.0 else "")
           + (f" x {penalty / known:.2f} for a noise level estimated from "
              f"{noise.dof:.0f} differences" if penalty > known * 1.005 else ""))
    if noise.breaks:
        why = (f"noise measured away from the {noise.breaks} jump"
               f"{'' if noise.breaks == 1 else 's'} of a first constant fit at BIC's price; "
               + why)
    return ConstantPrice(penalty, units, why, searches)


def step_over_curve(x: NDArray[np.float64], y: NDArray[np.float64], weight: NDArray[np.float64],
                    jumps: NDArray[np.int64], degree: int = 2) -> NDArray[np.float64]:
    """For each jump of a constant fit, what a polynomial of `degree` through its two
    segments leaves beyond what their two levels leave (weighted residual sums of squares,
    summed over the columns of `y` (m, d); `weight` (m, d) the inverse variances). A step
    leaves a line or a parabola a misfit of about a sixteenth of its height squared per
    sample; levels laid over a ramp or a bend leave the misfit to themselves."""
    m, d = y.shape
    bounds = np.concatenate(([0], jumps + 1, [m])).tolist()
    gains = np.empty(jumps.size)
    for at, (lo, mid, hi) in enumerate(zip(bounds[:-2], bounds[1:-1], bounds[2:])):
        t = x[lo:hi] - 0.5 * (x[lo] + x[hi - 1])
        span = float(np.max(np.abs(t)))
        powers = np.vander(t / span if span > 0.0 else t, degree + 1, increasing=True)
        gain = 0.0
        for c in range(d):
            root = np.sqrt(weight[lo:hi, c])
            values = y[lo:hi, c]
            _, curve_rss, rank, _ = np.linalg.lstsq(powers * root[:, None], values * root,
                                                    rcond=None)
            if rank < degree + 1 or curve_rss.size == 0:
                curve_rss = np.array([0.0])
            levels_rss = 0.0
            for a, b in ((lo, mid), (mid, hi)):
                w, v = weight[a:b, c], y[a:b, c]
                level = float(np.sum(w * v) / np.sum(w))
                levels_rss += float(np.sum(w * (v - level) ** 2))
            gain += float(curve_rss[0]) - levels_rss
        gains[at] = gain
    return gains


def spread_change(residual: NDArray[np.float64], jumps: NDArray[np.int64]) -> float:
    """How far the residual variances of a constant fit's segments differ beyond what one
    noise level gives, in standard errors: Bartlett's statistic over the segments of at least
    3 samples (each column its own degrees of freedom), its chi-square law on (segments - 1)
    degrees of freedom mapped to a standard normal by the Wilson-Hilferty cube root. Levels
    that cut a stretch of larger noise into steps leave its segments the larger spread."""
    m, d = residual.shape
    bounds = np.concatenate(([0], jumps + 1, [m]))
    lengths = np.diff(bounds)
    sums = np.add.reduceat(np.sum(residual * residual, axis=1), bounds[:-1])
    usable = (lengths >= 3) & (sums > 0.0)
    if np.count_nonzero(usable) < 2:
        return 0.0
    dof = d * (lengths[usable] - 1.0)
    variances = sums[usable] / dof
    total = float(np.sum(dof))
    pooled = float(np.sum(sums[usable])) / total
    # Never below 0 (the log of a mean against the mean of the logs) but for rounding.
    statistic = max(total * math.log(pooled) - float(np.sum(dof * np.log(variances))), 0.0)
    groups = dof.size
    correction = 1.0 + (float(np.sum(1.0 / dof)) - 1.0 / total) / (3.0 * (groups - 1))
    nu = groups - 1.0
    scale = 2.0 / (9.0 * nu)
    return (((statistic / correction) / nu) ** (1.0 / 3.0) - (1.0 - scale)) / math.sqrt(scale)
