"""The parameter choice with every switch the package no longer has, for run.py's variants.

The package holds the shipped method (vorn/_search.py: ``choose`` with ``Rule()``). Here is
the rule as it ran when the variants of RESULTS.md were measured, composed over the package's
fits and scores: sample splitting (``selector="split"``, the earlier default, with Huber losses
and held-out blocks), penalties by splitting (``penalty_factors``, ``joint``), the one standard
error rule, the information criterion with the robust noise as its variance
(``selector="ic-known"``), and the long-run variance, outlier weights and per-column noise as
switches. ``choose(samples, units, Rule())`` makes the package's choice bit for bit on sites
without gaps (run.py --methods priced priced-bench shows it); it counts bandwidths in mean
spacings, as the package did before issue 22 (run.py's "mean-spacing").

``Turned`` and ``choose_turned`` (at the end) are the package's own choice with its constants
turned, and with the switches it no longer has: bandwidths in mean spacings, the doubling grid
at every length, no check that a finer curve follows a jump's surroundings.
"""

from __future__ import annotations

import math
import threading
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np
from numpy.typing import NDArray

from vorn import _engine
from vorn._noise import noise_values, outlier_factors
from vorn._scoring import FitArrays, effective_dof, fit_arrays
from vorn import _search
from vorn._search import (_MAX_RAISES, Choice, ChoiceFits, _counted, _map_in_threads,
                          choose_with, jump_heights, predict, student_price)
from vorn._units import Samples, Units


@dataclass(frozen=True)
class Rule:
    """The constants and switches of the choice: Rule() is the package's method."""

    price_per_log_n: float = 3.5
    long_run_variance: bool = True
    outlier_cutoff: Optional[float] = 3.0
    huber: float = 2.0
    one_standard_error: bool = False
    smallest_bandwidth: float = 1.0
    # Multiples of the priced penalty tried by sample splitting at the chosen bandwidth.
    penalty_factors: tuple[float, ...] = (1.0,)
    # Score every (bandwidth, penalty factor) pair instead of one axis after the other.
    joint: bool = False
    # Runs of samples held out together by the sample splitting.
    block: int = 1
    # Threads scoring bandwidths at once (the engine's fits release the interpreter lock).
    threads: int = 2
    # A pair whose fits have a segment shorter than this many bandwidths is not chosen: at
    # that bandwidth such a segment is curvature the smoothing could not follow, not a level.
    shortest_segment: float = 1.0
    # Nor one with a jump smaller than this many noise standard deviations (in the column
    # where it is largest): such a step is a bend the smoothing was too stiff to follow.
    smallest_jump: float = 2.0
    largest_bandwidth_fraction: float = 1.0 / 8.0
    # And at most this many samples: a search costs more the stiffer the spline (at n =
    # 100,000 about 0.1 s at one sample, 2.8 s at 64, 11 s at 256, 31 s at 1024), and the
    # corpora never chose more than 64.
    largest_bandwidth: float = 128.0
    # Series up to this many samples get bandwidths up to twice their length, where the
    # curve between jumps is nearly a straight line (0: never). Longer series stop at
    # `largest_bandwidth`, where the search is still fast.
    straight_below: int = 5000
    # How the bandwidth is judged: "split" (odd/even sample splitting), "ic" (an information
    # criterion with the fit's own residual variance) or "ic-known" (the same with the robust
    # noise estimate as the variance).
    selector: str = "ic"
    # With an information criterion, the largest bandwidth whose score is within this much of
    # the best is taken: differences below 2 are no evidence either way.
    ic_slack: float = 2.0

    # The price is raised for the uncertainty of a noise estimate from fewer than this many
    # differences: as Student's t odds on those degrees of freedom exceed the odds on this
    # many (0: no correction). The price per log m was calibrated by simulation on series of
    # 30 samples and more, where the estimate's uncertainty is part of what it absorbs
    # (false-jump rate under 5 % from 30 samples on, 8 % at 15 and 20, 15 to 22 % at 4 to 8).
    noise_reference_dof: float = 50.0
    # Columns judged each in its own noise level (criterion, smallest jump), and the price
    # raised along the noise shared by columns.
    column_noise: bool = True

    def price(self, count: int, columns: int, phi: float, dof: float = math.inf,
              leading: float = 1.0) -> float:
        """Jump penalty in noise variances.

        `leading` is the largest eigenvalue of the noise covariance across columns in units
        of the mean variance (:attr:`._noise.NoiseEstimate.leading`): noise shared by k
        columns saves k times the energy of one, so ``log m`` is paid that many times; the
        other columns add ``d - leading``, as independent columns each add one.
        """
        factor = (1.0 + phi) / (1.0 - phi) if self.long_run_variance else 1.0
        lead = leading if self.column_noise else 1.0
        base = (self.price_per_log_n * (lead * math.log(count) + columns - lead)
                * max(factor, 1.0))
        if dof >= self.noise_reference_dof:
            return base
        return base * student_price(base, dof) / student_price(base, self.noise_reference_dof)

    def bandwidths(self, count: int) -> NDArray[np.float64]:
        """The doubling grid of bandwidths in samples."""
        top = max(self.smallest_bandwidth,
                  min(count * self.largest_bandwidth_fraction, self.largest_bandwidth))
        if count <= self.straight_below:
            top = max(top, 2.0 * count)
        k = int(math.floor(math.log2(top / self.smallest_bandwidth) + 1e-9))
        return np.asarray(self.smallest_bandwidth * 2.0 ** np.arange(k + 1), dtype=np.float64)


def one_sided(
    fitted: FitArrays, loc: NDArray[np.float64], sites: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The curves of the segments before and after each jump `loc`, continued to `sites`.

    Both pieces that meet at a jump are the straight end pieces of their segments, so each
    continues linearly from its one-sided limit with its one-sided slope; shapes (m, d).
    """
    at = np.ascontiguousarray(loc)
    offset = (sites - at)[:, None]
    form = (fitted.breaks, fitted.coefs)
    left = (_engine.evaluate(*form, at, 0, True)
            + _engine.evaluate(*form, at, 1, True) * offset)
    right = _engine.evaluate(*form, at, 0) + _engine.evaluate(*form, at, 1) * offset
    return left, right


def split_losses(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    delta: NDArray[np.float64],
    p: float,
    gamma: float,
    huber: float,
    block: int = 1,
) -> tuple[NDArray[np.float64], int, int]:
    """Huber losses of odd samples predicted from even ones and of even from odd.

    With ``block > 1`` the samples are cut into runs of `block` consecutive samples and the
    odd runs are predicted from the even runs and the reverse, so that a held-out sample is
    farther from the training samples and positively correlated noise helps less.

    A held-out sample that falls between the two training samples around a jump of the
    training fit is predicted by the mean of the two one-sided limits there: nothing in the
    training data says on which side it belongs, and the prediction must not look at its
    value (choosing the nearer side would make every added jump look good).

    Parameters
    ----------
    x, y, delta : ndarray
        Sorted, distinct, finite samples in standardised units.
    p, gamma : float
        The pair to fit each half with.
    huber : float
        Residuals (in units of delta) beyond this count linearly.
    block : int
        Length of the runs of samples that are held out together.

    Returns
    -------
    losses : ndarray, shape (n,)
        Loss of every sample, predicted from the other half.
    searches : int
        Number of partition searches made (two).
    shortest : int
        Length, in samples of the whole data, of the shortest segment of the two training
        fits (``n`` when neither has a jump).
    """
    n = x.shape[0]
    losses = np.empty(n)
    shortest = n
    parity = (np.arange(n) // block) % 2
    for train_parity in (0, 1):
        train = np.flatnonzero(parity == train_parity)
        held = np.flatnonzero(parity != train_parity)
        fitted = fit_arrays(x[train], y[train], delta[train], p, gamma)
        predicted = predict(fitted, x[held])
        if fitted.jumps.size:
            bounds = np.concatenate(([0], fitted.jump_idx + 1, [train.size]))
            shortest = min(shortest, int(np.min(np.diff(bounds))) * n // train.size)
            # The training sample just left of each held-out one, -1 when there is none.
            left_neighbour = np.searchsorted(train, held) - 1
            gap = np.searchsorted(fitted.jump_idx, left_neighbour)
            in_gap = (gap < fitted.jump_idx.size) & (
                fitted.jump_idx[np.minimum(gap, fitted.jump_idx.size - 1)] == left_neighbour)
            if in_gap.any():
                before, after = one_sided(fitted, fitted.jumps[gap[in_gap]], x[held[in_gap]])
                predicted[in_gap] = 0.5 * (before + after)
        residual = (predicted - y[held]) / delta[held][:, None]
        r = np.sqrt(np.sum(residual**2, axis=1))
        losses[held] = np.where(r <= huber, 0.5 * r**2, huber * (r - 0.5 * huber))
    return losses, 2, shortest


def choose(
    samples: Samples,
    units: Units,
    rule: Rule,
    *,
    bandwidth_samples: Optional[float] = None,
    penalty: Optional[float] = None,
    penalty_of: Optional[Callable[[float], float]] = None,
    bar: Any = None,
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

    Returns
    -------
    Choice
    """
    m, d = samples.y.shape
    if rule.outlier_cutoff is None:
        factors = np.ones(m)
    else:
        values, deltas = noise_values(samples.y, samples.delta)
        factors = outlier_factors(values, units.noise.sigma, rule.outlier_cutoff, deltas)
    x_std, y_std = units.standardise(samples)
    delta_eff = samples.delta * factors
    column_unit = (units.noise.sigma / units.scale
                   if rule.column_noise and d > 1 and np.all(units.noise.sigma > 0.0) else None)
    fixed_penalty = penalty
    if penalty_of is not None:
        penalty = fixed_penalty = math.nan
        criterion = "given gamma"
    elif penalty is None:
        dof, lead = units.noise.dof, units.noise.leading
        penalty = rule.price(m, d, units.noise.phi, dof, lead)
        known = rule.price(m, d, units.noise.phi, math.inf, lead)
        factor = known / rule.price(m, d, 0.0, math.inf, lead)
        shared = (f"({lead:.2f} log m + d - {lead:.2f}, the noise shared by columns)"
                  if rule.column_noise and lead > 1.005 else "(log m + d - 1)")
        criterion = (f"jump priced at {rule.price_per_log_n:g} {shared} noise variances"
                     + (f" x {factor:.2f} for autocorrelation" if factor > 1.0 else "")
                     + (f" x {penalty / known:.2f} for a noise level estimated from {dof:.0f} "
                        "differences" if penalty > known * 1.005 else ""))
    else:
        criterion = "given penalty"
    if units.noise.breaks:
        criterion = (f"noise measured away from the {_counted(units.noise.breaks, 'jump')} of a "
                     "first fit at 2 samples and BIC's price; " + criterion)
    searches: list[int] = []
    lock = threading.Lock()
    raised = narrowed = 0
    if bandwidth_samples is not None:
        grid = np.array([float(bandwidth_samples)])
    else:
        grid = rule.bandwidths(m)

    def score(b: float, pen: float) -> tuple[float, float]:
        # Half the samples carry half the weight per unit x, and a jump there gains about
        # half the energy: halving lambda and the penalty makes the halves' partitions those
        # that the whole data would get.
        lam_half = units.lam_standard(b) / 2.0
        p_half = 1.0 / (1.0 + lam_half)
        losses, made, shortest = split_losses(x_std, y_std, delta_eff, p_half,
                                              p_half * pen / 2.0,
                                              rule.huber, rule.block)
        with lock:
            searches.extend([(m + 1) // 2, m // 2][:made])
            if bar is not None:
                bar.update(made)
        return float(np.mean(losses)), float(np.std(losses) / math.sqrt(max(losses.size, 1)))

    def information(b: float, pen: float) -> tuple[float, float]:
        # Smoothness and jumps on the same footing: the smoother's degrees of freedom cost
        # log N each, a jump its price, the fit is charged its residual sum of squares.
        p_std = units.p_standard(b)
        fitted = fit_arrays(x_std, y_std, delta_eff, p_std, p_std * pen)
        with lock:
            searches.append(m)
            if bar is not None:
                bar.update(1)
        residual = (predict(fitted, x_std) - y_std) / delta_eff[:, None]
        # Columns that share their noise are fewer independent values: k copies of one
        # series count as one.
        values = m * d / (units.noise.leading if rule.column_noise else 1.0)
        lengths = np.diff(np.concatenate(([0], fitted.jump_idx + 1, [m])))
        dof = d * float(np.sum(effective_dof(lengths, b)))
        if rule.selector != "ic":
            data_term = float(np.sum(residual**2))
        elif rule.column_noise:
            # Each column its own residual variance: a noisy column cannot drown the
            # residuals of a quiet one.
            per_column = np.maximum(np.sum(residual**2, axis=0), 1e-300)
            data_term = float(m * np.sum(np.log(per_column / m)))
        else:
            rss = float(np.sum(residual**2))
            data_term = values * math.log(max(rss, 1e-300) / values)
        jumps = fitted.jump_idx.size
        return data_term + math.log(values) * dof + (pen * jumps if jumps else 0.0), 0.0

    def pick(candidates: list[tuple[float, float, float, float]]) -> int:
        """Index of the best-scoring candidate (the first one wins a tie)."""
        return min(range(len(candidates)), key=lambda i: candidates[i][2])

    rows: list[tuple[float, float, float, float]] = []
    if rule.joint and grid.size > 1 and fixed_penalty is None:
        base = penalty
        for factor in sorted(rule.penalty_factors, reverse=True):
            for b in grid:
                rows.append((float(b), base * factor, *score(float(b), base * factor)))
        # First minimum wins: the largest penalty, then the smallest bandwidth.
        best = pick(rows)
        bandwidth, penalty = rows[best][0], rows[best][1]
        criterion += ", bandwidth and penalty by odd/even sample splitting"
    elif grid.size > 1:
        level = penalty
        judge = score if rule.selector == "split" else information
        levels = [penalty_of(float(b)) if penalty_of is not None else level for b in grid]
        scored = _map_in_threads(judge, [(float(b), pen) for b, pen in zip(grid, levels)],
                                 rule.threads)
        rows.extend((float(b), pen, *value) for b, pen, value in zip(grid, levels, scored))
        best = pick(rows)
        chosen = best
        if rule.selector != "split" and rule.ic_slack > 0.0:
            # Evidence repeated in columns that share their noise is no new evidence.
            lead = units.noise.leading if rule.column_noise else 1.0
            limit = rows[best][2] + rule.ic_slack * lead
            chosen = max(i for i, r in enumerate(rows) if r[2] <= limit)
        if rule.one_standard_error:
            limit = rows[best][2] + rows[best][3]
            chosen = max(i for i, r in enumerate(rows) if r[2] <= limit)
        bandwidth, penalty = rows[chosen][0], rows[chosen][1]
        criterion += (", bandwidth by odd/even sample splitting" if rule.selector == "split"
                      else ", bandwidth by an information criterion (log n per degree of "
                      "freedom)")
    else:
        bandwidth = float(grid[0])
        criterion += (", given bandwidth" if bandwidth_samples is not None
                      else ", bandwidth of one sample (too few samples to choose)")
    if fixed_penalty is None and len(rule.penalty_factors) > 1 and not rule.joint:
        base = penalty
        trial = [r for r in rows if r[0] == bandwidth and r[1] == base][:1]
        if not trial:
            trial = [(bandwidth, base, *score(bandwidth, base))]
        for factor in sorted(rule.penalty_factors):
            if factor != 1.0:
                value = (bandwidth, base * factor, *score(bandwidth, base * factor))
                rows.append(value)
                trial.append(value)
        # The largest penalty wins ties: fewer jumps unless more clearly predict better.
        trial.reverse()
        penalty = trial[pick(trial)][1]
        criterion += ", penalty by odd/even sample splitting"
    if penalty_of is not None:
        penalty = penalty_of(bandwidth)
    elif ((rule.shortest_segment > 0.0 or rule.smallest_jump > 0.0)
            and (bandwidth_samples is None or fixed_penalty is None)):
        def flaw(b: float, pen: float) -> str:
            """"short" (a segment under the shortest length), "small" (a jump under the
            smallest height) or "" for a fit without either."""
            p_std = units.p_standard(b)
            fitted = fit_arrays(x_std, y_std, delta_eff, p_std, p_std * pen)
            with lock:
                searches.append(m)
                if bar is not None:
                    bar.update(1)
            if fitted.jump_idx.size == 0:
                return ""
            lengths = np.diff(np.concatenate(([0], fitted.jump_idx + 1, [m])))
            if lengths.min() < rule.shortest_segment * b:
                return "short"
            if rule.smallest_jump > 0.0:
                # In noise standard deviations of y / delta at the samples either side (of
                # each column's own noise).
                idx = fitted.jump_idx
                local = 0.5 * (samples.delta[idx] + samples.delta[idx + 1])
                if np.min(jump_heights(fitted, column_unit) / local) < rule.smallest_jump:
                    return "small"
            return ""

        found = flaw(bandwidth, penalty)
        if found == "short":
            # Either the smoothing is too stiff to follow the curve (a smaller bandwidth keeps
            # the jumps and drops the short segments) or the jumps are spurious.
            fixed_width = bandwidth_samples is not None
            while not fixed_width and bandwidth / 2.0 >= rule.smallest_bandwidth:
                bandwidth /= 2.0
                narrowed += 1
                found = flaw(bandwidth, penalty)
                if found != "short":
                    break
            else:
                while fixed_penalty is None and raised < _MAX_RAISES:
                    penalty *= 2.0
                    raised += 1
                    found = flaw(bandwidth, penalty)
                    if found != "short":
                        break
        # A small step beside large ones (a blurred edge cut twice, a bend at a stiff
        # bandwidth) is not a level change: a dearer jump drops it and keeps the large ones.
        while found == "small" and fixed_penalty is None and raised < _MAX_RAISES:
            penalty *= 2.0
            raised += 1
            found = flaw(bandwidth, penalty)
        if raised or narrowed:
            criterion += (f", then {_counted(narrowed, 'halving')} of the bandwidth and "
                          f"{_counted(raised, 'doubling')} of the penalty to leave no segment "
                          f"shorter than {_counted(rule.shortest_segment, 'bandwidth')}"
                          + (f" and no jump smaller than {rule.smallest_jump:g} noise standard "
                             "deviations" if rule.smallest_jump > 0.0 else ""))
    if not any(r[0] == bandwidth and r[1] == penalty for r in rows):
        # The final pair gets its own score, so that the Selection reports one.
        rows.append((bandwidth, penalty, *(information(bandwidth, penalty)
                                           if rule.selector != "split" else (math.nan, math.nan))))
    table = np.array(rows, dtype=[("bandwidth_samples", np.float64), ("penalty", np.float64),
                                  ("score", np.float64), ("standard_error", np.float64)])
    return Choice(bandwidth, float(penalty), criterion, table, factors, searches)


@dataclass(frozen=True)
class Turned(_search.Rule):
    """The package's constants as settings (Turned() is the package's method), and the
    switches it no longer has."""

    ic_slack: float = _search.Rule.ic_slack
    smallest_jump: float = _search.Rule.smallest_jump
    half_octaves_below: int = _search.Rule.half_octaves_below
    local_window: float = _search.Rule.local_window
    finest_follow: float = _search.Rule.finest_follow
    noise_reference_dof: float = _search.Rule.noise_reference_dof
    # Bandwidths counted in the spacing of the sites away from their gaps (False: in mean
    # spacings, gaps included).
    spacing_without_gaps: bool = True
    # The check that a finer curve follows a jump's surroundings as well.
    local_check: bool = True


class TurnedFits(ChoiceFits):
    """The package's fits of one choice under a `Turned` rule."""

    def __init__(self, samples: Samples, units: Units, rule: Turned, bar: Any = None) -> None:
        super().__init__(samples, units, rule, bar)
        if not rule.spacing_without_gaps:
            self.gaps, self.stretch = 0, 1.0

    def finer_curve(self, b: float, pen: float, grid: NDArray[np.float64]) -> float:
        return super().finer_curve(b, pen, grid) if self.rule.local_check else 0.0


def choose_turned(samples: Samples, units: Units, rule: Turned, bar: Any = None) -> Choice:
    """The package's choice under `rule`."""
    return choose_with(TurnedFits(samples, units, rule, bar))
