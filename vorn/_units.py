"""Natural units: smoothing as a bandwidth, the jump penalty in noise variances.

The data are described in standardised units: sites counted in mean sample spacings from
the first site, values divided by one noise standard deviation. In those units a smoothing
spline of bandwidth ``b`` samples has roughness weight ``lambda = w * b**4`` (w the mean
weight ``1 / delta**2``) and a jump penalty of ``c`` noise variances is ``gamma = p * c``.
The conversions to the p and gamma of the raw data are exact: with spacing h and noise
scale s, ``p = 1 / (1 + w * b**4 * h**3)`` and ``gamma = p * c * s**2`` give the same
partition and the same curve as the standardised problem.
"""

from __future__ import annotations

import math
import numbers
import sys
from dataclasses import dataclass, replace
from typing import Any, Optional

import numpy as np
from numpy.typing import NDArray

from . import _engine
from ._noise import NoiseEstimate, estimate_noise, noise_values, student_price
from ._scoring import fit_arrays

__all__ = ["Samples", "Units", "local_spacing", "positive_number", "reweighted", "samples_of",
           "units_of"]

@dataclass(frozen=True)
class Samples:
    """Finite samples on sorted, distinct sites, as the core prepares them.

    Attributes
    ----------
    x : ndarray, shape (m,)
    y : ndarray, shape (m, d)
        Weighted means of the rows that share a site.
    delta : ndarray, shape (m,)
        ``sqrt(1 / sum(1 / delta**2))`` over the rows merged into a site.
    site_of_row : ndarray, shape (n,)
        Index of the site of every input row; -1 for a missing row.
    weight : ndarray, shape (m,)
        ``sum(1 / delta**2)`` over the rows merged into a site, as the engine's fit reads it.
    """

    x: NDArray[np.float64]
    y: NDArray[np.float64]
    delta: NDArray[np.float64]
    site_of_row: NDArray[np.intp]
    weight: NDArray[np.float64]


def samples_of(
    x: Optional[NDArray[np.float64]], y: NDArray[np.float64], delta: Optional[NDArray[np.float64]]
) -> Samples:
    """Drop missing rows, sort by site and merge rows that share a site, as the engine's fit
    does (the engine prepares them).

    Parameters
    ----------
    x, y, delta
        As returned by the package's input checks: y of shape (n, d), x and delta of shape (n,)
        or None.
    """
    prepared = _engine.prepare(x, y, delta)
    w = prepared["w"]
    # The package's noise and unit arithmetic has always read 1 / sqrt(w), which differs from
    # the core's sqrt(1 / w) in the last bit for some weights.
    deviation = 1.0 / np.sqrt(w)
    # Without deviations both are ones: one array (8 MB a million samples) serves both.
    if np.array_equal(deviation.view(np.uint64), w.view(np.uint64)):
        deviation = w
    return Samples(prepared["x"], prepared["y"], deviation,
                   prepared["site_of_row"].astype(np.intp, copy=False), w)


def reweighted(samples: Samples, y: NDArray[np.float64], delta: NDArray[np.float64]) -> Samples:
    """What :func:`samples_of` returns for the same rows with other deviations `delta` (shape
    (n,)), merged again without sorting: the sites stay, each site's rows are summed as the
    engine sums them (its first row's weighted value, then the others in input order, then one
    division), so that every bit is the engine's.
    """
    kept = np.flatnonzero(samples.site_of_row >= 0)
    site = samples.site_of_row[kept]
    w_row = 1.0 / (delta[kept] * delta[kept])
    with np.errstate(over="ignore", under="ignore", invalid="ignore"):
        products = w_row[:, None] * y[kept]
    # The first row of every site starts its sums; np.add.at adds the rest in index order.
    _, first = np.unique(site, return_index=True)
    rest = np.ones(site.size, dtype=bool)
    rest[first] = False
    total = w_row[first].copy()
    np.add.at(total, site[rest], w_row[rest])
    sums = products[first].copy()
    np.add.at(sums, site[rest], products[rest])
    with np.errstate(over="ignore", under="ignore", invalid="ignore"):
        values = sums / total[:, None]
    return Samples(samples.x, values, 1.0 / np.sqrt(total), samples.site_of_row, total)


# A spacing this many times the median one is a gap in the sites, not part of their spacing.
GAP_SPACINGS = 20.0


def local_spacing(x: NDArray[np.float64]) -> tuple[float, int]:
    """The mean spacing of sorted sites away from their gaps, and the number of gaps.

    A gap (a spacing over :data:`GAP_SPACINGS` median spacings) says nothing about how
    densely the curve is sampled elsewhere: counted in the mean spacing, one gap of 1,000
    spacings in 600 sites makes every bandwidth 2.7 times as stiff as its number of samples
    says. Jittered sites have no such spacing (at gamma(2) jitter the odds are 1e-13 per
    spacing), so for them, as for any sites without a gap, this is the mean spacing
    ``(x[-1] - x[0]) / (m - 1)`` to the last bit.

    Parameters
    ----------
    x : ndarray, shape (m,)
        Sorted, distinct sites, m >= 2.

    Returns
    -------
    spacing : float
    gaps : int
    """
    m = x.shape[0]
    mean = float(x[-1] - x[0]) / (m - 1)
    if m < 3:
        return mean, 0
    steps = np.diff(x)
    gap = steps > GAP_SPACINGS * float(np.median(steps))
    gaps = int(np.count_nonzero(gap))
    if gaps == 0 or gaps == steps.size:
        return mean, 0
    return float(np.sum(steps[~gap])) / float(steps.size - gaps), gaps


# Spacings for which a fit in the data's own units keeps every digit of the standardised one.
_SAFE_SPACING = (2.0**-128, 2.0**128)


@dataclass(frozen=True)
class Units:
    """The standardised units of one data set.

    Attributes
    ----------
    origin, spacing : float
        First site and mean spacing ``(x[-1] - x[0]) / (m - 1)`` of the distinct sites.
    mean_weight : float
        Mean of ``1 / delta**2`` over the sites.
    noise : NoiseEstimate
        Noise of ``y / delta``; its `scale` is the unit of the values.
    count : int
        Number of distinct sites.
    """

    origin: float
    spacing: float
    mean_weight: float
    noise: NoiseEstimate
    count: int

    @property
    def scale(self) -> float:
        """Noise standard deviation used as the unit of the values (1 if it is zero)."""
        s = self.noise.scale
        return s if s > 0.0 else 1.0

    # -- smoothing ------------------------------------------------------------------------

    def lam_standard(self, bandwidth_samples: float) -> float:
        """Roughness weight, in standardised units, of a bandwidth given in samples."""
        return self.mean_weight * bandwidth_samples**4

    def p_standard(self, bandwidth_samples: float) -> float:
        """Smoothing parameter of the standardised problem."""
        return 1.0 / (1.0 + self.lam_standard(bandwidth_samples))

    def p(self, bandwidth_samples: float) -> float:
        """Smoothing parameter of the raw data for a bandwidth given in samples (it rounds to
        0 or 1 when the spacing is far from 1; see :meth:`exact`)."""
        if math.isinf(bandwidth_samples):
            return 0.0
        try:
            return 1.0 / (1.0 + self.lam_standard(bandwidth_samples) * self.spacing**3)
        except OverflowError:
            return 0.0

    def bandwidth_samples(self, p: float) -> float:
        """Bandwidth in samples of the raw smoothing parameter `p` (inf for p = 0)."""
        if p <= 0.0:
            return math.inf
        lam = (1.0 - p) / p
        with np.errstate(over="ignore", under="ignore", divide="ignore"):
            b = float((lam / (self.mean_weight * np.float64(self.spacing) ** 3)) ** 0.25)
        if 0.0 < b < math.inf:
            return b
        # In logarithms: the cube of a spacing far from 1 leaves the range of float64.
        return math.exp((math.log(lam) - math.log(self.mean_weight)
                         - 3.0 * math.log(self.spacing)) / 4.0) if lam > 0.0 else 0.0

    def exact(self, bandwidth_samples: float, penalty: float) -> bool:
        """Whether the raw p and gamma of this bandwidth and penalty give the same problem as
        the standardised one (see :meth:`inexact`)."""
        return self.inexact(bandwidth_samples, penalty) is None

    def inexact(self, bandwidth_samples: float, penalty: float) -> Optional[str]:
        """Why the raw p or gamma of this bandwidth and penalty cannot be written in float64
        (it rounds to 0 or 1, loses more than a few digits, or leaves the normal range);
        None when both can."""
        p, gamma = self.p(bandwidth_samples), self.gamma(bandwidth_samples, penalty)
        # A bandwidth of 0 (interpolation, p = 1) or inf (straight lines, p = 0) is exact.
        if 0.0 < bandwidth_samples < math.inf:
            if not 0.0 < p < 1.0:
                return f"p rounds to {p!r}"
            # The spline solve forms products of p with powers of the spacing: far from 1 they
            # leave the normal range (digits lost from a spacing of about 2**260, the whole
            # curve wrong from 2**300) although p itself is a fine number.
            if not _SAFE_SPACING[0] <= self.spacing <= _SAFE_SPACING[1]:
                return f"the spacing of x ({self.spacing!r}) is too far from 1"
            wanted = (math.log(self.lam_standard(bandwidth_samples))
                      + 3.0 * math.log(self.spacing))
            if abs(math.log((1.0 - p) / p) - wanted) > 1e-6:
                return "p keeps too few digits of 1 - p"
        if penalty == 0.0 or math.isinf(penalty):
            return None
        if math.isinf(gamma):
            return "gamma overflows"
        if gamma < sys.float_info.min:
            return "gamma underflows to 0" if gamma == 0.0 else "gamma is subnormal"
        return None

    # -- jump penalty ---------------------------------------------------------------------

    def gamma(self, bandwidth_samples: float, penalty: float) -> float:
        """Raw jump penalty for a penalty in noise variances at the given bandwidth."""
        p = self.p(bandwidth_samples)
        # With p = 0 the search prices straight lines without the factor p.
        try:
            return penalty * (p if p > 0.0 else 1.0) * self.scale**2
        except OverflowError:
            return math.inf

    def penalty(self, p: float, gamma: float) -> float:
        """Jump penalty in noise variances of a raw pair (p, gamma)."""
        try:
            return gamma / ((p if p > 0.0 else 1.0) * self.scale**2)
        except (OverflowError, ZeroDivisionError):
            # Squares beyond float64: divide in steps.
            return gamma / self.scale / self.scale / (p if p > 0.0 else 1.0)

    # -- data -----------------------------------------------------------------------------

    def standardise(self, samples: Samples) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Sites in spacings from the first site and values in noise standard deviations."""
        return (samples.x - self.origin) / self.spacing, samples.y / self.scale


def units_of(samples: Samples, **options: Any) -> Units:
    """Measure the standardised units of prepared samples.

    The noise is measured from all second differences, then again between the jumps of a
    generous fit (:func:`refine_noise`, which takes the keywords `options`).
    """
    m = samples.x.shape[0]
    spacing = float(samples.x[-1] - samples.x[0]) / (m - 1)
    values, deltas = noise_values(samples.y, samples.delta)
    noise = estimate_noise(values, delta=deltas)
    units = Units(float(samples.x[0]), spacing, float(np.mean(1.0 / samples.delta**2)),
                  noise, m)
    return refine_noise(samples, units, **options)


# The generous fit that finds the jumps to leave out of the noise estimate: a bandwidth of
# two samples, BIC's price of 2 (log m + d - 1) noise variances (for independent columns),
# at most three rounds.
_REFINE_BANDWIDTH = 2.0
_REFINE_PRICE_PER_LOG_N = 2.0
_REFINE_ROUNDS = 3
# The first round fits at the winsorised scale of all differences, its price raised to
# Student's t odds on half a degree of freedom per difference (that scale's sampling law,
# see estimate_noise). On pure noise the first fit then cuts no more often than BIC's price
# with the noise known (simulated, 1,000 series each: 5.8, 5.1, 4.0 % at 50, 100, 300
# samples, against 10.4, 5.9, 5.2 % known and 20.4, 12.3, 6.9 % at the plain median absolute
# deviation): a scale low by chance no longer starts the rounds, whose every cut lowers the
# next scale (bench/select/RESULTS.md, "Issue 22, the refinement's first fit").
_FIRST_SCALE = "winsorised"
_FIRST_DOF_PER_DIFFERENCE = 0.5


def refine_noise(samples: Samples, units: Units, price_scale: str = "winsorised",
                 first_scale: str = _FIRST_SCALE,
                 first_dof: float = _FIRST_DOF_PER_DIFFERENCE) -> Units:
    """Measure the noise again between the jumps of a generous fit.

    Jumps every few samples contaminate a large share of the differences (a jump touches two
    second differences at lag one, four at lag two): their median reads them as noise and
    their runs as autocorrelation, and the price of a jump grows until no jump is left. A fit
    at a short bandwidth and a low price finds such jumps even with the inflated scale; the
    differences across them are left out and the fit repeated with the new scale until its
    jumps no longer change. A spurious jump of that fit costs only the few differences beside
    it, but the differences it leaves out are the largest, so on jump-free data every round
    would lower the scale and cut more: the first fit, which decides whether there are jumps
    at all, therefore reads the scale of all differences at the price that keeps its odds of
    cutting pure noise those of a known noise level. The last estimate, between the final
    jumps, is the one a price is set from (``for_price`` of :func:`._noise.estimate_noise`).

    Parameters
    ----------
    samples : Samples
        The prepared samples.
    units : Units
        Their units with the noise of all second differences (:func:`units_of`).
    price_scale : {"winsorised", "mad"}
        The scale of the final estimate (``scale`` of :func:`._noise.estimate_noise`).
    first_scale : {"winsorised", "mad"}
        The scale of all differences the first fit reads.
    first_dof : float
        Degrees of freedom per difference of that scale, for the Student raise of the first
        fit's price (0: BIC's price unraised).

    Returns
    -------
    Units
    """
    m, d = samples.y.shape
    if m < 4:
        return units
    values, deltas = noise_values(samples.y, samples.delta)
    b = min(_REFINE_BANDWIDTH, max(1.0, m / 8.0))
    previous: Optional[NDArray[np.intp]] = None
    fitted = units
    if first_scale != "mad":
        fitted = replace(units, noise=estimate_noise(values, None, deltas, scale=first_scale))
    for _ in range(_REFINE_ROUNDS):
        if fitted.noise.scale <= 0.0:
            break
        # Noise shared by columns pays log m once per copy (see Rule.price).
        lead = fitted.noise.leading
        price = _REFINE_PRICE_PER_LOG_N * (lead * math.log(m) + d - lead)
        if previous is None and first_dof > 0.0:
            price = student_price(price, first_dof * fitted.noise.dof)
        x_std, y_std = fitted.standardise(samples)
        p_std = fitted.p_standard(b)
        breaks = fit_arrays(x_std, y_std, samples.delta, p_std, p_std * price).jump_idx
        if previous is None and breaks.size == 0:
            break
        if previous is not None and np.array_equal(breaks, previous):
            break
        previous = breaks
        fitted = replace(units, noise=estimate_noise(values, breaks, deltas))
    # The jumps are found; the estimate the price reads keeps a clear autocorrelation whole,
    # and reads the variance winsorised: the median absolute deviation spread so much (sigma
    # 31 % low in one series of 50 in twenty) that the price, its square, swung by half.
    # The rounds keep the median: winsorised there, the scale found no more of the jumps
    # (bench/select/RESULTS.md, "Issue 22, the noise scale the price reads").
    return replace(units, noise=estimate_noise(values, previous, deltas, for_price=True,
                                               scale=price_scale))


def positive_number(name: str, value: Any, *, allow_inf: bool = False) -> float:
    """`value` as a positive float, or raise naming `name`."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    v = float(value)
    if not (v > 0.0 and (allow_inf or math.isfinite(v))):
        kind = "positive" if allow_inf else "positive and finite"
        raise ValueError(f"{name} must be {kind}, got {v!r}")
    return v
