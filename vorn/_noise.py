"""Noise estimates that survive jumps, trends, outliers and autocorrelation."""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import Optional

import numpy as np
from numpy.typing import NDArray

__all__ = ["NoiseEstimate", "estimate_noise", "first_difference_sd", "lag_one", "noise_values",
           "outlier_factors", "smooth_runs", "student_price"]

# Normal consistency factor of the median absolute deviation.
_MAD_TO_SD = 1.0 / 0.6744897501960817
# Autocorrelation is estimated only within this range; beyond it second differences no longer
# tell noise from signal.
_PHI_RANGE = (-0.5, 0.9)
# Under independent noise the estimate of phi exceeds 3.1 / sqrt(n) in about one series in
# twenty (simulated, 1,500 series each for n = 100, 300, 1,000 and 3,000: 3.2, 2.9, 2.9, 2.8).
_PHI_NOISE = 3.1
# Winsorising at 2.5 scales keeps 97.75 % of a normal variance.
_WINSOR_CUT = 2.5
_WINSOR_KEPT = 0.9775
# Standard deviation of e - (running median of five of e) for standard normal e (simulated:
# 0.942 from 400,000 samples). Its own median absolute deviation is useless: the median of
# five is often the sample itself.
_MEDIAN_RESIDUAL_SD = 0.942


def first_difference_sd(ys: NDArray[np.float64], ds: NDArray[np.float64]) -> NDArray[np.float64]:
    """The median absolute deviation of first differences of rows in site order (shape
    (n, d), deviations (n,)), as a standard deviation of each column of ``y / delta``."""
    diffs = np.diff(ys, axis=0) / np.sqrt(ds[1:] ** 2 + ds[:-1] ** 2)[:, None]
    centred = diffs - np.median(diffs, axis=0)
    return np.asarray(np.median(np.abs(centred), axis=0) * _MAD_TO_SD)


@dataclass(frozen=True)
class NoiseEstimate:
    """Noise of standardised values ``y / delta`` on sorted, distinct sites.

    Attributes
    ----------
    sigma : ndarray, shape (d,)
        Marginal standard deviation of each column.
    phi : float
        Lag-one autocorrelation, shared by the columns, >= 0: 0 unless the estimate
        exceeds its sampling noise c under independent noise, then reduced by c (or, for
        the price, shrunk by the factor ``1 - (c / phi)**2``).
    dof : float
        Number of differences the variance is estimated from (summed over columns). Few of
        them make a jump look larger than it is.
    correlation : ndarray, shape (d, d), optional
        Correlation of the noise across columns (None: independent).
    breaks : int
        Number of jumps whose differences were left out.
    """

    sigma: NDArray[np.float64]
    phi: float
    dof: float = math.inf
    correlation: Optional[NDArray[np.float64]] = None
    breaks: int = 0

    @property
    def scale(self) -> float:
        """One standard deviation for all columns: the root mean square of `sigma`."""
        power = _power_of_two(self.sigma)
        return float(np.ldexp(np.sqrt(np.mean(np.ldexp(self.sigma, -power) ** 2)), power))

    @property
    def leading(self) -> float:
        """Largest eigenvalue of the noise covariance in units of ``scale**2``.

        1 for one column; between 1 (independent columns of equal noise) and d (d copies of
        one noise, or one column far noisier than the rest). A jump fitted to noise alone
        saves energy along this direction most, so the price of a jump grows with it.
        """
        d = self.sigma.size
        if d == 1 or self.scale <= 0.0:
            return 1.0
        corr = self.correlation if self.correlation is not None else np.eye(d)
        relative = self.sigma / self.scale
        cov = corr * np.outer(relative, relative)
        return float(max(1.0, np.linalg.eigvalsh(cov)[-1]))

    @property
    def across_columns(self) -> float:
        """Variance of a sum over the columns of one quadratic form in each column's noise (in
        its own units), relative to that of independent columns: the mean over columns of the
        summed squared correlations, 1 for one column or independent ones, d for d copies of one
        noise."""
        d = self.sigma.size
        if d == 1 or self.correlation is None:
            return 1.0
        return float(max(1.0, np.sum(np.square(self.correlation)) / d))

    @property
    def long_run_factor(self) -> float:
        """Variance of a local mean relative to independent noise: (1 + phi) / (1 - phi)."""
        return (1.0 + self.phi) / (1.0 - self.phi)


def _robust_variance(values: NDArray[np.float64],
                     median: Optional[NDArray[np.float64]] = None) -> NDArray[np.float64]:
    """Squared MAD scale of each column, falling back on the mean absolute deviation
    (`median`: the columns' medians, when known).

    Quantised data can have more than half of their differences equal to zero; the mean
    absolute deviation still sees the rest.
    """
    # One buffer of deviations, made absolute in place: at a million samples each copy costs
    # 8 MB, and the jump reports run this beside the fit.
    deviation = values - (np.median(values, axis=0) if median is None else median)
    np.abs(deviation, out=deviation)
    mean_abs = np.mean(deviation, axis=0) * math.sqrt(math.pi / 2.0)
    mad = np.median(deviation, axis=0, overwrite_input=True) * _MAD_TO_SD
    return np.asarray(np.where(mad > 0.0, mad, mean_abs) ** 2)


def _winsorised_and_robust_variance(values: NDArray[np.float64]
                                    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """:func:`_winsorised_variance` and the :func:`_robust_variance` it bounds the values by,
    from one median of each column."""
    median = np.median(values, axis=0)
    robust = _robust_variance(values, median)
    bound = _WINSOR_CUT * np.sqrt(robust)
    clipped = values - median
    np.clip(clipped, -bound, bound, out=clipped)
    np.square(clipped, out=clipped)
    return np.asarray(np.mean(clipped, axis=0) / _WINSOR_KEPT), robust


def _winsorised_variance(values: NDArray[np.float64]) -> NDArray[np.float64]:
    """Variance of each column with values beyond 2.5 robust scales pulled in to that bound.

    Nearly as efficient as the plain variance under normal noise (the median absolute
    deviation wastes two thirds of the sample), while a jump or a wild sample still counts
    only up to the bound.
    """
    return _winsorised_and_robust_variance(values)[0]


def _second_differences(z: NDArray[np.float64], lag: int,
                        delta: Optional[NDArray[np.float64]] = None) -> NDArray[np.float64]:
    """Second differences at `lag`; with `delta`, each divided by its own noise scale (the
    deltas of its three samples, weighted as the difference weighs them)."""
    diffs = z[: -2 * lag] - 2.0 * z[lag:-lag] + z[2 * lag:]
    if delta is None:
        return diffs
    d2 = delta**2
    spread = np.sqrt((d2[: -2 * lag] + 4.0 * d2[lag:-lag] + d2[2 * lag:]) / 6.0)
    return np.asarray(diffs / spread[:, None])


def noise_values(y: NDArray[np.float64], delta: Optional[NDArray[np.float64]]
                 ) -> tuple[NDArray[np.float64], Optional[NDArray[np.float64]]]:
    """The values, and the deltas still to apply, that the noise is measured from.

    With one delta for all samples that is ``y / delta``. With deltas that vary it is `y`
    itself: differences of ``y / delta`` carry the level times the variation of ``1 / delta``,
    which a level far from zero makes larger than the noise; differences of `y` cancel the
    level and are then divided by their own deltas.
    """
    if delta is None or np.all(delta == delta[0]):
        return (y if delta is None else y / delta[:, None]), None
    return y, delta


def _phi_from_ratio(ratio: float) -> float:
    """Invert var(lag-2 second difference) / var(lag-1 one) = (1+phi)(3-phi^2)/(3-phi)."""
    lo, hi = _PHI_RANGE

    def excess(phi: float) -> float:
        return (1.0 + phi) * (3.0 - phi * phi) / (3.0 - phi) - ratio

    if excess(lo) >= 0.0:
        return lo
    if excess(hi) <= 0.0:
        return hi
    for _ in range(60):
        mid = 0.5 * (lo + hi)
        if excess(mid) < 0.0:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


def _clear_of(breaks: Optional[NDArray[np.intp]], n: int, lag: int,
              span: int) -> NDArray[np.bool_]:
    """Which differences ``z[i + span * lag] - ...`` starting at i = 0, 1, ... cross no break.

    A break j lies between samples j and j + 1; a difference over samples i to i + span * lag
    crosses it when ``i <= j < i + span * lag``.
    """
    count = n - span * lag
    if breaks is None or len(breaks) == 0:
        return np.ones(count, dtype=bool)
    marks = np.zeros(n, dtype=np.int64)
    marks[np.asarray(breaks, dtype=np.intp) + 1] = 1
    before = np.cumsum(marks)  # breaks at or before each sample's left side
    start = np.arange(count)
    return np.asarray(before[start + span * lag] - before[start] == 0)


def estimate_noise(z: NDArray[np.float64],
                   breaks: Optional[NDArray[np.intp]] = None,
                   delta: Optional[NDArray[np.float64]] = None,
                   for_price: bool = False, scale: str = "mad") -> NoiseEstimate:
    """Noise level and lag-one autocorrelation of standardised values on sorted sites.

    Second differences cancel linear trends and a jump touches only three of them, so their
    median absolute deviation, or their variance winsorised at a few of its scales, measures
    the noise. For AR(1) noise with marginal variance
    s**2 and lag-one correlation phi, second differences at lag one have variance
    ``2 s**2 (1 - phi)(3 - phi)`` and those at lag two ``2 s**2 (1 - phi**2)(3 - phi**2)``;
    their ratio gives phi, then either gives s.

    Parameters
    ----------
    z : ndarray, shape (n, d)
        ``y / delta`` on sorted, distinct sites, no missing values.
    breaks : ndarray of int, optional
        Known jumps (index of the last sample before each): differences across them are left
        out. Dense jumps otherwise contaminate so many differences that even the median reads
        them as noise, and their runs as autocorrelation.
    delta : ndarray, shape (n,), optional
        Standard deviations still to apply: `z` is then the values as given and each
        difference is divided by its own deltas (see :func:`noise_values`).
    for_price : bool
        The estimate a jump's price is set from: phi is shrunk toward 0 by the factor
        ``1 - (c / phi)**2`` instead of shifted down by c, its sampling noise under
        independent noise, so that a clear autocorrelation keeps nearly its value.
    scale : {"mad", "winsorised"}
        The variance of the lag-one second differences sigma is read from: their median
        absolute deviation, or their variance winsorised at 2.5 robust scales. Under normal
        noise the winsorised one has the spread of a chi-square on about 0.5 degrees of
        freedom per difference, the median absolute deviation on 0.25 (neighbouring
        differences correlate, -2/3 at lag one: even the plain variance has only
        ``1 / (1 + 2 (4/9 + 1/36)) = 0.514``); a jump or a wild sample still counts at most
        the bound. Series of fewer than 7 samples always use the median absolute deviation
        of first differences.

    Returns
    -------
    NoiseEstimate
    """
    # Squares of values far from 1 underflow or overflow (values of 1e-200 read as noise-free):
    # estimate on values brought near 1 by a power of two, which changes no digit.
    power = _power_of_two(z)
    if power:
        estimate = estimate_noise(np.ldexp(z, -power), breaks, delta, for_price, scale)
        return replace(estimate, sigma=np.ldexp(estimate.sigma, power))
    n = z.shape[0]
    if n < 7:
        diffs = np.diff(z, axis=0)
        if delta is not None:
            diffs = diffs / np.sqrt((delta[:-1] ** 2 + delta[1:] ** 2) / 2.0)[:, None]
        clear = _clear_of(breaks, n, 1, 1)
        left_out = 0 if breaks is None else len(breaks)
        if left_out and np.count_nonzero(clear) >= 2:
            diffs = diffs[clear]
        else:
            left_out = 0
        return NoiseEstimate(np.sqrt(_robust_variance(diffs) / 2.0), 0.0,
                             float(diffs.size), None, left_out)
    first, second = _second_differences(z, 1, delta), _second_differences(z, 2, delta)
    clear1, clear2 = _clear_of(breaks, n, 1, 2), _clear_of(breaks, n, 2, 2)
    # Too few differences left between the breaks say less than all of them.
    left_out = 0
    if np.count_nonzero(clear1) >= 5 and np.count_nonzero(clear2) >= 5:
        first, second = first[clear1], second[clear2]
        n = second.shape[0] + 4
        left_out = 0 if breaks is None else len(breaks)
    winsorised1, robust1 = _winsorised_and_robust_variance(first)
    var1 = winsorised1 if scale == "winsorised" else robust1
    # The ratio that gives phi needs efficient variances: with the median absolute deviation
    # its sampling noise hid an autocorrelation of 0.5 in series of a few hundred samples.
    total1 = float(np.sum(winsorised1))
    total2 = float(np.sum(_winsorised_variance(second)))
    raw_phi = _phi_from_ratio(total2 / total1) if total1 > 0.0 else 0.0
    # Only an estimate clear of its sampling noise c under independent noise counts. Shifted
    # down by c, AR(1) noise of phi 0.5 at 600 samples read as 0.37 (and its marginal
    # variance 25 % low), so a jump cost half its due and 20 % of such series got one; shrunk
    # by (1 - (c / phi)**2) it reads 0.50 on average and 5 % do. Nearer the raw estimate (a
    # cut at one standard deviation, the raw value, or the long-run factor averaged over the
    # estimate's sampling law) lowers the false-jump rate of short AR(1) series but reads
    # small dense steps (teeth, staircases) and the texture of real series as autocorrelation
    # and loses their jumps (bench/select/RESULTS.md, "AR(1) price"). The rounds that look for
    # the jumps to leave out keep the shift: a larger phi there inflates the scale, the
    # generous fit then finds fewer of dense jumps, and their runs read as an autocorrelation
    # of 0.9.
    cut = _PHI_NOISE / math.sqrt(n)
    if not for_price:
        phi = max(0.0, raw_phi - cut)
    else:
        phi = raw_phi * (1.0 - (cut / raw_phi) ** 2) if raw_phi > cut else 0.0
    sigma = np.sqrt(var1 / (2.0 * (1.0 - phi) * (3.0 - phi)))
    return NoiseEstimate(np.asarray(sigma, dtype=np.float64), phi, float(first.size),
                         _correlation(first), left_out)


def _correlation(values: NDArray[np.float64]) -> Optional[NDArray[np.float64]]:
    """Correlation across columns of values winsorised at 2.5 robust scales (None for one)."""
    d = values.shape[1]
    if d == 1 or values.shape[0] < 3:
        return None
    centred = values - np.median(values, axis=0)
    bound = _WINSOR_CUT * np.sqrt(_robust_variance(values))
    clipped = np.clip(centred, -bound, bound)
    spread = np.sqrt(np.mean(clipped**2, axis=0))
    if not np.all(spread > 0.0):
        return None
    unit = clipped / spread
    corr = unit.T @ unit / values.shape[0]
    return np.asarray(np.clip(corr, -1.0, 1.0))


def _power_of_two(z: NDArray[np.float64]) -> int:
    """The exponent that brings the largest finite |z| to [0.5, 1); 0 when it lies between
    2**-100 and 2**100, where squares neither overflow nor underflow."""
    finite = np.abs(z[np.isfinite(z)])
    largest = float(finite.max()) if finite.size else 0.0
    if largest == 0.0 or 2.0**-100 < largest < 2.0**100:
        return 0
    return int(np.frexp(largest)[1])


def _running_median(z: NDArray[np.float64], width: int) -> NDArray[np.float64]:
    """Running median along the rows, the window shrinking symmetrically at the ends."""
    n = z.shape[0]
    half = width // 2
    if n < width:
        return np.asarray(np.broadcast_to(np.median(z, axis=0), z.shape).copy())
    windows = np.lib.stride_tricks.sliding_window_view(z, width, axis=0)  # (n-w+1, d, w)
    out = np.empty_like(z)
    out[half: n - half] = np.median(windows, axis=-1)
    for i in range(half):
        out[i] = np.median(z[: 2 * i + 1], axis=0)
        out[n - 1 - i] = np.median(z[n - 1 - 2 * i:], axis=0)
    return out


def outlier_factors(z: NDArray[np.float64], sigma: NDArray[np.float64],
                    cutoff: float = 3.0,
                    delta: Optional[NDArray[np.float64]] = None) -> NDArray[np.float64]:
    """Factors (>= 1) by which to widen each sample's standard deviation.

    A running median of five keeps steps and removes runs of up to two wild samples. A sample
    whose distance from it exceeds `cutoff` robust standard deviations gets its deviation
    widened in proportion, so that in any fit it can contribute at most about ``cutoff**2``
    noise variances: one wild sample cannot pay for the two jumps that would isolate it.

    Parameters
    ----------
    z : ndarray, shape (n, d)
        ``y / delta`` on sorted, distinct sites.
    sigma : ndarray, shape (d,)
        Noise level of each column (:func:`estimate_noise`).
    cutoff : float
        Distance from the running median, in its standard deviation under normal noise,
        beyond which a sample is downweighted.
    delta : ndarray, shape (n,), optional
        Standard deviations still to apply to `z` (see :func:`noise_values`).

    Returns
    -------
    ndarray, shape (n,)
    """
    safe = np.where(sigma > 0.0, sigma, 1.0)
    residual = z - _running_median(z, 5)
    if delta is not None:
        residual = residual / delta[:, None]
    residual = residual / safe
    distance = np.sqrt(np.mean(residual**2, axis=1))
    return np.asarray(np.maximum(1.0, distance / (cutoff * _MEDIAN_RESIDUAL_SD)))


def student_price(price: float, dof: float) -> float:
    """The price that keeps the false-jump odds of `price` when the noise is estimated.

    A jump costing ``c`` noise variances is taken when the energy it saves, about
    ``sigma**2 * chi2(1)`` under no change, exceeds ``c * s**2``; with the true sigma that
    happens with odds ``alpha = 2 Phi(-sqrt(c))``. With ``s**2`` estimated on `dof` degrees of
    freedom the ratio is ``t(dof)**2``, so the price that keeps the odds is the square of
    Student's t quantile at ``alpha / 2``. It matters for a few dozen samples (at 10 samples
    the price is about six times as high) and fades as the estimate sharpens.

    Parameters
    ----------
    price : float
        Price in noise variances for a known noise level.
    dof : float
        Degrees of freedom of the noise variance estimate (inf: known).

    Returns
    -------
    float
    """
    if not math.isfinite(dof) or dof > 1e4 or not price > 0.0 or math.isinf(price):
        return price
    nu = max(dof, 1.0)
    alpha = 0.5 * math.erfc(math.sqrt(price / 2.0))  # Phi(-sqrt(price))
    # P(T > t) = k * integral of cos(theta)**(nu - 1) from atan(t / sqrt(nu)) to pi / 2.
    theta = np.linspace(0.0, 0.5 * math.pi, 8001)
    density = np.cos(theta) ** (nu - 1.0) if nu > 1.0 else np.ones_like(theta)
    k = math.exp(math.lgamma((nu + 1.0) / 2.0) - math.lgamma(nu / 2.0)) / math.sqrt(math.pi)
    pieces = 0.5 * (density[1:] + density[:-1]) * np.diff(theta)
    tail = k * np.concatenate((np.cumsum(pieces[::-1])[::-1], [0.0]))
    if alpha >= tail[0]:
        return price
    # tail falls from 0.5 to 0 along theta; interpolate on the reversed (rising) arrays.
    angle = float(np.interp(alpha, tail[::-1], theta[::-1]))
    t = math.sqrt(nu) * math.tan(angle)
    return max(price, t * t)


def smooth_runs(smooth_residual: NDArray[np.float64], smooth_jumps: NDArray[np.int64],
                other_residual: NDArray[np.float64], other_jumps: NDArray[np.int64]) -> float:
    """By how much a smoother fit's residuals (m, d) are more correlated at lag one than
    another fit's (levels, a narrower curve), within each fit's segments, in standard errors
    of one column's lag-one correlation (1 / sqrt(m): columns may share their noise, so they
    are not counted as more pairs). A curve too stiff for what the other follows leaves runs
    of one sign."""
    m = smooth_residual.shape[0]
    return (lag_one(smooth_residual, smooth_jumps)
            - lag_one(other_residual, other_jumps)) * math.sqrt(m)


def lag_one(residual: NDArray[np.float64], jumps: NDArray[np.int64]) -> float:
    """The lag-one correlation of `residual` (m, d) within the segments between `jumps`, every
    column (0 without spread)."""
    m = residual.shape[0]
    within = np.ones(m - 1, dtype=bool)
    within[jumps[jumps < m - 1]] = False
    spread = float(np.sum(residual * residual))
    return float(np.sum((residual[1:] * residual[:-1])[within])) / spread if spread > 0.0 else 0.0
