"""The default parameter choice: a priced jump and a bandwidth by an information criterion.

Two questions are answered separately:

- How much a jump must buy. A jump is kept when it lowers the energy by more than
  ``price = 3.5 * (L log m + d - L) * (1 + phi) / (1 - phi)`` noise variances, for m samples,
  d columns and lag-one noise autocorrelation phi: a BIC-type price per jump, raised by the
  long-run variance factor because under autocorrelated noise local means wander that much
  more. L, the largest eigenvalue of the noise covariance across columns over the mean
  variance, is 1 for one column or independent ones and k for k copies of one series, whose
  noise saves k times the energy. Below 50 differences behind the noise estimate the price is
  raised as Student's t odds exceed those at 50 (:func:`._noise.student_price`). The noise
  scale comes from second differences (:mod:`._noise`), measured again between the jumps of a
  generous first fit (:func:`._units.refine_noise`), so jumps, even dense ones, trends and a
  few wild samples barely move it; the final scale is their winsorised variance, which
  spreads less than their median absolute deviation.
- How smooth the curve is between jumps. Every bandwidth of a grid (up to twice the length
  of series of up to 5,000 samples, so that a nearly straight line is a candidate, sqrt(2)
  apart, as a doubling is too coarse for smooth curves; doubling up to 128 samples beyond)
  is fitted at that price and scored by ``N log(RSS / N) + log(N) * edf + price * jumps``:
  smoothness and jumps on the same footing, each effective degree of freedom of the spline
  costing log N (:func:`._scoring.effective_dof`). The smoothest bandwidth whose score is
  within 2 of the best wins (smaller differences are no evidence either way). Bandwidths count samples at
  the spacing of the sites away from their gaps (:func:`._units.local_spacing`): in mean
  spacings, one gap of 1,000 spacings in 600 sites made every bandwidth 2.7 times as stiff as
  it says, and the stiff curve was cut (a jump in 5 of 40 smooth series with such a gap).
  Sample splitting (odd samples predicted from even ones, bench/select/variants.py) was the
  earlier rule: under
  autocorrelated noise it keeps bandwidths of one or two samples, at which real level shifts
  (the Nile's 1898) are not worth a jump.

Then one fit of all the data checks the segments: one shorter than a bandwidth is curvature
that the smoothing was too stiff to follow, so the bandwidth is halved until none is left
(or, at the smallest bandwidth, the penalty doubled); a jump smaller than two noise standard
deviations is a bend or a blurred edge cut twice, so the penalty is doubled until none is
left. Last, a jump that stands in for curvature (a finer curve without it fits the samples
around it as well, :meth:`ChoiceFits.finer_curve`) narrows the bandwidth once to that curve's:
one bandwidth for the whole series pays for a local feature's curvature everywhere, so the
steep flank of a bump came cheaper cut than followed. Wild samples are downweighted before any
fit (:func:`._noise.outlier_factors`).
"""

from __future__ import annotations

import math
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

import numpy as np
from numpy.typing import NDArray

from . import _engine
from ._noise import noise_values, outlier_factors, smooth_runs, student_price
from ._scoring import FitArrays, effective_dof, fit_formed, fit_inputs
from ._units import Samples, Units, local_spacing

__all__ = ["Choice", "ChoiceFits", "Rule", "choose", "choose_with", "jump_heights", "predict"]

_MAX_RAISES = 6


class Rule:
    """The constants of the default choice (bench/select/variants.py turns them, and has the
    rejected rules)."""

    price_per_log_n = 3.5
    outlier_cutoff = 3.0
    smallest_bandwidth = 1.0
    # Threads scoring bandwidths at once (the engine's fits release the interpreter lock).
    threads = 2
    # A pair whose fits have a segment shorter than this many bandwidths is not chosen: at
    # that bandwidth such a segment is curvature the smoothing could not follow, not a level.
    shortest_segment = 1.0
    # Nor one with a jump smaller than this many noise standard deviations (in the column
    # where it is largest): such a step is a bend the smoothing was too stiff to follow.
    smallest_jump = 2.0
    largest_bandwidth_fraction = 1.0 / 8.0
    # And at most this many samples: a search costs more the stiffer the spline (at n =
    # 100,000 about 0.1 s at one sample, 2.8 s at 64, 11 s at 256, 31 s at 1024), and the
    # corpora never chose more than 64.
    largest_bandwidth = 128.0
    # Series up to this many samples get bandwidths up to twice their length, where the
    # curve between jumps is nearly a straight line. Longer series stop at
    # `largest_bandwidth`, where the search is still fast.
    straight_below = 5000
    # Series up to this many samples also get the bandwidths halfway (sqrt(2)) between the
    # doublings: a factor of 2 in bandwidth is a factor of 16 in p, too coarse for smooth
    # curves (bench/select/nochange.py: sines and bumps 1.1 to 2 times GCV's error, near 1
    # with the finer grid). Longer series keep the doubling grid, where each fit costs.
    half_octaves_below = 5000
    # With an information criterion, the largest bandwidth whose score is within this much of
    # the best is taken: differences below 2 are no evidence either way.
    ic_slack = 2.0
    # A jump stands in for curvature when, on the samples around it (this many bandwidths
    # either side, clear of other jumps and of the ends), a curve without it at a finer
    # bandwidth of the grid (down to a quarter) fits as well by the same criterion, the jump's
    # price not counted; then the bandwidth is narrowed to that curve's. One bandwidth for
    # the whole series pays for a local feature's curvature everywhere, so a steep flank came
    # cheaper cut than followed (a jump in 10 % of bumps on a slope). A real level change
    # leaves the finer curve a misfit, whereas with the price counted small jumps between
    # flat stretches were taken for curvature too (small among large, 200 series: 125 of
    # 1,244 matched jumps lost, against 23 without; bench/select/RESULTS.md).
    local_window = 3.0
    # Not at a bandwidth under this many samples: a curve that bends within a few samples
    # is itself a step, and follows real levels held for a few bandwidths as well as a jump.
    finest_follow = 8.0
    # The price is raised for the uncertainty of a noise estimate from fewer than this many
    # differences: as Student's t odds on those degrees of freedom exceed the odds on this
    # many. The price per log m was calibrated by simulation on series of 30 samples and
    # more, where the estimate's uncertainty is part of what it absorbs (false-jump rate
    # under 5 % from 30 samples on, 8 % at 15 and 20, 15 to 22 % at 4 to 8).
    noise_reference_dof = 50.0

    def price(self, count: int, columns: int, phi: float, dof: float = math.inf,
              leading: float = 1.0) -> float:
        """Jump penalty in noise variances.

        `leading` is the largest eigenvalue of the noise covariance across columns in units
        of the mean variance (:attr:`._noise.NoiseEstimate.leading`): noise shared by k
        columns saves k times the energy of one, so ``log m`` is paid that many times; the
        other columns add ``d - leading``, as independent columns each add one.
        """
        factor = (1.0 + phi) / (1.0 - phi)
        base = (self.price_per_log_n * (leading * math.log(count) + columns - leading)
                * max(factor, 1.0))
        if dof >= self.noise_reference_dof:
            return base
        return base * student_price(base, dof) / student_price(base, self.noise_reference_dof)

    def bandwidths(self, count: int) -> NDArray[np.float64]:
        """The grid of bandwidths in samples: doubling, or sqrt(2) apart up to
        `half_octaves_below` samples."""
        top = max(self.smallest_bandwidth,
                  min(count * self.largest_bandwidth_fraction, self.largest_bandwidth))
        if count <= self.straight_below:
            top = max(top, 2.0 * count)
        k = int(math.floor(math.log2(top / self.smallest_bandwidth) + 1e-9))
        grid = np.asarray(self.smallest_bandwidth * 2.0 ** np.arange(k + 1), dtype=np.float64)
        if count <= self.half_octaves_below:
            grid = np.sort(np.concatenate((grid, grid[:-1] * math.sqrt(2.0))))
        return grid


def _counted(count: float, noun: str) -> str:
    """"1 jump", "3 jumps", "0 jumps"."""
    return f"{count:g} {noun}" + ("" if count == 1 else "s")


@dataclass
class Choice:
    """What the default choice decided and why."""

    bandwidth_samples: float
    penalty: float
    criterion: str
    table: NDArray[Any] = field(repr=False)
    factors: NDArray[np.float64] = field(repr=False)
    searches: list[int] = field(default_factory=list, repr=False)
    # A narrower bandwidth for the curve between the chosen jumps (:func:`curve_bandwidth`),
    # or None, and those jumps (sample indices a jump follows).
    curve_bandwidth: Optional[float] = None
    curve_jumps: Optional[NDArray[np.intp]] = field(default=None, repr=False)


def jump_heights(fitted: FitArrays,
                 unit: Optional[NDArray[np.float64]] = None) -> NDArray[np.float64]:
    """Largest absolute jump over the columns at each jump of a fit (right minus left limit),
    each column measured in its own `unit` if given."""
    if fitted.jumps.size == 0:
        return np.zeros(0)
    at = np.ascontiguousarray(fitted.jumps)
    step = (_engine.evaluate(fitted.breaks, fitted.coefs, at)
            - _engine.evaluate(fitted.breaks, fitted.coefs, at, 0, True))
    if unit is not None:
        step = step / np.where(unit > 0.0, unit, 1.0)
    return np.asarray(np.max(np.abs(step), axis=1))


def predict(fitted: FitArrays, sites: NDArray[np.float64]) -> NDArray[np.float64]:
    """Values of a fit at `sites`, shape (m, d)."""
    return _engine.evaluate(fitted.breaks, fitted.coefs, np.ascontiguousarray(sites))


def _map_in_threads(work: Callable[..., Any], jobs: list[tuple[float, float]],
                    threads: int) -> list[Any]:
    """``[work(*job) for job in jobs]``, in up to `threads` threads.

    One thread runs in the calling one, where the fits see Ctrl-C at once. With more, an
    interruption (or any error) cancels the jobs not yet started, so nothing keeps running
    after the call returns.
    """
    if threads <= 1 or len(jobs) <= 1:
        return [work(*job) for job in jobs]
    pool = ThreadPoolExecutor(max_workers=threads)
    try:
        futures = [pool.submit(work, *job) for job in jobs]
        return [future.result() for future in futures]
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


class ChoiceFits:
    """The fits of one choice: the samples standardised, wild samples widened
    (:func:`._noise.outlier_factors`), the weights formed once for every fit, and every
    partition search counted (and shown on the progress bar).

    Bandwidths are counted in the spacing of the sites away from their gaps (`stretch` of
    them to a mean spacing, 1 without gaps, :func:`._units.local_spacing`): the curve between
    two sites a gap apart is free to bend, while elsewhere a bandwidth must mean as many
    samples as it says.
    """

    def __init__(self, samples: Samples, units: Units, rule: Rule, bar: Any = None) -> None:
        self.m, self.d = samples.y.shape
        self.units, self.rule, self.bar = units, rule, bar
        values, deltas = noise_values(samples.y, samples.delta)
        self.factors = outlier_factors(values, units.noise.sigma, rule.outlier_cutoff, deltas)
        self.x_std, self.y_std = units.standardise(samples)
        self.delta = samples.delta
        # Without wild samples the widened deviations are the deviations, bit for bit, and
        # unit deviations widened are the factors: one array fewer held through every fit.
        if not np.any(self.factors != 1.0):
            self.delta_eff = samples.delta
        elif np.all(samples.delta == 1.0):
            self.delta_eff = self.factors
        else:
            self.delta_eff = samples.delta * self.factors
        self.inputs = fit_inputs(self.x_std, self.y_std, self.delta_eff)
        # Columns are judged each in its own noise level.
        self.column_unit = (units.noise.sigma / units.scale
                            if self.d > 1 and np.all(units.noise.sigma > 0.0) else None)
        local, self.gaps = local_spacing(samples.x)
        self.stretch = units.spacing / local if self.gaps else 1.0
        self.searches: list[int] = []
        # The pair last checked by :meth:`flaw` and its fit, for :meth:`finer_curve`.
        self.checked: Optional[tuple[float, float, Any]] = None
        # For every scored pair: its fit's residual sum of squares (each column in its own
        # noise level), degrees of freedom and jumps, for :func:`curve_bandwidth`.
        self.residuals: dict[tuple[float, float], tuple[float, float, NDArray[np.intp]]] = {}
        self._lock = threading.Lock()

    def fit(self, p_std: float, penalty: float) -> Any:
        fitted = fit_formed(self.inputs, p_std, p_std * penalty)
        with self._lock:
            self.searches.append(self.m)
            if self.bar is not None:
                self.bar.update(1)
        return fitted

    def fit_at(self, b: float, pen: float) -> Any:
        """The fit at bandwidth `b` (local spacings) and penalty `pen`."""
        return self.fit(self.units.p_standard(b / self.stretch), pen)

    def score(self, b: float, pen: float) -> tuple[float, float]:
        """``N log(RSS / N) + log(N) * edf + price * jumps`` of the fit at bandwidth `b`
        (local spacings) and penalty `pen`: smoothness and jumps on the same footing."""
        m, d, units = self.m, self.d, self.units
        residual, jump_idx = self.residual_of(b, pen)
        # Columns that share their noise are fewer independent values: k copies of one
        # series count as one.
        values = m * d / units.noise.leading
        lengths = np.diff(np.concatenate(([0], jump_idx + 1, [m])))
        dof = d * float(np.sum(effective_dof(lengths, b)))
        # Each column its own residual variance: a noisy column cannot drown the residuals
        # of a quiet one.
        per_column = np.maximum(np.sum(np.square(residual, out=residual), axis=0), 1e-300)
        data_term = float(m * np.sum(np.log(per_column / m)))
        jumps = jump_idx.size
        rss = float(np.sum(per_column if self.column_unit is None
                           else per_column / np.square(self.column_unit)))
        with self._lock:
            self.residuals[(b, pen)] = (rss, dof, np.array(jump_idx, dtype=np.intp))
        return data_term + math.log(values) * dof + (pen * jumps if jumps else 0.0), 0.0

    def jumps_at(self, b: float, pen: float) -> int:
        """The number of jumps of the fit at (`b`, `pen`): of the fit last checked or scored
        there when there is one, else of a new fit."""
        checked = self.checked
        if checked is not None and checked[:2] == (b, pen):
            return int(checked[2].jump_idx.size)
        if (b, pen) in self.residuals:
            return int(self.residuals[(b, pen)][2].size)
        return int(self.fit_at(b, pen).jump_idx.size)

    def residual_of(self, b: float, pen: float) -> tuple[NDArray[np.float64], NDArray[np.intp]]:
        """The residuals (m, d) in the units of :meth:`score` and the jumps of the fit at
        bandwidth `b` and penalty `pen`."""
        fitted = self.fit_at(b, pen)
        # In place: at a million samples each array is 8 MB per column and per thread.
        residual = predict(fitted, self.x_std)
        jumps = np.asarray(fitted.jump_idx, dtype=np.intp)
        # The coefficients (32 bytes a sample and column) go before the other thread's fit
        # adds its own.
        del fitted
        np.subtract(residual, self.y_std, out=residual)
        np.divide(residual, self.delta_eff[:, None], out=residual)
        return residual, jumps

    def line_residual(self, jumps: Optional[NDArray[np.intp]] = None) -> float:
        """The residual sum of squares of weighted least-squares straight lines through each
        column, one between every two of `jumps` (sample indices a jump follows), in the units
        of :meth:`score`."""
        weight = 1.0 / np.square(self.delta_eff)
        starts = np.concatenate(([0], np.asarray(jumps if jumps is not None else [],
                                                 dtype=np.intp) + 1))
        lengths = np.diff(np.concatenate((starts, [self.m])))

        def per_segment(values: NDArray[np.float64]) -> NDArray[np.float64]:
            return np.add.reduceat(values, starts)

        total = per_segment(weight)
        t = self.x_std - np.repeat(per_segment(weight * self.x_std) / total, lengths)
        spread = per_segment(weight * t * t)
        rss = np.empty(self.d)
        for j in range(self.d):
            v = self.y_std[:, j] - np.repeat(per_segment(weight * self.y_std[:, j]) / total,
                                             lengths)
            slope = np.divide(per_segment(weight * t * v), spread,
                              out=np.zeros_like(spread), where=spread > 0.0)
            v -= np.repeat(slope, lengths) * t
            rss[j] = float(np.dot(weight, v * v))
        return float(np.sum(rss if self.column_unit is None
                            else rss / np.square(self.column_unit)))

    def flaw(self, b: float, pen: float) -> str:
        """"short" (a segment under the shortest length), "small" (a jump under the
        smallest height) or "" for a fit without either."""
        # The fit checked before is dropped first: no more than one is held at a time.
        self.checked = None
        fitted = self.fit_at(b, pen)
        self.checked = (b, pen, fitted)
        if fitted.jump_idx.size == 0:
            return ""
        lengths = np.diff(np.concatenate(([0], fitted.jump_idx + 1, [self.m])))
        if lengths.min() < self.rule.shortest_segment * b:
            return "short"
        # In noise standard deviations of y / delta at the samples either side (of each
        # column's own noise).
        idx = fitted.jump_idx
        local = 0.5 * (self.delta[idx] + self.delta[idx + 1])
        if np.min(jump_heights(fitted, self.column_unit) / local) < self.rule.smallest_jump:
            return "small"
        return ""

    def local_score(self, residual: NDArray[np.float64], unit: NDArray[np.float64],
                    lengths: list[int], b: float) -> float:
        """What samples of `residual` add to the criterion of :meth:`score`, the rest of the
        fit held and the price of their jumps not counted: their energy in the whole fit's
        residual variance per column (`unit`) and log N per degree of freedom of their runs
        of `lengths` at bandwidth `b`."""
        values = self.m * self.d / self.units.noise.leading
        dof = self.d * float(np.sum(effective_dof(np.asarray(lengths), b)))
        return float(np.sum(np.sum(np.square(residual), axis=0) / unit)) + math.log(values) * dof

    def finer_curve(self, b: float, pen: float, grid: NDArray[np.float64]) -> float:
        """The largest bandwidth of `grid` below `b` (down to a quarter, and to
        `finest_follow`) at which a curve without one of the jumps of the fit at (`b`,
        `pen`), fitted to the samples within `local_window` bandwidths of that jump, scores
        within the slack of the fit with it; 0 when there is none."""
        rule, units = self.rule, self.units
        finer = grid[(grid < b) & (grid >= max(b / 4.0, rule.finest_follow))][::-1]
        if finer.size == 0:
            return 0.0
        checked = self.checked
        fitted = (checked[2] if checked is not None and checked[:2] == (b, pen)
                  else self.fit_at(b, pen))
        idx = fitted.jump_idx
        # Only a jump with a full stretch either side, clear of the other jumps and of the
        # ends: between jumps closer than that, runs are too short for their degrees of
        # freedom to tell a level from a bend.
        reach = int(math.ceil(rule.local_window * b))
        ends = np.concatenate(([-1], idx, [self.m - 1]))
        clear = idx[(idx - ends[:-2] >= reach) & (ends[2:] - idx >= reach)]
        if clear.size == 0:
            return 0.0
        residual = predict(fitted, self.x_std)
        np.subtract(residual, self.y_std, out=residual)
        np.divide(residual, self.delta_eff[:, None], out=residual)
        unit = np.maximum(np.mean(np.square(residual, out=residual), axis=0), 1e-300)
        del residual
        slack = rule.ic_slack * units.noise.leading
        best = 0.0
        for j in clear.tolist():
            lo, hi = j + 1 - reach, j + 1 + reach
            x, y, delta = self.x_std[lo:hi], self.y_std[lo:hi], self.delta_eff[lo:hi]
            cut = (predict(fitted, x) - y) / delta[:, None]
            with_jump = self.local_score(cut, unit, [reach, reach], b)
            inputs = fit_inputs(x, y, delta)
            for narrow in finer:
                if narrow <= best:
                    break
                curve = fit_formed(inputs, units.p_standard(float(narrow) / self.stretch),
                                   math.inf)
                smooth = (predict(curve, x) - y) / delta[:, None]
                if self.local_score(smooth, unit, [hi - lo], float(narrow)) <= with_jump + slack:
                    best = float(narrow)
                    break
        return best


def choose(
    samples: Samples,
    units: Units,
    rule: Rule = Rule(),
    *,
    bandwidth_samples: Optional[float] = None,
    penalty: Optional[float] = None,
    penalty_of: Optional[Callable[[float], float]] = None,
    bar: Any = None,
    curve: Optional[dict[str, Any]] = None,
    fit_of: Optional[Callable[[float, float, NDArray[np.float64]], Any]] = None,
) -> Choice:
    """Choose the bandwidth (in samples) and the jump penalty (in noise variances).

    Parameters
    ----------
    samples : Samples
        Sorted, distinct, finite samples.
    units : Units
        Their standardised units.
    rule : Rule
        The constants of the choice.
    bandwidth_samples, penalty : float, optional
        Fixed values; the other one is still chosen.
    penalty_of : callable, optional
        The penalty as a function of the bandwidth (a fixed raw gamma); no repairs.
    bar : tqdm or None
        Advanced by one for every partition search.
    curve : dict, optional
        Other arguments of :func:`curve_bandwidth` (bench/select/'s candidates).
    fit_of : callable, optional
        The Selection's fit at a bandwidth (samples), a penalty and the outlier factors;
        given, every jump of the chosen pair must show its evidence (:func:`_significant`).

    Returns
    -------
    Choice
    """
    return choose_with(ChoiceFits(samples, units, rule, bar), bandwidth_samples=bandwidth_samples,
                       penalty=penalty, penalty_of=penalty_of, curve=curve, fit_of=fit_of)


def choose_with(fits: ChoiceFits, *, bandwidth_samples: Optional[float] = None,
                penalty: Optional[float] = None,
                penalty_of: Optional[Callable[[float], float]] = None,
                curve: Optional[dict[str, Any]] = None,
                fit_of: Optional[Callable[[float, float, NDArray[np.float64]], Any]] = None
                ) -> Choice:
    """:func:`choose` over `fits` (those of a variant of the choice, in bench/select/)."""
    units, rule = fits.units, fits.rule
    m, d, stretch = fits.m, fits.d, fits.stretch
    fixed_penalty = penalty
    penalty, criterion = _price(units, rule, m, d, penalty, penalty_of)
    if fits.gaps:
        criterion += (f"; bandwidths in the spacing of the sites away from their "
                      f"{_counted(fits.gaps, 'gap')} ({stretch:.3g} to a mean spacing)")
    rows: list[tuple[float, float, float, float]] = []
    if bandwidth_samples is None and rule.bandwidths(m).size > 1:
        grid = rule.bandwidths(m)
        levels = [penalty if penalty_of is None else penalty_of(float(b) / stretch)
                  for b in grid]
        scored = _map_in_threads(fits.score, [(float(b), pen) for b, pen in zip(grid, levels)],
                                 rule.threads)
        rows = [(float(b), pen, *value) for b, pen, value in zip(grid, levels, scored)]
        # The smoothest bandwidth within the slack of the best score (the first best wins a
        # tie); evidence repeated in columns that share their noise is no new evidence.
        best = min(range(len(rows)), key=lambda i: rows[i][2])
        limit = rows[best][2] + rule.ic_slack * units.noise.leading
        bandwidth, penalty = next(r[:2] for r in reversed(rows) if r[2] <= limit)
        criterion += ", bandwidth by an information criterion (log n per degree of freedom)"
        if penalty_of is None and fixed_penalty is None:
            straight = _widest_without_jumps(fits, rows, bandwidth, penalty)
            if straight is not None:
                bandwidth, penalty = straight[:2]
                criterion += straight[2]
    elif bandwidth_samples is not None:
        bandwidth = float(bandwidth_samples) * stretch
        criterion += ", given bandwidth"
    else:
        bandwidth = float(rule.bandwidths(m)[0])
        criterion += ", bandwidth of one sample (too few samples to choose)"
    if penalty_of is not None:
        penalty = penalty_of(bandwidth / stretch)
    elif bandwidth_samples is None or fixed_penalty is None:
        bandwidth, penalty, criterion = _repair(fits, bandwidth, penalty, criterion,
                                                bandwidth_samples is not None,
                                                fixed_penalty is not None)
        if bandwidth_samples is None:
            bandwidth, penalty, criterion = _follow(fits, bandwidth, penalty, criterion,
                                                    fixed_penalty is not None)
            if fixed_penalty is None and fit_of is not None:
                penalty, criterion = _significant(fits, bandwidth, penalty, criterion, fit_of)
        fits.checked = None
    if not any(r[0] == bandwidth and r[1] == penalty for r in rows):
        # The final pair gets its own score, so that the Selection reports one.
        rows.append((bandwidth, penalty, *fits.score(bandwidth, penalty)))
    # Bandwidths leave in mean spacings, as the fit's units count them.
    table = np.array([(b / stretch, pen, score, error) for b, pen, score, error in rows],
                     dtype=[("bandwidth_samples", np.float64), ("penalty", np.float64),
                            ("score", np.float64), ("standard_error", np.float64)])
    narrower: Optional[float] = None
    curve_jumps: Optional[NDArray[np.intp]] = None
    if bandwidth_samples is None and fixed_penalty is None and penalty_of is None and rows:
        narrower = curve_bandwidth(fits, bandwidth, float(penalty),
                                   float(rule.bandwidths(m)[-1]), **(curve or {}))
        if narrower is not None:
            curve_jumps = fits.residuals[(bandwidth, float(penalty))][2]
            narrower /= stretch
    chosen = float(bandwidth_samples) if bandwidth_samples is not None else bandwidth / stretch
    return Choice(chosen, float(penalty), criterion, table, fits.factors, fits.searches,
                  narrower, curve_jumps)


# The chosen curve must beat the straight line by this many standard errors (the one-sided
# 1 % point) before a narrower one is tried.
CURVE_Z = 2.326
# Generalised cross-validation with each degree of freedom counted this many times: plain
# cross-validation (1) picks a near interpolant on a few short noisy series.
GCV_DOF_WEIGHT = 1.4


def curve_bandwidth(fits: ChoiceFits, bandwidth: float, penalty: float, widest: float, *,
                    dof_weight: float = GCV_DOF_WEIGHT, beat_line_by: float = CURVE_Z,
                    long_run: bool = True, with_jumps: bool = True) -> Optional[float]:
    """The bandwidth (local spacings) that generalised cross-validation,
    ``n RSS / (n - dof_weight rho (dof + jumps))**2``, prefers for the chosen pair's curve,
    among the narrower scored bandwidths whose fits have the same jumps: without jumps at a
    penalty no higher (the number of jumps never grows with the penalty), with jumps (if
    `with_jumps`) at the same penalty. None to keep `bandwidth`: when it is the grid's widest
    (a straight line), when the curve does not beat straight lines between the same jumps by
    `beat_line_by` standard errors (there the curve is mostly noise, and a narrower one more
    so), or when none is better. rho is the noise's long-run factor (1 without `long_run`;
    the other arguments too are for bench/select/'s candidates).

    The information criterion prices a degree of freedom at log n, which keeps jumps honest
    but smooths a curve more than its error asks for; once the jumps are settled, the curve's
    error is all that counts (cubics of 300 samples: mean squared error 1.22-1.26 -> 0.98-1.02
    times SciPy's cross-validated spline, bumps of 3,000 samples 1.26-2.69 -> 0.94-0.99;
    bench/select/RESULTS.md)."""
    chosen = fits.residuals.get((bandwidth, penalty))
    if chosen is None or bandwidth >= widest or (chosen[2].size and not with_jumps):
        return None
    rss0, dof0, jumps = chosen
    k = float(jumps.size)
    # Nearly nested smoothers: the squared distance between the two curves is about the
    # difference of their residual sums, and that difference spreads by twice it. Noise
    # correlated along x is smoother than independent noise: each degree of freedom of a
    # curve takes up the long-run factor's worth of it, and spreads by as much more.
    rho = max(fits.units.noise.long_run_factor, 1.0) if long_run else 1.0
    if beat_line_by > -math.inf:
        saved = fits.line_residual(jumps) - rss0
        extra = dof0 - 2.0 * fits.d * (k + 1.0)
        if ((saved - rho * extra) / (rho * math.sqrt(2.0 * max(saved / rho, extra, 1.0)))
                <= beat_line_by):
            return None
    n = float(fits.m * fits.d)

    def gcv(rss: float, dof: float) -> float:
        left = n - dof_weight * rho * (dof + k)
        return n * rss / (left * left) if left > 0.0 else math.inf

    best, best_score = None, gcv(rss0, dof0)
    for (b, pen), (rss, dof, found) in sorted(fits.residuals.items(), key=lambda item: item[0]):
        same = (pen <= penalty and not found.size) if not jumps.size else (
            pen == penalty and np.array_equal(found, jumps))
        if b < bandwidth and same and gcv(rss, dof) < best_score:
            best, best_score = b, gcv(rss, dof)
    return best


def _price(units: Units, rule: Rule, m: int, d: int, penalty: Optional[float],
           penalty_of: Optional[Callable[[float], float]]) -> tuple[float, str]:
    """The jump penalty to score the grid at (NaN when it follows the bandwidth), and the
    criterion's account of it."""
    if penalty_of is not None:
        penalty, criterion = math.nan, "given gamma"
    elif penalty is None:
        dof, lead = units.noise.dof, units.noise.leading
        penalty = rule.price(m, d, units.noise.phi, dof, lead)
        known = rule.price(m, d, units.noise.phi, math.inf, lead)
        factor = known / rule.price(m, d, 0.0, math.inf, lead)
        shared = (f"({lead:.2f} log m + d - {lead:.2f}, the noise shared by columns)"
                  if lead > 1.005 else "(log m + d - 1)")
        criterion = (f"jump priced at {rule.price_per_log_n:g} {shared} noise variances"
                     + (f" x {factor:.2f} for autocorrelation" if factor > 1.0 else "")
                     + (f" x {penalty / known:.2f} for a noise level estimated from {dof:.0f} "
                        "differences" if penalty > known * 1.005 else ""))
    else:
        criterion = "given penalty"
    if units.noise.breaks:
        criterion = (f"noise measured away from the {_counted(units.noise.breaks, 'jump')} of a "
                     "first fit at 2 samples and BIC's price; " + criterion)
    return penalty, criterion


# The one-sided 0.1 % point: the most the widest curve's residuals may be more correlated at
# lag one than the chosen curve's (in standard errors) and still take its place, the limit
# the levels' decision puts on a smooth fit's runs. Without it a straight line took the place
# of a curve following teeth of 10 samples (6 of 100 lost their count of jumps).
_WIDEST_RUNS = 3.09


def _widest_without_jumps(fits: ChoiceFits, rows: list[tuple[float, float, float, float]],
                          bandwidth: float, penalty: float) -> Optional[tuple[float, float, str]]:
    """The grid's widest bandwidth at a penalty doubled until its fit has no jump, in place of
    the chosen pair when that pair's fit has no jump either (the pair and what the criterion
    adds), or None to keep it.

    The grid is scored at one price, and the partition search takes a jump wherever it saves
    that many noise variances; the criterion weighs the saving in the fit's own residual
    variance instead. Where the noise came out low (a few dozen samples and an estimate two
    standard errors under the truth) the wide fits take jumps the criterion then rates below
    a narrow curve without any, while the wide curve without them, never scored, rates best:
    a line of 50 samples got a wiggle 2 samples wide, 19 times a straight line's error. So
    when the chosen fit has no jump and the widest fit has some, the widest curve is scored
    without them, and takes the place of the chosen one when it beats it by more than the
    criterion's slack (a dearer jump than the one scored needs evidence, not a tie) and
    leaves no runs the chosen curve does not (:data:`_WIDEST_RUNS`)."""
    top = rows[-1][0]
    if top <= bandwidth or fits.residuals[(bandwidth, penalty)][2].size:
        return None
    if not fits.residuals[(top, rows[-1][1])][2].size:
        return None
    slack = fits.rule.ic_slack * fits.units.noise.leading
    own = next(score for b, pen, score, _ in rows if (b, pen) == (bandwidth, penalty))
    if fits.score(top, math.inf)[0] > own - slack:
        return None
    straight = fits.residual_of(top, math.inf)
    chosen = fits.residual_of(bandwidth, penalty)
    if smooth_runs(*straight, *chosen) > _WIDEST_RUNS:
        return None
    found = _dearer(penalty, lambda pen: not fits.fit_at(top, pen).jump_idx.size)
    if found is None:
        return None
    dearer, raised = found
    return top, dearer, (
        f", then {top:.3g} samples at {_counted(raised, 'doubling')} of the penalty "
        "(without the jumps its fit took at the first, the criterion ranks that curve "
        "above the chosen one by more than its slack)")


def _dearer(penalty: float, passes: Callable[[float], bool]) -> Optional[tuple[float, int]]:
    """The first of `penalty` doubled once, twice, ... (at most :data:`_MAX_RAISES` times)
    that `passes`, and how many doublings it took; None when none does."""
    dearer = penalty
    for raised in range(1, _MAX_RAISES + 1):
        dearer *= 2.0
        if passes(dearer):
            return dearer, raised
    return None


# A jump must be significant at this level: no more likely than this that a stretch without a
# jump shows as large a saving at some split (Fit.jump_evidence). Judged only where that
# evidence speaks about steps: jumps with this many bandwidths of segment either side (between
# closer jumps, a curve fitted across the merged segments bends through the step, and dense
# steps of 13 sd read as noise), on curves wider than this many samples (one that narrow
# follows an edge within a sample or two when merged: real edges of an image row read as
# noise; its jumps are judged in a wider fit instead, below). The penalty is doubled while a
# jump fails, as long as the dearer fit keeps every jump that passed (within this many
# samples). bench/select/RESULTS.md ("jumps judged by their evidence").
_EVIDENCE_LEVEL = 0.01
_EVIDENCE_CLEAR = 3.0
_EVIDENCE_NARROWEST = 2.0
_EVIDENCE_KEPT_WITHIN = 2
# A jump of a curve that narrow shows its evidence in the fit this many samples wide at the
# same penalty instead: a jump there within _EVIDENCE_KEPT_WITHIN samples, significant at
# _EVIDENCE_LEVEL. A curve 4 samples wide cannot follow an edge within a sample or two, so a
# real edge saves there what it saves against levels, while the wanders of AR(1) noise that
# a 1-2 sample curve cuts are followed at 4 samples as well as cut (bench/select/RESULTS.md,
# "narrow curves' jumps judged in the fit 4 samples wide").
_EVIDENCE_REFERENCE = 4.0


def _near(jumps: NDArray[np.intp], others: NDArray[np.intp]) -> NDArray[np.bool_]:
    """Which of `jumps` have one of `others` within :data:`_EVIDENCE_KEPT_WITHIN` samples."""
    if not others.size:
        return np.zeros(jumps.size, dtype=bool)
    return np.asarray(np.min(np.abs(jumps[:, None] - others[None, :]), axis=1)
                      <= _EVIDENCE_KEPT_WITHIN)


def _significant(fits: ChoiceFits, bandwidth: float, penalty: float, criterion: str,
                 fit_of: Callable[..., Any]) -> tuple[float, str]:
    """The penalty doubled (at most :data:`_MAX_RAISES` times) while a judged jump of the fit
    at (`bandwidth`, `penalty`) fails its evidence, as long as the dearer fit keeps every jump
    that passed, and what the criterion adds (see the constants): its own significance above
    :data:`_EVIDENCE_LEVEL` on a curve wider than :data:`_EVIDENCE_NARROWEST` samples, no
    significant jump near it in the fit :data:`_EVIDENCE_REFERENCE` samples wide on a
    narrower one."""
    width = bandwidth / fits.stretch
    if not fits.jumps_at(bandwidth, penalty):
        return penalty, criterion
    narrow = width <= _EVIDENCE_NARROWEST
    # The check's fit goes before the whole fit is made: one of them at a time.
    fits.checked = None
    fit, standard = _fit_to_judge(fits, width, penalty, fit_of, narrow)
    if fit is None:
        return penalty, criterion
    reach = _EVIDENCE_CLEAR * width

    def insignificant(fitted: Any, _: float) -> NDArray[np.bool_]:
        idx = np.asarray(fitted.jump_indices)
        ends = np.concatenate(([-1], idx, [fits.m - 1]))
        judged = (idx - ends[:-2] >= reach) & (ends[2:] - idx >= reach)
        return judged & (np.asarray(fitted.jump_evidence.significance) > _EVIDENCE_LEVEL)

    def unsupported(fitted: Any, pen: float) -> NDArray[np.bool_]:
        reference = fit_of(_EVIDENCE_REFERENCE, pen, fits.factors, standard=True)
        near = np.asarray(reference.jump_indices)
        strong = near[np.asarray(reference.jump_evidence.significance) <= _EVIDENCE_LEVEL
                      ] if near.size else near
        return ~_near(np.asarray(fitted.jump_indices), strong)

    dearer, raised = penalty, 0
    while raised < _MAX_RAISES and fit.jump_indices.size:
        idx = np.asarray(fit.jump_indices)
        failed = (unsupported if narrow else insignificant)(fit, dearer)
        if not np.any(failed):
            break
        candidate = fit_of(width, 2.0 * dearer, fits.factors, standard=standard)
        if not np.all(_near(idx[~failed], np.asarray(candidate.jump_indices))):
            break
        fit, dearer, raised = candidate, 2.0 * dearer, raised + 1
    if not raised:
        return penalty, criterion
    doublings = f", then {_counted(raised, 'doubling')} of the penalty to leave no jump "
    if narrow:
        return dearer, criterion + doublings + (
            f"without one within {_counted(_EVIDENCE_KEPT_WITHIN, 'sample')} whose "
            f"significance is at most {_EVIDENCE_LEVEL:g} in the fit "
            f"{_EVIDENCE_REFERENCE:g} samples wide")
    return dearer, criterion + doublings + (
        f"with more than {_counted(_EVIDENCE_CLEAR, 'bandwidth')} of segment either side "
        f"whose significance exceeds {_EVIDENCE_LEVEL:g}")


def _fit_to_judge(fits: ChoiceFits, width: float, penalty: float, fit_of: Callable[..., Any],
                  standard: bool) -> tuple[Any, bool]:
    """The Selection's fit whose jumps the evidence check judges, and whether it and the
    check's other fits are made on the samples in standardised units: always for a narrow
    curve (its p may round to 1 in the caller's units, so that the answer would depend on
    them), else only when the caller's units put the fit in a frame (its jumps' profiles
    would be measured at a raw p that has rounded to 1). None when standardising rounded
    sites together, so that its indices are not the choice's."""
    if not standard:
        fit = fit_of(width, penalty, fits.factors)
        if fit.frame is None:
            return fit, False
        del fit
    fit = fit_of(width, penalty, fits.factors, standard=True)
    return (fit if fit.x.shape[0] == fits.m else None), True


def _repair(fits: ChoiceFits, bandwidth: float, penalty: float, criterion: str,
            fixed_width: bool, fixed_penalty: bool) -> tuple[float, float, str]:
    """Check the chosen pair by one fit of all the data and mend what it shows: a segment
    shorter than a bandwidth is curvature the smoothing was too stiff to follow, so the
    bandwidth is halved until none is left (at the smallest bandwidth, or a fixed one, the
    penalty is doubled instead; where the halvings leave a curve without any jump, the chosen
    bandwidth at a dearer penalty may take its place, :func:`_without_short`); a jump smaller
    than two noise standard deviations is a bend or a blurred edge cut twice, so the penalty
    is doubled until none is left."""
    rule = fits.rule
    raised = narrowed = 0
    found = fits.flaw(bandwidth, penalty)
    if found == "short":
        first = bandwidth
        while not fixed_width and bandwidth / 2.0 >= rule.smallest_bandwidth:
            bandwidth /= 2.0
            narrowed += 1
            found = fits.flaw(bandwidth, penalty)
            if found != "short":
                break
        else:
            while not fixed_penalty and raised < _MAX_RAISES:
                penalty *= 2.0
                raised += 1
                found = fits.flaw(bandwidth, penalty)
                if found != "short":
                    break
        if narrowed and not found and not fixed_penalty and not fits.jumps_at(bandwidth,
                                                                                penalty):
            dearer = _without_short(fits, first, bandwidth, penalty)
            if dearer is not None:
                return dearer[0], dearer[1], criterion + dearer[2]
    # A small step beside large ones (a blurred edge cut twice, a bend at a stiff bandwidth)
    # is not a level change: a dearer jump drops it and keeps the large ones.
    while found == "small" and not fixed_penalty and raised < _MAX_RAISES:
        penalty *= 2.0
        raised += 1
        found = fits.flaw(bandwidth, penalty)
    if raised or narrowed:
        criterion += (f", then {_counted(narrowed, 'halving')} of the bandwidth and "
                      f"{_counted(raised, 'doubling')} of the penalty to leave no segment "
                      f"shorter than {_counted(rule.shortest_segment, 'bandwidth')} and no "
                      f"jump smaller than {rule.smallest_jump:g} noise standard deviations")
    return bandwidth, penalty, criterion


def _without_short(fits: ChoiceFits, first: float, narrow: float, penalty: float
                   ) -> Optional[tuple[float, float, str]]:
    """The chosen bandwidth `first` at a penalty doubled until its fit has no short segment
    and no small jump, in place of the halvings to `narrow` that left a curve without any
    jump at `penalty` (the pair and what the criterion adds), or None to keep the halvings.
    The short segments were meant to be curvature the narrower curve follows; where it
    follows them without a jump, the criterion that chose `first` decides between the two
    curves (the wider one within its slack)."""
    found = _dearer(penalty, lambda pen: not fits.flaw(first, pen))
    if found is None:
        return None
    dearer, raised = found
    slack = fits.rule.ic_slack * fits.units.noise.leading
    if fits.score(first, dearer)[0] > fits.score(narrow, penalty)[0] + slack:
        return None
    return first, dearer, (
        f", then {_counted(raised, 'doubling')} of the penalty to leave no segment shorter "
        f"than {_counted(fits.rule.shortest_segment, 'bandwidth')} and no jump smaller than "
        f"{fits.rule.smallest_jump:g} noise standard deviations (halving the bandwidth to "
        f"{narrow:.3g} samples left a curve without a jump that the criterion ranks lower)")


def _follow(fits: ChoiceFits, bandwidth: float, penalty: float, criterion: str,
            fixed_penalty: bool) -> tuple[float, float, str]:
    """Narrow the bandwidth once if a jump of the fit stands in for curvature that a finer
    curve without it follows as well around it (:meth:`ChoiceFits.finer_curve`), then mend
    the narrower fit as :func:`_repair` does. Once, not until no jump is left so: each
    narrowing makes the next cheaper, down to the smallest bandwidth, where real levels held
    for a few bandwidths are followed as well as cut."""
    finer = fits.finer_curve(bandwidth, penalty, fits.rule.bandwidths(fits.m))
    if not finer:
        return bandwidth, penalty, criterion
    criterion += (f", then the bandwidth narrowed from {bandwidth:.3g} to {finer:.3g} "
                  "samples, where a curve without a jump follows the samples around it as well")
    return _repair(fits, finer, penalty, criterion, False, fixed_penalty)
