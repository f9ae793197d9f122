"""vorn.select: choose the smoothing and the jump penalty, and fit with them."""

from __future__ import annotations

import math
import numbers
from dataclasses import replace
from functools import cached_property
from statistics import NormalDist
from typing import Any, Callable, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._checks import check_gamma, check_p, check_pruning
from ._constant_choice import (BASE, PER_LOG_LOG, ConstantPrice, adequate, leaves_as_little,
                               level_between_jumps, price_of, residual_correlation,
                               residual_phi, spread_change, step_over_curve)
from ._cv import Candidates, select_by_cv
from ._fit import Fit
from ._local_noise import LocalNoise, local_noise
from ._memory import return_freed_memory
from ._noise import noise_values, outlier_factors, smooth_runs
from ._problem import FinalFit, Problem
from ._progress import progress_bar
from ._scoring import effective_dof, fit_arrays
from ._search import Choice, Rule, _counted, choose
from ._selection import PathMaker, Selection
from ._sites import NUMBERS
from ._split_null import jump_odds
from ._units import Samples, Units, positive_number

__all__ = ["select", "select_problem"]

METHODS = ("priced", "cv")
SEGMENTS = ("smooth", "constant")
# One search of the engine costs about 5 microseconds per sample on the reference machine
# (measured 0.7 s at n = 100,000 and a bandwidth of 16 samples, less for smaller ones); the bar
# appears when a choice is expected to take longer than a few seconds.
_SECONDS_PER_SAMPLE = 5e-6


def _int_argument(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    return int(value)


def select(
    x: Optional[ArrayLike],
    y: ArrayLike,
    *,
    delta: Optional[ArrayLike] = None,
    method: str = "priced",
    bandwidth: Optional[float] = None,
    bandwidth_samples: Optional[float] = None,
    penalty: Optional[float] = None,
    p: Candidates = None,
    gamma: Candidates = None,
    progress: Optional[bool] = None,
    folds: Optional[int] = None,
    seed: int = 0,
    n_jobs: int = 1,
    scoring: str = "gap-aware",
    pruning: str = "DOMINANCE",
    segments: str = "smooth",
) -> Selection:
    """Choose the smoothing and the jump penalty, and fit with them.

    The default method ("priced") measures the noise from second differences (robust to
    jumps, trends and outliers, and estimating a lag-one autocorrelation phi), then again
    without the differences across the jumps of a generous first fit (2 samples, BIC's price).
    Several columns (unless `gamma` is given) are each measured in their own noise level
    (the fit's ``column_scale``), so that a noisy column does not drown a jump in a quiet one.
    Where the noise level changes along x and no `delta` is given (a constant-segment fit of
    the log median square of second differences in blocks of 8, :mod:`._local_noise`), each
    sample's standard deviation becomes its stretch's level over the quietest stretch's, for
    the choice and the fit, so a noisier stretch is not read as level shifts. It then widens
    the standard deviation of wild samples and prices a jump at
    ``3.5 * (L log m + d - L)`` noise variances (times ``(1 + phi) / (1 - phi)``) for m
    samples and d columns, L the largest eigenvalue of the noise covariance across columns
    over the mean variance (1 for one column or independent ones, k for k copies), raised by
    Student's t odds when the noise comes from fewer than 50 differences. It fits every
    bandwidth of a grid (1 to twice the number of samples, a nearly straight line, and
    sqrt(2) apart, for up to 5,000 samples; doubling beyond, to at most 128 samples;
    samples counted at the spacing of the sites away from gaps of over 20 median spacings) at
    that price and scores each fit by the information criterion
    ``sum of m log(RSS_j / m) + log(N) * edf + price * jumps`` (RSS_j the weighted residual
    sum of squares of column j, N = m d / L values, edf the spline's effective degrees of
    freedom summed over segments and columns); the smoothest bandwidth within 2 L of the best
    score wins. A final check halves the bandwidth while a segment is shorter than one
    bandwidth and doubles the price while a jump is smaller than 2 noise standard deviations.
    When the choice ends at a bandwidth of at most 4 samples (the curve follows every step
    without cutting it) on 150 samples or more and the constant levels of
    ``segments="constant"`` leave no more than the noise leaves with fewer parameters and
    residuals no more correlated than independent noise leaves (a short curve or autocorrelated
    noise cut into levels leaves runs of one sign), those levels are the answer (``segments``
    of the Selection says which). On 50 to 149 samples, where that test has little power, they
    must also beat the curve by more than 3.09 standard errors (as below; fewer parameters do
    not keep the curve) and pass the tests of spread, segments and bends below; from 150 on, a
    curve with fewer parameters that leaves what the noise leaves gives way only to levels
    that pass those tests too, with up to a quarter of their jumps bends. So they are
    when the choice ends over 4 samples with jumps, under one noise level along x, and the
    constant levels keep each of its jumps and add others, each of which splits its two
    segments beyond what noise does (odds of at most 0.1 % shared over the curve's segments,
    an upper bound on the largest split of normal noise) and is no bend a parabola through
    both segments matches, with segments flat to a parabola, and beat the curve over the
    series by more than 1 standard error (as below; a step cut into a curved trend splits
    its segments beyond noise too), or, with fewer parameters than the curve, do not fall
    behind it by more than 2.326 while each jump they add saves over a parabola through its
    two segments more than chi-square(1)'s 1 % point (small steps among large ones, which the
    wide curve bent to follow). And they are when, on 150 samples or more (where the noise
    level changes along x, only if their residuals have one spread), they leave less
    than the smooth fit by more than 2.326 standard errors beyond what its extra parameters
    take, over the series or (that 1 % shared among them) beside one of their jumps it lacks
    (steps the smooth curve rounded or missed), with independent residuals of one spread,
    segments flat to a parabola, and at most a tenth of their jumps matched by a parabola
    through the two segments beside it (levels laid over a ramp or a bend); on 50 to 149
    samples the same when the smooth choice is wider than 12 samples or has a jump, and the
    levels keep every jump at their price raised by the long-run factor of their residuals'
    own lag-one correlation (stairs taken for a ramp, not AR(1) wandering). In these two
    cases a curve with fewer parameters that leaves what the noise leaves keeps its place
    unless the levels beat it by more than 8 standard errors; it leaves what the noise leaves
    only if it does so by the levels' residual variance too (the 1 % point of the ratio of
    the two residual variances). Otherwise, when
    the smooth choice's curve beats straight lines between its jumps by more than 2.326
    standard errors, its bandwidth is re-chosen among the grid's narrower fits with the same
    jumps by generalised cross-validation, ``N RSS / (N - 1.4 rho (edf + jumps))**2`` (rho the
    long-run factor), and the curve refitted there.
    No random folds are drawn: the answer does not depend on a seed. It makes one partition
    search of m samples per bandwidth (in two threads), one or a few for the check, and one for
    the fit.

    Parameters
    ----------
    x, y, delta : array_like
        As for :func:`vorn.fit`.
    method : {"priced", "cv"}
        "cv" is K-fold cross-validation over a grid of (p, gamma) with `folds`, `seed`,
        `n_jobs` and `scoring`; those four arguments are ignored by "priced".
    bandwidth : float or timedelta, optional
        Fix the smoothing bandwidth, in units of x (a timedelta for datetime sites).
    bandwidth_samples : float, optional
        Fix the smoothing bandwidth, in mean sample spacings.
    penalty : float, optional
        Fix the jump penalty, in noise variances (``inf`` forbids jumps).
    p, gamma : float or sequence of float, optional
        Fix p or gamma directly. With ``method="cv"`` a sequence gives the candidates; with
        the default method a fixed gamma (0 makes jumps free, ``inf`` forbids them) is kept
        exactly and only the smoothing is chosen.
    progress : bool or None
        Show a progress bar (tqdm, ``pip install 'vorn[progress]'``): True always, False
        never, None (default) when the choice is expected to take more than a few seconds
        and tqdm is installed. It switches itself off when the output is not a terminal.
    folds, seed, n_jobs, scoring
        Cross-validation only (``method="cv"``): number of folds (default 10), seed of the
        fold assignment, worker processes (-1: every CPU) and the scoring of held-out samples
        ("gap-aware" or "core", see :func:`cv_score`). A `folds` given with the default
        method is still checked against the number of samples.
    pruning : {"DOMINANCE", "PELT", "FPVI"}
        Pruning of the final fit's search (as for :func:`vorn.fit`); the choice itself always
        uses DOMINANCE, which finds the same optimum.
    segments : {"smooth", "constant"}
        What lies between jumps. "smooth" (the default): smoothing splines, as above.
        "constant": levels, for signals known to be steps (sensor steps, telegraph signals,
        staircases). A jump then costs ``8 + 3 log log m`` noise variances (the 1 % point of
        the largest saving of one split of pure noise; the same factors for autocorrelation,
        Student's odds and shared columns), the noise measured again between the jumps of a
        generous constant fit; the fit is :func:`vorn.fit` with ``segments="constant"``. It
        takes no `bandwidth`, `bandwidth_samples` or `p`; `penalty` or `gamma` fix the price.
        A smooth trend becomes a staircase: use it only when the levels are flat.

    Returns
    -------
    Selection
        The chosen p and gamma, the same in natural units, the noise estimate, the criterion
        that chose them, the table of scores, the penalty path and the fit.

    Raises
    ------
    ValueError
        For bad data (as :func:`vorn.fit`) or bad arguments.
    TypeError
        For arguments of the wrong type.
    ImportError
        If `progress` is True and tqdm is missing.

    Notes
    -----
    Distrust the choice when the noise is correlated over many samples (long memory, a random
    walk, bursts of volatility: the wandering may be read as jumps), on strongly seasonal
    series (the short bandwidth the season needs also follows a level shift, which then is
    not worth a jump), on constant steps shorter than about 20 samples (a short bandwidth
    follows them; if the signal is known to be steps, ask for ``segments="constant"``), on
    small jumps among large ones (11 jumps of 1 to 6 noise sd: the right count in about 90 %
    of series, a change-point search at BIC's price 95 %) and on a handful of samples.
    ``Selection.explain()``,
    ``Selection.path`` and ``Selection.plot()`` show what the choice rests on;
    ``bandwidth=`` and ``penalty=`` override either half of it. bench/select/RESULTS.md has
    the measurements behind the method, on synthetic and real-like annotated series.

    Examples
    --------
    >>> from vorn import datasets, select
    >>> x, y, true_jumps = datasets.heavisine(n=200, noise=0.2, seed=1)
    >>> s = select(x, y)
    >>> s.fit.jumps.round(2)
    array([0.3 , 0.72])
    """
    # The default method chooses in standardised units: values and spacings of any size.
    problem = Problem.of(x, y, delta, check_energies=method == "cv")
    return select_problem(problem, method=method, bandwidth=bandwidth,
                          bandwidth_samples=bandwidth_samples, penalty=penalty, p=p, gamma=gamma,
                          progress=progress, folds=folds, seed=seed, n_jobs=n_jobs,
                          scoring=scoring, pruning=pruning, segments=segments)


def select_problem(
    problem: Problem,
    *,
    method: str = "priced",
    bandwidth: Optional[float] = None,
    bandwidth_samples: Optional[float] = None,
    penalty: Optional[float] = None,
    p: Candidates = None,
    gamma: Candidates = None,
    progress: Optional[bool] = None,
    folds: Optional[int] = None,
    seed: int = 0,
    n_jobs: int = 1,
    scoring: str = "gap-aware",
    pruning: str = "DOMINANCE",
    segments: str = "smooth",
    precondition: str = "none",
) -> Selection:
    """:func:`select` on checked data; the final fit (of smooth segments) is made with
    `precondition`."""
    prepared = problem.prepared
    pruning = check_pruning(pruning)
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be 'priced' or 'cv', got {method!r}")
    checked_folds = None if folds is None else _int_argument("folds", folds)
    seed = _int_argument("seed", seed)
    n_jobs = _int_argument("n_jobs", n_jobs)
    if not isinstance(segments, str) or segments not in SEGMENTS:
        raise ValueError(f"segments must be 'smooth' or 'constant', got {segments!r}")
    if segments == "constant":
        if method != "priced":
            raise ValueError("segments='constant' needs method='priced'")
        if bandwidth is not None or bandwidth_samples is not None or p is not None:
            raise ValueError("segments='constant' takes no bandwidth, bandwidth_samples or p")
    if scoring not in ("gap-aware", "core"):
        raise ValueError(f"scoring must be 'gap-aware' or 'core', got {scoring!r}")
    if n_jobs == 0 or n_jobs < -1:
        raise ValueError(f"n_jobs must be a positive number of processes or -1, got {n_jobs}")
    if bandwidth is not None and bandwidth_samples is not None:
        raise ValueError("give bandwidth or bandwidth_samples, not both")
    count = int(np.count_nonzero(np.all(np.isfinite(prepared.y), axis=1)))
    folds = 10 if checked_folds is None else checked_folds
    if (method == "cv" or checked_folds is not None) and not 2 <= folds <= count:
        raise ValueError(
            f"folds must lie between 2 and the number of samples ({count}), got {folds}")
    if method == "cv":
        if bandwidth is not None or bandwidth_samples is not None or penalty is not None:
            raise ValueError("bandwidth, bandwidth_samples and penalty need method='priced'")
        return select_by_cv(problem, folds, seed, p, gamma, progress, n_jobs, scoring, pruning,
                            precondition)
    units = problem.units
    b_fixed: Optional[float] = None
    if bandwidth is not None:
        b_fixed = positive_number("bandwidth", prepared.sites.length(bandwidth)) / units.spacing
    elif bandwidth_samples is not None:
        b_fixed = positive_number("bandwidth_samples", bandwidth_samples)
    pen_fixed = None if penalty is None else positive_number("penalty", penalty, allow_inf=True)
    p_exact: Optional[float] = None
    if p is not None:
        if b_fixed is not None:
            raise ValueError("give p or a bandwidth, not both")
        p_exact = check_p(_one_number("p", p))
        b_fixed = units.bandwidth_samples(p_exact)
    gamma_exact: Optional[float] = None
    if gamma is not None:
        if pen_fixed is not None:
            raise ValueError("give gamma or penalty, not both")
        gamma_exact = check_gamma(_one_number("gamma", gamma))
    if segments == "constant":
        return select_constant(problem, pen_fixed, gamma_exact)
    return select_priced(problem, b_fixed, pen_fixed, progress, p_exact, gamma_exact, pruning,
                         precondition)


def _one_number(name: str, value: Any) -> float:
    """A number (or a 0-d array) given for p or gamma with the default method."""
    if isinstance(value, np.ndarray) and value.ndim == 0:
        value = value[()]
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number with method='priced'; "
                         "candidate sequences need method='cv'")
    return float(value)


def select_priced(problem: Problem, b_fixed: Optional[float], pen_fixed: Optional[float],
                  progress: Optional[bool], p_exact: Optional[float] = None,
                  gamma_exact: Optional[float] = None, pruning: str = "DOMINANCE",
                  precondition: str = "none") -> Selection:
    """The default method, in the steps :func:`select` describes."""
    caller = problem
    own = problem = in_own_units(problem) if gamma_exact is None else problem
    # A noise level that changes along x, only when both halves are chosen (a given penalty or
    # gamma is in units of one level) and the caller gave no deviations: they already say how
    # the noise changes, and the differences of y / delta read a level times the spread of
    # 1 / delta as noise.
    local = None
    if b_fixed is None and pen_fixed is None and p_exact is None and gamma_exact is None \
            and problem.prepared.delta is None:
        local = local_noise(problem.samples)
    if local is not None:
        problem = problem.with_row_factors(local.factors)
    units, m = problem.units, problem.samples.x.shape[0]
    grid = Rule().bandwidths(m).size
    bar = progress_bar(progress, desc="vorn.select", unit="search",
                       total=(grid if b_fixed is None else 0) + 1,
                       expected_seconds=(grid + 2.0) * m * _SECONDS_PER_SAMPLE)
    try:
        # A gamma given by the caller is a penalty in noise variances that depends on the
        # bandwidth (gamma = p * penalty * s**2).
        penalty_of = None if gamma_exact is None else (
            lambda b: units.penalty(units.p(b), gamma_exact))
        default = b_fixed is None and pen_fixed is None and p_exact is None and gamma_exact is None
        selected = SelectedFits(problem, caller, pruning, precondition)
        choice = choose(problem.samples, units, bandwidth_samples=b_fixed, penalty=pen_fixed,
                        penalty_of=penalty_of, bar=bar, fit_of=selected if default else None)
        # The grid's fits are gone; their heap would otherwise stay under the final fit's.
        return_freed_memory()
        final = selected.last_at(choice.bandwidth_samples, choice.penalty, choice.factors)
        if final is None:
            final = problem.fit_chosen(choice.bandwidth_samples, choice.penalty, choice.factors,
                                       caller.prepared.delta, p_exact=p_exact,
                                       gamma_exact=gamma_exact, pruning=pruning,
                                       precondition=precondition)
        del selected
        if bar is not None:
            bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    smooth = selection_of(problem, choice, final, local)
    if b_fixed is None and pen_fixed is None and p_exact is None and gamma_exact is None:
        # The constant model is the call's largest step: only the smooth Selection stays
        # (and what a narrower curve needs, when it may take the smooth one's place).
        del final
        narrower = choice.curve_bandwidth is not None
        if not narrower:
            del choice, problem
        return_freed_memory()
        steps = steps_if_simpler(own, smooth, noise_changes=local is not None)
        if steps is not None:
            return steps
        if narrower:
            # Its fit goes before the narrower one is made.
            searches = smooth.searches
            del smooth
            return_freed_memory()
            return narrower_curve(caller, problem, choice, searches, local)
    return smooth


class SelectedFits:
    """The fits a Selection of `problem` (the caller's data, `caller`, or with the local noise
    level as deviations) holds at a bandwidth (samples), a penalty (noise variances) and the
    outlier factors, their jumps measured as the Selection's are; the last one kept for the
    Selection itself."""

    def __init__(self, problem: Problem, caller: Problem, pruning: str = "DOMINANCE",
                 precondition: str = "none") -> None:
        self.problem, self.caller = problem, caller
        self.pruning, self.precondition = pruning, precondition
        self.last: Optional[tuple[float, float, NDArray[np.float64], FinalFit]] = None
        self._standard: Optional[Problem] = None

    def __call__(self, b: float, pen: float, factors: NDArray[np.float64],
                 standard: bool = False) -> Fit:
        """The fit; with `standard`, made on the samples in standardised units (sites in
        spacings from the first, values in noise standard deviations), which are the same
        whatever the units of x and y: in the caller's, a narrow curve's p may round to 1
        and its fit then has no jump evidence (:attr:`Fit.frame`)."""
        self.last = None
        if standard:
            if self._standard is None:
                self._standard = _standardised(self.problem)
            fit = self._standard.fit_chosen(b, pen, factors, None, pruning=self.pruning,
                                            precondition=self.precondition).fit
            fit._jump_noise_estimated = True
            return fit
        final = self.problem.fit_chosen(b, pen, factors, self.caller.prepared.delta,
                                        pruning=self.pruning, precondition=self.precondition)
        # In the noise estimated from the samples: the deviations only widen outliers.
        final.fit._jump_noise_estimated = True
        self.last = (b, pen, factors, final)
        return final.fit

    def last_at(self, b: float, pen: float, factors: NDArray[np.float64]) -> Optional[FinalFit]:
        """The last fit made, if it was made at these arguments."""
        last = self.last
        if last is None or last[:2] != (b, pen) or not np.array_equal(last[2], factors):
            return None
        return last[3]


def _standardised(problem: Problem) -> Problem:
    """`problem`'s rows and prepared samples in its standardised units (sites in spacings
    from the first, values in noise standard deviations, plain numbers), without preparing
    them again."""
    rows, samples, units = problem.prepared, problem.samples, problem.units
    x, y = units.standardise(samples)
    standard_rows = rows._replace(x=(problem.row_sites - units.origin) / units.spacing,
                                  y=rows.y / units.scale, sites=NUMBERS)
    return Problem(standard_rows, Samples(x, y, samples.delta, samples.site_of_row,
                                          samples.weight))


def narrower_curve(caller: Problem, problem: Problem, choice: Choice, searches: list[int],
                   local: Optional[LocalNoise]) -> Selection:
    """The smooth choice (whose searches were `searches`) refitted at the narrower
    bandwidth that cross-validation prefers for its curve between the chosen jumps
    (:func:`._search.curve_bandwidth`), at the same penalty; at the chosen pair again should
    the refit's jumps differ from those (the grid's fit at that bandwidth had them)."""
    b = choice.curve_bandwidth
    settled = ("no jump, so" if choice.curve_jumps is None or not choice.curve_jumps.size
               else "the jumps settled,")
    narrower = replace(choice, bandwidth_samples=b, criterion=(
        f"{choice.criterion}; {settled} the curve's bandwidth then by generalised "
        f"cross-validation, {b:.3g} samples (from {choice.bandwidth_samples:.3g})"))
    final = problem.fit_chosen(b, choice.penalty, choice.factors, caller.prepared.delta)
    if not np.array_equal(final.fit.jump_indices, choice.curve_jumps):
        narrower = choice
        final = problem.fit_chosen(choice.bandwidth_samples, choice.penalty, choice.factors,
                                   caller.prepared.delta)
    curve = selection_of(problem, narrower, final, local)
    if narrower is not choice and not math.isfinite(curve.score):
        # A jump-free row of the grid at a penalty below a raised one: the same fit, the same
        # score.
        rows = choice.table
        at = np.flatnonzero((rows["bandwidth_samples"] == b) & (rows["penalty"] <= choice.penalty))
        curve.score = float(rows["score"][at[-1]])
    curve.searches = searches + [problem.samples.x.shape[0]]
    return curve


def selection_of(problem: Problem, choice: Choice, final: FinalFit,
                 local: Optional[LocalNoise]) -> Selection:
    """The Selection of the default method."""
    units, samples = problem.units, problem.samples
    b, pen = choice.bandwidth_samples, choice.penalty
    best = np.flatnonzero((choice.table["bandwidth_samples"] == b)
                          & (choice.table["penalty"] == pen))
    criterion = _noting_own_units(problem, choice.criterion)
    if local is not None:
        criterion = (f"the noise level changes {_counted(local.changes, 'time')} along x (up to "
                     f"{float(local.factors.max()):.3g} times the quietest stretch's, whose sd "
                     "is the noise below), each sample's deviation in every fit; " + criterion)
    return Selection(
        p=final.p,
        gamma=final.gamma,
        score=float(choice.table["score"][best[0]]) if best.size else math.nan,
        table=choice.table,
        fit=final.fit,
        folds=None,
        seed=None,
        scoring="information criterion",
        method="priced",
        criterion=criterion,
        noise=units.scale,
        phi=units.noise.phi,
        bandwidth=b * units.spacing,
        bandwidth_samples=b,
        penalty=pen,
        downweighted=np.flatnonzero(final.row_factor > 1.0),
        searches=choice.searches + [samples.x.shape[0]],
        note=final.note,
        arguments=final.arguments,
        _path_maker=PathMaker(samples.x, samples.y, samples.delta * choice.factors,
                              units.p_standard(b), final.p * units.scale * units.scale, pen,
                              frame=(units.origin, units.spacing, units.scale)),
    )


def select_constant(problem: Problem, pen_fixed: Optional[float],
                    gamma_exact: Optional[float]) -> Selection:
    """:func:`select` with constant segments (:mod:`._constant_choice` has the rule)."""
    return _constant_selection(problem, pen_fixed, gamma_exact)[0]


_Levels = tuple[Selection, Problem, Units, NDArray[np.float64], ConstantPrice]
# BIC's price of a jump, in log m noise variances.
_BIC_PER_LOG = 2.0


def _lowered_to(per_log: float, m: int) -> float:
    """The factor that takes the calibrated price of a constant jump on m samples to `per_log`
    log m noise variances, or 1 where that is no lower."""
    return min(1.0, per_log * math.log(m) / (BASE + PER_LOG_LOG * math.log(math.log(m))))


def _constant_selection(problem: Problem, pen_fixed: Optional[float],
                        gamma_exact: Optional[float], per_log: float = 0.0,
                        price: Optional[ConstantPrice] = None) -> _Levels:
    """The constant Selection, and the problem (in its own units), the units (the noise
    measured between constant jumps), the outlier factors and the price it rests on. With
    `per_log` the price is at most `per_log` log m noise variances instead of the calibrated
    ``BASE + PER_LOG_LOG log log m``, with the same factors; `price`, that of an earlier call
    on the same problem, spares measuring the noise again."""
    if gamma_exact is None:
        problem = in_own_units(problem)
    samples = problem.samples
    m = samples.y.shape[0]
    values, deltas = noise_values(samples.y, samples.delta)
    factors = outlier_factors(values, problem.units.noise.sigma, Rule().outlier_cutoff, deltas)
    chosen = price_of(samples, problem.units, factors) if price is None else price
    units = chosen.units
    scale = units.scale
    if gamma_exact is not None:
        gamma_raw = gamma_exact
        pen = gamma_raw / scale / scale
        criterion = "given gamma"
    else:
        pen = chosen.penalty if pen_fixed is None else pen_fixed
        criterion = chosen.why if pen_fixed is None else "given penalty"
        lowered = _lowered_to(per_log, m) if pen_fixed is None and per_log > 0.0 and m > 2 else 1.0
        if lowered < 1.0:
            pen *= lowered
            criterion += f", x {lowered:.2f} for BIC's {per_log:g} log m"
        try:
            gamma_raw = pen * scale * scale
        except OverflowError:
            gamma_raw = math.inf
    final = problem.fit_levels(units, pen, gamma_raw, factors,
                               gamma_given=gamma_exact is not None)
    table = np.array([(pen, gamma_raw, int(final.fit.jump_indices.size))],
                     dtype=[("penalty", np.float64), ("gamma", np.float64), ("jumps", np.int64)])
    return Selection(
        p=math.nan,
        gamma=gamma_raw,
        score=math.nan,
        table=table,
        fit=final.fit,
        scoring="information criterion",
        method="priced",
        criterion=_noting_own_units(problem, criterion),
        noise=scale,
        phi=units.noise.phi,
        bandwidth=math.nan,
        bandwidth_samples=math.nan,
        penalty=pen,
        downweighted=np.flatnonzero(final.row_factor > 1.0),
        searches=[m] * chosen.searches + [m],
        arguments=final.arguments,
        segments="constant",
        note=final.note,
        _path_maker=PathMaker(samples.x, samples.y, samples.delta * factors, 1.0, scale * scale,
                              pen, segments="constant",
                              frame=(units.origin, units.spacing, units.scale)),
    ), problem, units, factors, chosen


# When constant levels take the smooth choice's place (:func:`steps_if_simpler`). Every bound
# below was measured on seeded corpora (bench/select/RESULTS.md); the rule with the switches
# its rejected candidates turned is bench/select/levels_variants.py.
#
# First case: a smooth choice at most this wide (samples) follows steps without cutting them.
_FOLLOWS = 4.0
# From this many samples on, the lag-one test of the levels' residuals alone guards the first
# case: it has power 0.9 against a correlation of 0.3 left in the residuals (0.3 sqrt(pairs)
# >= 2.326 + 1.282 needs 145 pairs). On fewer, a narrow choice follows short curves and AR(1)
# noise as well as steps, and levels laid over those gave jump-free series jumps (AR(1) 0.3 on
# 50 samples: 8 % without the levels, 16 % with them and the test, 21 % without the test), so
# there the levels also pass the third case's guards.
_FEWEST = 150
# Neither the first case nor the third on fewer samples than this.
_SHORT_FEWEST = 50
# The one-sided 1 % point, the adequacy band's: the most the levels' residuals may be
# correlated at lag one beyond independent noise (:func:`residual_correlation`; at the 5 %
# point 4 of 100 series of dense steps lost their levels) or change spread between segments
# (:func:`spread_change`: where the local noise check missed a noise level that doubles,
# levels at one noise level cut the noisier stretch into steps), and the least by which they
# beat a wider smooth fit (:func:`levels_beat`).
_ONE_PERCENT = 2.326
# The one-sided 0.1 % point: the least by which levels beat a curve that follows every step,
# on a short series (at 2.326, 14 more of 3,000 jump-free series on 50 to 120 samples got a
# jump than without the case, at 3.09 9) or with fewer parameters than the levels (a curve 2
# samples wide through teeth of 10). Also the most a wider smooth fit's residuals may be more
# correlated at lag one than the levels' and keep its claim to fewer parameters: a curve
# through steps it cannot follow leaves runs of one sign (of 1,693 such claims on jump-free
# series none went past this point and 1 past the 1 % point, a bump on a slope that then
# lost its curve to levels; bench/select/smooth_runs.py).
_ONE_PER_MILLE = 3.09
# The most of the levels' jumps that may be bends, jumps where a parabola through the two
# segments leaves no more than the two levels (:func:`step_over_curve`). Levels laid over a
# gentle ramp or a bend pass the level test segment by segment (a slope of 1 sd over a segment
# is no evidence) but not across the jump: ramps with kinks lost 11 of 100 exact counts
# without it; and a short curve or the wandering of AR(1) noise cut into levels leaves jumps
# a parabola matches (AR(1) 0.5 under a sine on 100 samples: 6 of 300 series without it, 2
# with it). Past a smooth fit's claim to fewer parameters a quarter: a true step of 2.5 sd
# between segments of 10 samples reads as a bend in 11 % of cases, so a tenth of 19 teeth
# turns 64 % of such series away and a quarter 5 %.
_BENDS_SHARE = 0.1
_PAST_PARSIMONY_BENDS = 0.25
# The polynomial the levels' segments must be flat to, and that a bend's two segments follow.
_PARABOLA = 2
# Third case on fewer than `_FEWEST` samples: only a smooth choice wider than this (samples)
# or with a jump of its own. Every jump-free series the third case cut into levels on 60 to
# 130 samples was AR(1) noise under a curve 5.7 to 11.3 samples wide (11 of 3,200); stairs of
# 10 samples on 100 to 200: exact 0.47 -> 0.70 of 40.
_SHORT_MISFIT_FINEST = 12.0
# In the second and third cases, levels that beat a smooth fit with fewer parameters by more
# than this many standard errors take its place all the same. Its claim rests on the adequacy
# band, which the noise estimate's own spread widens; the paired comparison does not: blocks
# of 0.8 to 2 sd whose small jumps the check after the grid dropped leave the curve 9 to 12
# standard errors behind the levels (blocks 0.80 -> 0.88 of 40; at 6 a bump on a slope got a
# jump in 2 more of 140, at 4 a gap too).
_WIDE_PAST_PARSIMONY_BY = 8.0
# Second case (small steps among large ones): the odds that noise splits the segments beside
# an added jump as well, at most this share over the places it could take (Bonferroni: at
# most this share of such choices on steps the smooth fit has all of get a jump noise made).
# 1 % gained as much on the bench but let a 1-in-350 false jump through on a seeded step with
# deltas. Mixed steps exact 0.69 -> 0.76, small among large 0.83 -> 0.90 of 100.
_SPLIT_ODDS = 0.001
# There the levels must also beat the smooth fit over the whole series by more than this many
# standard errors: the split evidence is against noise, not against a trend, and between the
# jumps of blocks on a curved trend a step cut into the curve splits its segments beyond noise
# too (blocks on a trend, 200 samples: exact 38 of 40 before the second case, 33 with the
# split evidence alone, 37 with this at 1) ...
_SPLIT_BEAT = 1.0
# ... or, with fewer parameters than a smooth fit with jumps, not fall behind it by more than
# `_ONE_PERCENT`, each added jump saving over a parabola through its two segments more than
# chi-square(1)'s 1 % point (noise variances): a jump cut into a curved trend between real ones
# saves about what the parabola does (1.2 to 6.1 on blocks on a trend), a short step the curve
# bent through far more (9.6 to 36).
_STEP_GAIN = 6.635
# The first case on `_FEWEST` samples or more looks once more at BIC's price: levels fitted at
# 2 log m noise variances take the calibrated levels' place when they keep every one of their
# jumps, each jump they add splits its two segments beyond noise with odds of at most this
# share over the calibrated levels' segments (:func:`jump_odds`), and they pass the first
# case's tests keeping every jump at the price of their residuals' own autocorrelation. The
# calibrated price bounds the chance that noise gets a first jump; a tooth it dropped (a run
# of alternating teeth pays about 16 noise variances a jump, the calibrated price is 13 on 200
# samples) then stands on its own evidence. Teeth of 10 samples on 200: exact 0.38 -> 0.47 of
# 40; the 3,000 jump-free series on 150 to 300 samples as before. On 50 to 149 samples the
# levels are fitted at BIC's price outright, and keep every jump at that price raised for their
# own residuals' autocorrelation (at BIC's price alone 13 more and 1 fewer of 1,600 AR(1)
# series on 60 to 140 samples got a jump, with the raise 3 more and 1 fewer; teeth of 10
# samples on 100 to 149: exact 0.27 -> 0.34 of 100).
_BIC_ODDS = 0.01
# A jump of the constant model stands for one of the smooth choice this close (samples).
_SAME_JUMP = 2


def _nearest(points: NDArray[np.int64], among: NDArray[np.int64]
             ) -> tuple[NDArray[np.int64], NDArray[np.intp]]:
    """The distance from each of `points` to the nearest of `among` (sorted, not empty), and
    that one's index in `among` (the lower on a tie)."""
    at = np.searchsorted(among, points)
    lower, upper = np.maximum(at - 1, 0), np.minimum(at, among.size - 1)
    below, above = np.abs(points - among[lower]), np.abs(among[upper] - points)
    return np.minimum(below, above), np.where(below <= above, lower, upper)


def keeps_and_adds(smooth_jumps: NDArray[np.int64], step_jumps: NDArray[np.int64], m: int,
                   shortest: float = 0.0, tolerance: int = _SAME_JUMP
                   ) -> Optional[NDArray[np.bool_]]:
    """Whether `step_jumps` (of m samples) hold a jump within `tolerance` samples of each of
    `smooth_jumps` (at least one) and more jumps besides, each added one between segments of
    at least `shortest` samples: the smooth choice found level changes, and the constant model
    finds those and others that the smooth curve bent to follow. A segment shorter than the
    smooth choice's bandwidth is one that curve could not follow, no evidence that it bent.
    The flags of the added jumps among `step_jumps` when so, else None."""
    if smooth_jumps.size == 0 or step_jumps.size <= smooth_jumps.size:
        return None
    distance, nearest = _nearest(smooth_jumps, step_jumps)
    if not np.all(distance <= tolerance):
        return None
    kept = np.zeros(step_jumps.size, dtype=bool)
    kept[nearest] = True
    lengths = np.diff(np.concatenate(([-1], step_jumps, [m - 1])))
    beside = np.minimum(lengths[:-1], lengths[1:])
    return ~kept if np.all(beside[~kept] >= shortest) else None


def levels_beat(rss_s: float, par_s: float, rss_c: float, par_c: float, apart: float,
                across_columns: float = 1.0) -> float:
    """By how many standard errors constant levels (residual sum of squares `rss_c` in noise
    variances, `par_c` parameters) leave less than a smooth fit (`rss_s`, `par_s`) beyond
    chance. Where both follow the signal each leaves the values less its parameters, so the
    smooth fit, with more parameters, is expected to leave par_s - par_c less than the levels;
    what it leaves beyond that is signal it missed. The difference of the two residuals is
    then nearly a quadratic form in the noise, e'(C - S)e for the hat matrices S and C, of
    variance 2 tr((S - C)^2). Its estimate is `apart`, the squared distance between the two
    fitted curves in noise variances (of mean tr((S - C)^2), more where they differ in signal),
    at least |par_s - par_c| (as for two projections). The bound tr S + tr C is far too wide
    where the two fits share most of their shape (it cost mixed steps 6 of 100 exact counts and
    a bump on a slope 2 false jumps; bench/select/RESULTS.md). Noise shared by several
    columns moves their quadratic forms together: the variance grows by `across_columns`
    (:attr:`._noise.NoiseEstimate.across_columns`; 8 columns of noise correlated at 0.99 got
    levels that beat a line by 9 standard errors counted as independent)."""
    spread = max(apart, abs(par_s - par_c), 1.0) * across_columns
    return ((rss_s - rss_c) + (par_s - par_c)) / math.sqrt(2.0 * spread)


def _added(step_jumps: NDArray[np.int64], smooth_jumps: NDArray[np.int64]) -> NDArray[np.intp]:
    """Which jumps of the levels the smooth fit lacks (none of its own within 2 samples)."""
    if smooth_jumps.size == 0:
        return np.arange(step_jumps.size)
    return np.flatnonzero(_nearest(step_jumps, smooth_jumps)[0] > _SAME_JUMP)


def beaten_near_added(smooth_residual: NDArray[np.float64], steps_residual: NDArray[np.float64],
                      smooth_jumps: NDArray[np.int64], step_jumps: NDArray[np.int64],
                      bandwidth: float, across_columns: float = 1.0) -> tuple[float, int]:
    """The largest :func:`levels_beat` over the two segments beside each jump of the levels
    that the smooth fit does not have (none within 2 samples), and how many such jumps there
    are. One step the curve missed raises the residual over a few segments only, and the whole
    series dilutes it. There the smooth fit's parameters are its trace on those samples, the
    run's share of the equivalent kernel's peak (:func:`._scoring.effective_dof`, without the
    ends) and its jumps; the levels' two levels per column and the jump."""
    added = _added(step_jumps, smooth_jumps)
    beats = beats_near(smooth_residual, steps_residual, smooth_jumps, step_jumps, bandwidth,
                       added, across_columns)
    return (float(np.max(beats)) if beats.size else -math.inf), int(added.size)


def beats_near(smooth_residual: NDArray[np.float64], steps_residual: NDArray[np.float64],
               smooth_jumps: NDArray[np.int64], step_jumps: NDArray[np.int64],
               bandwidth: float, which: NDArray[np.intp], across_columns: float = 1.0
               ) -> NDArray[np.float64]:
    """:func:`levels_beat` over the two segments beside each of `step_jumps[which]`, the
    parameters counted as in :func:`beaten_near_added`."""
    m, d = steps_residual.shape
    bounds = np.concatenate(([0], step_jumps + 1, [m])).tolist()
    out = np.empty(which.size)
    for n, i in enumerate(which.tolist()):
        lo, hi = bounds[i], bounds[i + 2]
        near_s, near_c = smooth_residual[lo:hi], steps_residual[lo:hi]
        inside = int(np.count_nonzero((smooth_jumps >= lo) & (smooth_jumps < hi - 1)))
        par_s = d * (hi - lo) / (2.0 * math.sqrt(2.0) * bandwidth) + inside
        out[n] = levels_beat(float(np.sum(near_s * near_s)), par_s,
                             float(np.sum(near_c * near_c)), 2.0 * d + 1.0,
                             float(np.sum((near_s - near_c) ** 2)), across_columns)
    return out


def _at_bics_price(problem: Problem, smooth: Selection, steps: Selection,
                   price: ConstantPrice, samples: Samples, sigma: Any,
                   widened: NDArray[np.float64], noise_changes: bool, *,
                   odds_allowed: float = _BIC_ODDS,
                   weigh: Optional[Callable[[_Levels], Optional[Selection]]] = None
                   ) -> Optional[Selection]:
    """The first case's answer with levels at BIC's price in place of `steps` (levels at the
    calibrated price over `samples`, those of `problem` in its own units, `sigma` its noise and
    `widened` the rows' deviations times their outlier factors, `price` what they rest on),
    when those levels keep every jump of `steps` and each jump they add splits its two
    segments beyond noise with odds of at most `odds_allowed` over the places it could take;
    else None. `weigh` weighs those levels beside the smooth choice (default
    :func:`steps_if_simpler` with them as its second look; bench/select/'s rule passes its
    own)."""
    m = samples.y.shape[0]
    lowered = _lowered_to(_BIC_PER_LOG, m)
    if lowered == 1.0:
        return None
    y = samples.y / sigma
    # Screened by the jumps alone, without the curve and the path a Selection holds: on a
    # million samples those of the calibrated levels and these together added about 60 bytes
    # a sample to the choice's peak.
    if keeps_and_adds(steps.fit.jump_indices,
                      fit_arrays(samples.x, y, widened[:, 0], 0.0, steps.penalty * lowered,
                                 "constant").jump_idx, m) is None:
        return None
    at_bic = _constant_selection(problem, None, None, _BIC_PER_LOG, price)
    jumps = at_bic[0].fit.jump_indices
    adds = keeps_and_adds(steps.fit.jump_indices, jumps, m)
    if adds is None:
        return None
    added = np.flatnonzero(adds)
    weight = np.broadcast_to(1.0 / widened**2, y.shape)
    odds = float(np.max(jump_odds(y, weight, jumps, added))) * (steps.fit.jump_indices.size + 1)
    if odds > odds_allowed:
        return None
    answer = (steps_if_simpler(problem, smooth, noise_changes=noise_changes, second_look=at_bic)
              if weigh is None else weigh(at_bic))
    if answer is None:
        return None
    answer.criterion = (f"levels at BIC's price, whose {_counted(added.size, 'jump')} beyond "
                        f"those at the calibrated price split their segments beyond noise "
                        f"(odds {odds:.2g} over the places they could take, "
                        f"{odds_allowed:g} allowed): " + answer.criterion)
    answer.searches = answer.searches + steps.searches
    return answer


def _raised(smooth: Selection) -> bool:
    """Whether the checks after the grid raised the smooth choice's price (to drop a jump
    under the smallest height, or a segment under a bandwidth at the grid's bottom)."""
    grid = smooth.table["penalty"]
    return bool(grid.size) and smooth.penalty > float(np.min(grid))


def _ahead(beat: float, allowed: float) -> str:
    """Which of the levels and the smooth fit is ahead, by how many standard errors."""
    if beat >= 0.0:
        return f"they are ahead of it by {beat:.1f} standard errors"
    return f"it is ahead by {-beat:.1f} standard errors, at most {allowed:g} allowed"


class _Weighing:
    """Constant levels (`steps`, fitted to `own`'s samples in `units`, rows widened by
    `widened`) beside the smooth choice: their residuals and the smooth fit's in noise units,
    both fits' parameters and residual sums, by how many standard errors the levels beat the
    smooth fit (:func:`levels_beat`), and the tests the cases ask of the levels, each
    computed once, when first asked (a series whose second case fails goes on to the third,
    which asks again)."""

    def __init__(self, smooth: Selection, steps: Selection, own: Problem, units: Units,
                 sigma: NDArray[np.float64], widened: NDArray[np.float64]) -> None:
        samples = own.samples
        m, d = samples.y.shape
        self.steps, self.units, self.samples, self.widened = steps, units, samples, widened
        self.width = smooth.bandwidth_samples
        self.jumps_s, self.jumps_c = smooth.fit.jump_indices, steps.fit.jump_indices
        # In noise units: squared deviations of data far from 1 (1e-160) would leave float64.
        self.y = samples.y / sigma
        unit = widened * sigma
        column_scale = 1.0 if own.column_scale is None else own.column_scale

        def residual(fit: Fit) -> NDArray[np.float64]:
            return ((fit._values(samples.x) / column_scale).reshape(m, d) - samples.y) / unit

        self.steps_residual = residual(steps.fit)
        self.smooth_residual = residual(smooth.fit)
        self.k_c, self.k_s = self.jumps_c.size, self.jumps_s.size
        self.par_c = d * (self.k_c + 1) + self.k_c
        lengths = np.diff(np.concatenate(([0], self.jumps_s + 1, [m])))
        self.par_s = d * float(np.sum(effective_dof(lengths, self.width))) + self.k_s
        self.rss_c = float(np.sum(self.steps_residual ** 2))
        self.rss_s = float(np.sum(self.smooth_residual ** 2))
        self.values = m * d
        self.ok_c = adequate(self.rss_c, self.par_c, self.k_c, self.values, units.noise)
        self.ok_s = adequate(self.rss_s, self.par_s, self.k_s, self.values, units.noise)
        self.across = units.noise.across_columns
        self.beat = levels_beat(self.rss_s, self.par_s, self.rss_c, self.par_c,
                                float(np.sum((self.smooth_residual - self.steps_residual) ** 2)),
                                self.across)

    @cached_property
    def weight(self) -> NDArray[np.float64]:
        """The inverse noise variance of each value of `y`."""
        return np.broadcast_to(1.0 / self.widened**2, self.y.shape)

    @cached_property
    def runs(self) -> float:
        """The levels' residuals' lag-one correlation beyond independent noise's
        (:func:`residual_correlation`)."""
        return residual_correlation(self.steps_residual, self.jumps_c)

    @cached_property
    def spread(self) -> float:
        """Change of spread of the levels' residuals between segments (:func:`spread_change`)."""
        return spread_change(self.steps_residual, self.jumps_c)

    @cached_property
    def level(self) -> bool:
        """The levels' segments flat to a parabola (:func:`level_between_jumps`)."""
        return level_between_jumps(self.samples.x, self.steps_residual, self.jumps_c,
                                   self.units.noise, _PARABOLA)

    @cached_property
    def bend_gains(self) -> NDArray[np.float64]:
        """Per jump of the levels, what a parabola through both segments leaves beyond the two
        levels (:func:`step_over_curve`; at most 0: a bend)."""
        return step_over_curve(self.samples.x, self.y, self.weight, self.jumps_c, _PARABOLA)

    @cached_property
    def smooth_runs(self) -> float:
        """:func:`smooth_runs` of the two fits."""
        return smooth_runs(self.smooth_residual, self.jumps_s, self.steps_residual, self.jumps_c)

    def added_step_gain(self) -> float:
        """The least of :attr:`bend_gains` over the jumps the smooth fit lacks (inf when
        there is none)."""
        added = _added(self.jumps_c, self.jumps_s)
        return float(np.min(self.bend_gains[added])) if added.size else math.inf

    def added_odds(self) -> float:
        """The odds that noise splits the two segments beside one of the jumps of the levels
        that the smooth fit lacks as well as that jump does, the largest over those jumps,
        times the places the levels could have added it (the smooth fit's segments); inf
        where a parabola through the two segments beside one leaves no more than the two
        levels, or where the levels' residuals change spread or are correlated beyond the
        1 % point (:func:`spread_change`: noise that doubles unseen splits beyond the one
        noise level; :func:`residual_correlation`: autocorrelated noise wanders beyond
        independent noise's odds, a trend under AR(1) noise was cut into 5 levels)."""
        added = _added(self.jumps_c, self.jumps_s)
        if added.size == 0:
            return 0.0
        if self.added_step_gain() <= 0.0:
            return math.inf
        if self.spread > _ONE_PERCENT or self.runs > _ONE_PERCENT:
            return math.inf
        tries = self.k_s + 1 if self.k_s else added.size
        return float(np.max(jump_odds(self.y, self.weight, self.jumps_c, added))) * tries

    def smooth_leaves_as_little(self) -> bool:
        """Whether the smooth fit leaves what the noise leaves by the levels' own reading of
        the noise (:func:`leaves_as_little`)."""
        return leaves_as_little(self.rss_s, self.par_s, self.k_s, self.rss_c, self.par_c,
                                self.values, self.units.noise)

    def fewer_with_clear_steps(self) -> bool:
        """Whether the levels have fewer parameters than a smooth fit with jumps and each jump
        they add saves over a parabola through its two segments more than chi-square(1)'s
        1 % point (asked last: the gains cost a fit per jump)."""
        return (self.k_c > 0 and self.k_s > 0 and self.par_c < self.par_s
                and self.added_step_gain() > _STEP_GAIN)

    def guarded(self, beaten_by: float, bends_share: float, near_added: bool) -> Optional[str]:
        """The third case's guards, also the first case's on a short series or past the
        smooth fit's parsimony: the levels beat the smooth fit by more than `beaten_by`
        standard errors (with `near_added`, over the series or beside one of the jumps it
        lacks), their residuals look independent and of one spread, their segments are level
        and at most `bends_share` of their jumps are bends. What they passed, or None."""
        beat, k_c = self.beat, self.k_c
        beaten, where = beat, f"by {beat:.1f} standard errors"
        if beaten <= beaten_by and near_added:
            # The same 1 % shared among the added jumps.
            near, added = beaten_near_added(self.smooth_residual, self.steps_residual,
                                            self.jumps_s, self.jumps_c, self.width, self.across)
            needed = NormalDist().inv_cdf(1.0 - (1.0 - NormalDist().cdf(beaten_by))
                                          / max(added, 1))
            if near > needed:
                beaten = math.inf
                where = (f"beside one of the {_counted(added, 'jump')} it lacks by {near:.1f} "
                         f"standard errors (over {needed:.2f} needed)")
        if beaten <= beaten_by:
            return None
        if self.runs > _ONE_PERCENT or self.spread > _ONE_PERCENT or not self.level:
            return None
        bends = int(np.count_nonzero(self.bend_gains <= 0.0)) if k_c else 0
        if bends > bends_share * k_c:
            return None
        return (f"{where}, with residuals as independent as the noise's (lag-one correlation "
                f"{self.runs:.2f} standard errors from it) and of one spread, level segments and "
                f"{_counted(bends, 'jump')} of {k_c} that a parabola through both segments "
                "matches")

    def kept_at_own_phi(self, passed: Optional[str]) -> Optional[str]:
        """`passed` (None: not passed) with what it says that the levels keep every jump at
        their price raised by the long-run factor of their residuals' own lag-one
        correlation; None where they do not."""
        if passed is None:
            return None
        penalty = self.steps.penalty
        phi = residual_phi(self.steps_residual, self.jumps_c)
        raised = penalty / self.units.noise.long_run_factor * (1.0 + phi) / (1.0 - phi)
        if raised > penalty and fit_arrays(self.samples.x, self.y, self.widened[:, 0], 0.0,
                                           raised, "constant").jump_idx.size < self.k_c:
            return None
        return (passed + f", and keep every jump at a price raised for their residuals' lag-one "
                f"correlation of {phi:.2f}")

    @property
    def in_place(self) -> str:
        return f"constant levels in place of the smooth choice at {self.width:.3g} samples"


def _follows_steps(w: _Weighing, short: bool, past_parsimony: bool,
                   second_look: bool) -> Optional[str]:
    """The first case: why the levels take the place of a smooth choice that followed every
    step, or None."""
    if past_parsimony:
        passed = w.guarded(_ONE_PER_MILLE, _PAST_PARSIMONY_BENDS, False)
        if second_look:
            passed = w.kept_at_own_phi(passed)
        return None if passed is None else (
            f"{w.in_place}, which followed the steps with fewer parameters; they beat it "
            f"{passed}")
    if short:
        passed = w.kept_at_own_phi(w.guarded(_ONE_PER_MILLE, _BENDS_SHARE, False))
        return None if passed is None else (
            f"{w.in_place}, which followed the steps of a short series; they beat it {passed}")
    if w.runs > _ONE_PERCENT:
        return None
    why = (f"{w.in_place}, which followed the steps, with residuals as independent as the "
           f"noise's (lag-one correlation {w.runs:.2f} standard errors from it)")
    return w.kept_at_own_phi(why) if second_look else why


def _small_among_large(w: _Weighing, odds: float) -> Optional[str]:
    """The second case: why the levels, which keep the smooth choice's jumps and add
    others, take its place (`odds`: the added jumps' evidence, NaN where a raised price
    spared them it), or None."""
    if not w.level:
        return None
    if math.isnan(odds):
        return (f"{w.in_place}, whose price the check raised to drop small jumps: they keep "
                f"its {_counted(w.k_s, 'jump')} and add {w.k_c - w.k_s} that it bent to "
                "follow, with level segments")
    return (f"{w.in_place}: they keep its {_counted(w.k_s, 'jump')} and add {w.k_c - w.k_s} "
            f"that it bent to follow, each splitting its two segments beyond noise (which "
            f"splits them as well with odds of at most {odds:.2g} over the places it could "
            f"take, {_SPLIT_ODDS:g} allowed), none of them a bend, with level segments, "
            + (f"beating it by {w.beat:.1f} standard errors" if w.beat > _SPLIT_BEAT
               else f"with fewer parameters ({_ahead(w.beat, _ONE_PERCENT)})"))


def _smooth_claim(kept: bool, leaves_little: bool) -> str:
    """What the criterion says of a smooth fit's claim to leave what the noise leaves."""
    return ("" if kept else " (the smooth fit leaves more)" if not leaves_little
            else " (the smooth fit leaves it in runs)")


def _misses_steps(w: _Weighing, short: bool, noise_changes: bool) -> Optional[str]:
    """The third case: why the levels take the place of a wider smooth choice they beat,
    or None."""
    passed = w.guarded(_ONE_PERCENT, _BENDS_SHARE, True)
    if short:
        passed = w.kept_at_own_phi(passed)
    return None if passed is None else (
        f"{w.in_place}, which they beat {passed}"
        + (" (the noise level the smooth choice saw change along x was the steps)"
           if noise_changes else ""))


def steps_if_simpler(problem: Problem, smooth: Selection, *, noise_changes: bool = False,
                     second_look: Optional[_Levels] = None) -> Optional[Selection]:
    """Constant levels, those of ``select(segments="constant")``, in place of a smooth choice
    that follows steps, or None to keep it. Three cases.

    First, the smooth choice is at most 4 samples wide: the curve follows every step without
    cutting it. On 150 samples or more the levels must leave residuals no more correlated
    within their segments than independent noise leaves (:func:`residual_correlation` at
    most the 1 % point): a narrow choice also follows a curve or autocorrelated noise, and
    levels laid over those leave runs of one sign. Where the smooth fit leaves what the noise
    leaves with fewer parameters (a curve that follows every tooth), the levels must also
    pass the third case's guards, beating it by the 0.1 % point with at most a quarter of
    their jumps bends. Levels at BIC's price then take the calibrated ones' place where each
    jump they add has its own evidence (:func:`_at_bics_price`). On 50 to 149 samples, where
    the lag-one test has little power, the levels are fitted at BIC's price, pass the third
    case's guards beating the curve by the 0.1 % point, and keep every jump at a price raised
    for their residuals' own autocorrelation.

    Second, the smooth choice is wider, under one noise level along x, and has jumps, and the
    levels keep each of them and add others (:func:`keeps_and_adds`): small steps among large
    ones, which the wide curve bent to follow and the check after the grid may then have
    dropped. Each added jump needs its own evidence (:meth:`_Weighing.added_odds` at most 0.1 %: noise
    splits its two segments as well with at most those odds over the places it could take,
    and it is no bend), the levels' segments are flat to a parabola
    (:func:`level_between_jumps`), and the levels beat the smooth fit by over 1 standard
    error (:func:`levels_beat`), or have fewer parameters, fall behind by no more than the
    1 % point, and each added jump saves over a parabola through its segments. Where the check
    after the grid raised the price, over the grid's finest following bandwidth and beside
    segments a bandwidth long, the level segments suffice.

    Third, the smooth choice is wider and misses steps (on 50 to 149 samples, only a choice
    over 12 samples wide or with jumps, and levels that keep every jump at the price of their
    residuals' own autocorrelation): the levels beat it by the 1 % point, over the series or
    beside one of the jumps it lacks (:func:`beaten_near_added`), with residuals as
    independent as the noise's and of one spread (:func:`spread_change`: also where the
    smooth choice measured a noise level that changes, which steps a curve rounds mimic),
    segments flat to a parabola and at most a tenth of their jumps bends
    (:func:`step_over_curve`).

    In every case the levels must leave no more than the noise leaves (:func:`adequate`; a
    level per segment and column and one per jump their parameters). A smooth fit that leaves
    what the noise leaves with no more parameters (its effective degrees of freedom and its
    jumps; in the second and third cases also by the levels' residual variance,
    :func:`leaves_as_little`, and with residuals no more correlated at lag one than the
    levels' beyond the 0.1 % point, :attr:`_Weighing.smooth_runs`: a ramp through a staircase
    leaves what the noise leaves in sum, but in runs) keeps its place unless the levels beat
    it by more than 8 standard errors (second and third cases) or pass the first case's
    guards above (150 samples or more); on a short series a narrow curve has no such claim.

    Parameters
    ----------
    problem : Problem
        The data the choice was made on, each column in its own units.
    smooth : Selection
        The smooth choice.
    noise_changes : bool
        Whether the smooth choice measured a noise level that changes along x (the constant
        model's one level would read the noisier stretch as steps).
    second_look : tuple, optional
        Levels at BIC's price (``_constant_selection``'s answer) for the first case to weigh
        in place of the calibrated ones (:func:`_at_bics_price`).

    Returns
    -------
    Selection or None
    """
    m = problem.samples.y.shape[0]
    width = smooth.bandwidth_samples
    jumps_s = smooth.fit.jump_indices
    narrow = width <= _FOLLOWS
    long_enough = m >= _FEWEST
    short = narrow and not long_enough
    if short and m < _SHORT_FEWEST:
        return None
    among = not narrow and not noise_changes and jumps_s.size > 0
    short_misfit = (not long_enough and m >= _SHORT_FEWEST
                    and (width > _SHORT_MISFIT_FINEST or jumps_s.size > 0))
    misfit = not narrow and (long_enough or short_misfit)
    if not narrow and not among and not misfit:
        return None
    steps, own, units, factors, price = second_look if second_look is not None else (
        _constant_selection(problem, None, None, _BIC_PER_LOG if short else 0.0))
    samples = own.samples
    jumps_c = steps.fit.jump_indices
    if among and keeps_and_adds(jumps_s, jumps_c, m) is None:
        among = False
        if not misfit:
            return None
    sigma = np.where(units.noise.sigma > 0.0, units.noise.sigma, units.scale)
    widened = (samples.delta * factors)[:, None]
    if narrow and long_enough and second_look is None:
        # Before the residuals and tests below: the second look's levels need their own.
        at_bic = _at_bics_price(problem, smooth, steps, price, samples, sigma, widened,
                                noise_changes)
        if at_bic is not None:
            return at_bic
    w = _Weighing(smooth, steps, own, units, sigma, widened)
    odds = math.nan
    # Where the check raised the price, over the grid's finest following bandwidth and beside
    # segments a bandwidth long, the added jumps need no evidence of their own (the rule
    # before it; the spread test cost blocks 2 of 40 there).
    if among and not (_raised(smooth) and width > Rule().finest_follow
                      and keeps_and_adds(jumps_s, jumps_c, m,
                                         Rule().shortest_segment * width) is not None):
        odds = w.added_odds()
        among = (odds <= _SPLIT_ODDS and w.level
                 and (w.beat > _SPLIT_BEAT
                      or (w.beat > -_ONE_PERCENT and w.fewer_with_clear_steps())))
        # Levels that fail this case may still pass the third.
        if not among and not misfit:
            return None
    if not w.ok_c:
        return None
    # A smooth fit that leaves what the noise leaves with no more parameters keeps its place
    # unless the levels beat it far beyond chance or pass the first case's guards.
    leaves_little = w.ok_s and (narrow or w.smooth_leaves_as_little())
    ok_s = leaves_little and (narrow or w.smooth_runs <= _ONE_PER_MILLE)
    past_parsimony = wide_past_parsimony = False
    if not short and ok_s and w.par_s <= w.par_c:
        if narrow:
            past_parsimony = True
        elif w.beat > _WIDE_PAST_PARSIMONY_BY:
            wide_past_parsimony = True
        else:
            return None
    why = (_follows_steps(w, short, past_parsimony, second_look is not None) if narrow
           else _small_among_large(w, odds) if among
           else _misses_steps(w, short_misfit, noise_changes))
    if why is None:
        return None
    steps.criterion = (why + f"; they leave what the noise leaves with {w.par_c} parameters "
                       f"against {w.par_s:.1f}" + _smooth_claim(ok_s, leaves_little)
                       + (f", and beat it by over {_WIDE_PAST_PARSIMONY_BY:g} standard "
                          "errors, so its fewer parameters do not keep it"
                          if wide_past_parsimony else "")
                       + "; " + steps.criterion)
    steps.searches = smooth.searches + steps.searches
    return steps


def in_own_units(problem: Problem) -> Problem:
    """Several columns each in its own noise level, so that a noisy column does not drown a
    jump in a quiet one (one column, or a column without noise, as given)."""
    if problem.column_scale is not None:
        return problem
    sigma = problem.units.noise.sigma
    if sigma.size < 2 or not np.all(sigma > 0.0):
        return problem
    return problem.with_column_scale(sigma)


def _noting_own_units(problem: Problem, criterion: str) -> str:
    if problem.column_scale is None:
        return criterion
    return ("each column in its own noise level (sd " + ", ".join(
        f"{v:.3g}" for v in problem.column_scale) + "); " + criterion)
