"""vorn.select: choose the smoothing and the jump penalty, and fit with them."""

from __future__ import annotations

import math
import numbers
from dataclasses import replace
from functools import cached_property
from statistics import NormalDist
from typing import Any, NamedTuple, Optional

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
from ._noise import noise_values, outlier_factors
from ._problem import Problem
from ._progress import progress_bar
from ._scoring import effective_dof, fit_arrays
from ._search import Choice, Rule, _counted, choose
from ._selection import PathMaker, Selection
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
        choice = choose(problem.samples, units, bandwidth_samples=b_fixed, penalty=pen_fixed,
                        penalty_of=penalty_of, bar=bar)
        # The grid's fits are gone; their heap would otherwise stay under the final fit's.
        return_freed_memory()
        final = final_fit(caller, problem, choice, p_exact=p_exact, gamma_exact=gamma_exact,
                          pruning=pruning, precondition=precondition)
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
    final = final_fit(caller, problem, narrower)
    if not np.array_equal(final.fit.jump_indices, choice.curve_jumps):
        narrower = choice
        final = final_fit(caller, problem, choice)
    curve = selection_of(problem, narrower, final, local)
    if narrower is not choice and not math.isfinite(curve.score):
        # A jump-free row of the grid at a penalty below a raised one: the same fit, the same
        # score.
        rows = choice.table
        at = np.flatnonzero((rows["bandwidth_samples"] == b) & (rows["penalty"] <= choice.penalty))
        curve.score = float(rows["score"][at[-1]])
    curve.searches = searches + [problem.samples.x.shape[0]]
    return curve


class FinalFit(NamedTuple):
    """The fit of all the data with the chosen pair, and what reproduces it."""

    fit: Fit
    p: float
    gamma: float
    arguments: dict[str, Any]
    note: str
    row_factor: NDArray[np.float64]  # how much each row's deviation was widened


def final_fit(caller: Problem, problem: Problem, choice: Choice, *,
              p_exact: Optional[float] = None, gamma_exact: Optional[float] = None,
              pruning: str = "DOMINANCE", precondition: str = "none") -> FinalFit:
    """Fit all the data at the chosen bandwidth and penalty, wild rows widened, on the
    caller's sites (dates stay dates): at the raw p and gamma when they carry the choice, else
    in standardised units through the natural arguments of :func:`vorn.fit`. `problem` is the
    one the choice was made on (the `caller`'s, or with the local noise level as deviations);
    the arguments that reproduce the fit name the deviations unless they are the caller's."""
    units = problem.units
    b, pen = choice.bandwidth_samples, choice.penalty
    # A p or gamma given by the caller is kept to the last bit rather than rebuilt.
    p_raw = units.p(b) if p_exact is None else p_exact
    try:
        gamma_raw = (pen * (p_raw if p_raw > 0.0 else 1.0) * units.scale**2
                     if gamma_exact is None else gamma_exact)
    except OverflowError:
        gamma_raw = math.inf
    row_factor = problem.per_row(choice.factors)
    # Widened deviations: the same sites merged again with them, not prepared again.
    target = problem.with_row_factors(choice.factors) if np.any(choice.factors > 1.0) else problem
    given = p_exact is not None and gamma_exact is not None
    why = None if given else units.inexact(b, pen)
    if why is None and not given and problem.energy_problem is not None:
        why = "the data's energies overflow in their own units"
    if why is None:
        if target.energy_problem is not None:
            raise ValueError(target.energy_problem)
        refit = target.fit(check_p(p_raw), check_gamma(gamma_raw), pruning, precondition)
        arguments: dict[str, Any] = {"p": p_raw, "gamma": gamma_raw}
    else:
        if target is not problem:
            # With widened deviations the data have another mean weight and noise level: the
            # same roughness weight and jump price take another bandwidth and penalty.
            widened = target.units
            b = b * (units.mean_weight / widened.mean_weight) ** 0.25
            pen = pen * (units.scale / widened.scale) ** 2
        refit = target.fit_natural(b, pen, pruning, precondition)
        p_raw, gamma_raw = refit.p, refit.gamma
        arguments = {"bandwidth_samples": b} if b < math.inf else {"p": 0.0}
        arguments.update({"penalty": pen} if pen > 0.0 else {"gamma": 0.0})
    note = "" if refit.frame is None else (
        f"p and gamma cannot be written in the units of the data ({why}); "
        "vorn.fit(x, y, **selection.arguments), with "
        + ", ".join(f"{k}={v!r}" for k, v in arguments.items()) + ", reproduces the fit")
    if target.prepared.delta is not caller.prepared.delta:
        arguments["delta"] = target.prepared.delta
    if target.column_scale is not None:
        arguments["column_scale"] = target.column_scale
    return FinalFit(refit, p_raw, gamma_raw, arguments, note, row_factor)


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
    target = problem.with_row_factors(factors) if np.any(factors > 1.0) else problem
    arguments: dict[str, Any] = {"gamma": gamma_raw, "segments": "constant"}
    note = ""
    if gamma_exact is not None or target.writes_constant_gamma(units, pen):
        refit = target.fit_constant(check_gamma(gamma_raw))
    else:
        # In the noise level vorn.fit measures on the same arguments, as the smooth choice's
        # final fit does: the same levels from the same arithmetic.
        fit_scale = target.units.scale
        level = pen * (scale / fit_scale) ** 2
        refit = target.fit_constant_in_noise_units(level, fit_scale, gamma_raw)
        arguments = {"penalty": level, "segments": "constant"}
        note = ("gamma cannot be written in the units of the data (the noise variance leaves "
                "float64); vorn.fit(x, y, **selection.arguments) reproduces the fit")
    if target is not problem:
        arguments["delta"] = target.prepared.delta
    if problem.column_scale is not None:
        arguments["column_scale"] = problem.column_scale
    x_std, y_std = units.standardise(samples)
    table = np.array([(pen, gamma_raw, int(refit.jumps.size))],
                     dtype=[("penalty", np.float64), ("gamma", np.float64), ("jumps", np.int64)])
    return Selection(
        p=math.nan,
        gamma=gamma_raw,
        score=math.nan,
        table=table,
        fit=refit,
        scoring="information criterion",
        method="priced",
        criterion=_noting_own_units(problem, criterion),
        noise=scale,
        phi=units.noise.phi,
        bandwidth=math.nan,
        bandwidth_samples=math.nan,
        penalty=pen,
        downweighted=np.flatnonzero(problem.per_row(factors) > 1.0),
        searches=[m] * chosen.searches + [m],
        arguments=arguments,
        segments="constant",
        note=note,
        _path_maker=PathMaker(x_std, y_std, samples.delta * factors, 1.0, scale * scale, pen,
                              segments="constant"),
    ), problem, units, factors, chosen


class LevelsRule(NamedTuple):
    """When constant levels take a smooth choice's place (:func:`steps_if_simpler`); the
    defaults are the shipped method, other values bench/select/'s candidates."""

    # First case: a smooth choice this narrow (samples) follows steps without cutting them.
    follows: float = 4.0
    # The levels must leave residuals that look independent: at most this many standard
    # errors of correlation above independent noise's, the one-sided 1 % point as the adequacy
    # band (a 5 % point cost 4 of 100 series of dense steps their levels; inf: no test)...
    correlated: float = 2.326
    # ... on at least this many samples, where the test has power 0.9 against a correlation
    # of 0.3 left in the residuals (0.3 sqrt(pairs) >= 2.326 + 1.282 needs 145 pairs). On
    # fewer, a narrow choice follows short curves and AR(1) noise as well as steps, and levels
    # laid over those gave jump-free series jumps (AR(1) 0.3 on 50 samples: 8 % without the
    # levels, 16 % with them and the test, 21 % without the test; bench/select/RESULTS.md).
    fewest: int = 150
    # First case on fewer samples, from `short_fewest` on: there the lag-one test alone has
    # too little power, so the levels must also pass the third case's guards (one spread,
    # level segments, at most `short_bends_share` of their jumps bends) and beat the smooth
    # fit by `short_beaten_by` standard errors in :func:`levels_beat` (-inf: not asked), the
    # one-sided 0.1 % point (at 2.326, 14 more of 3,000 jump-free series on 50 to 120 samples
    # got a jump than before, at 3.09 9). The bends do most of the work: a short curve or the
    # wandering of AR(1) noise cut into levels leaves jumps that a parabola through their two
    # segments matches, a step does not (AR(1) 0.5 under a sine on 100 samples, levels with
    # jumps: 6 of 300 series without them, 2 with them). Teeth of 10 samples on 100 to 180
    # samples: exact in 0.16 of series, was 0.06; bench/select/RESULTS.md, "Issue 22, short
    # teeth".
    short_fewest: int = 50
    short_beaten_by: float = 3.09
    short_correlated: float = 2.326
    short_spread: float = 2.326
    short_level_test: bool = True
    short_bends_share: float = 0.1
    # There the levels are fitted at BIC's price, `short_price_per_log` log m noise variances
    # with the same factors for autocorrelation and a noise level from few differences (0:
    # the calibrated 8 + 3 log log m of select(segments="constant"), 12.8 on 140 samples
    # against BIC's 9.9), and must keep every jump at that price raised by the long-run factor
    # of their own residuals' lag-one correlation (`short_raw_phi`, as in the third case on
    # short series). Alternating teeth 2.5 sd high and 10 samples long pay about 16 noise
    # variances a jump for their fit; at the calibrated price the levels dropped a tooth here
    # and there and then lost the bends test or the beat. The residuals' own correlation keeps
    # the lower price off the wandering of AR(1) noise: at BIC's price alone 13 more and 1
    # fewer of 1,600 AR(1) series on 60 to 140 samples got a jump, with the raise 3 more and
    # 1 fewer. Teeth of 10 samples on 100 to 149 samples: exact 0.27 -> 0.34 of 100
    # (bench/select/RESULTS.md, "a short series' levels at BIC's price").
    short_price_per_log: float = 2.0
    short_raw_phi: bool = True
    # Whether, there, a smooth fit that leaves what the noise leaves with fewer parameters
    # still keeps its place. Not: a curve 3 samples wide on 100 samples has fewer degrees of
    # freedom than 10 levels and leaves what the noise leaves, yet levels that beat it beyond
    # chance describe the teeth with less (with it 0.15 of 40 teeth above, without 0.23).
    short_parsimony: bool = False
    # Second case (small steps among large ones), tried at all.
    among_jumps: bool = True
    # Its narrowest smooth choice (samples), and the shortest segment beside an added jump
    # (smooth bandwidths). With each added jump's own evidence (`split_odds`) neither needs
    # more than the first case leaves: before it, 8 samples and one bandwidth, for at 8
    # samples and below the constant model's extra jumps were mostly its own false ones.
    finest: float = 4.0
    shortest: float = 0.0
    # Whether its segments are tested for a polynomial of `degree`.
    level_test: bool = True
    degree: int = 2
    # Whether it needs the price the checks after the grid raised (without `split_odds` the
    # extra jumps elsewhere were mostly a smooth trend between jumps cut into steps), and the
    # smooth fit to leave what the noise leaves too.
    raised_only: bool = False
    both_adequate: bool = False
    # Third case (a wider smooth choice that misses steps), tried at all. The levels must
    # beat the smooth fit by more than `beaten_by` standard errors (:func:`levels_beat`; the
    # one-sided 1 % point, as the adequacy band), on at least `fewest` samples, with
    # residuals that look independent and segments flat to a polynomial of `degree` ...
    misfit: bool = True
    beaten_by: float = 2.326
    misfit_level_test: bool = True
    # ... and at most this share of their jumps bends: jumps where a polynomial of
    # `bend_degree` through the two segments leaves no more than the two levels
    # (:func:`._constant_choice.step_over_curve`). Levels laid over a gentle ramp or a bend
    # pass the level test segment by segment (a slope of 1 sd over a segment is no evidence)
    # but not across the jump: ramps with kinks lost 11 of 100 exact counts without it.
    bends_share: float = 0.1
    bend_degree: int = 2
    # And the levels' segments must leave residuals of one spread, within this many standard
    # errors (:func:`._constant_choice.spread_change`): where the local noise check missed a
    # noise level that doubles, levels at one noise level cut the noisier stretch into steps.
    spread: float = 2.326
    # The levels may also beat it beside one of their jumps that the smooth fit lacks, the
    # 1 % shared among those jumps (:func:`beaten_near_added`): the whole series dilutes one
    # missed step (small among large 0.80 -> 0.83 of 100).
    near_added: bool = True
    # The third case also where the smooth choice measured a noise level that changes along
    # x: the steps a smooth curve rounds leave residuals that the local check reads as a
    # changing noise level (10 of the misses among 40 stairs, staircases and mixed steps), and
    # the spread test of the levels' own residuals (`spread`) tells the two apart (one jump
    # with the noise doubled after it: exact as often as before).
    misfit_noise_changes: bool = True
    # The third case also on fewer than `fewest` samples, from this many on: a ramp or a
    # curve wide enough to miss stairs of 10 samples leaves them to the levels at any length.
    # There the lag-one test of the levels' residuals has too little power to tell steps from
    # the wandering of AR(1) noise, so two more guards. The smooth choice is wider than
    # `misfit_short_finest` samples or has a jump of its own: every jump-free series the
    # third case cut into levels on 60 to 130 samples was AR(1) noise under a curve 5.7 to
    # 11.3 samples wide (11 of 3,200), and stairs that a jump-free curve followed are the
    # first case's. And (`misfit_short_raw_phi`) the levels keep every jump at their price
    # raised by the long-run factor of their residuals' own lag-one correlation
    # (:func:`._constant_choice.residual_phi`), which the noise estimate shrinks toward 0 on
    # short series (3 more of 9,800 jump-free series with levels without it). Stairs of
    # 10 samples on 100 to 200: exact 0.47 -> 0.70 of 40, 0.48 -> 0.70 of 100; every other
    # class and size as before (bench/select/RESULTS.md, "Issue 22, stairs on short series").
    misfit_short_fewest: int = 50
    misfit_short_finest: float = 12.0
    misfit_short_jumps: bool = True
    misfit_short_raw_phi: bool = True
    # In the second and third cases, a smooth fit that leaves what the noise leaves with
    # fewer parameters than the levels keeps its place, unless the levels beat it by more
    # than this many standard errors (:func:`levels_beat`). The parsimony claim rests on
    # the adequacy band, which the noise estimate's own spread widens (about 2,290 noise
    # variances allowed on 2,048 samples); the paired comparison does not: blocks of 0.8 to
    # 2 sd whose small jumps the check after the grid dropped leave the curve 9 to 12
    # standard errors behind the levels. At 8: blocks 0.80 -> 0.88 of 40, 0.75 -> 0.85 of
    # 100, a bump on a slope a jump in 1 more of 140 (a curve 64 samples wide rounds it, and
    # levels beat that by 8.3), jump-free series otherwise as before; at 6 the bump 2 more,
    # at 4 also a gap (bench/select/RESULTS.md, "Issue 22, past the smooth fit's parsimony").
    wide_past_parsimony_by: float = 8.0
    # There, too, the smooth fit must leave what the noise leaves by the levels' own reading
    # of the noise (their residual variance, :func:`._constant_choice.leaves_as_little`) to
    # claim its fewer parameters. The noise read from second differences keeps some of the
    # steps' own excess and carries its estimate's spread into the adequacy band.
    parsimony_by_levels: bool = True
    # And the claim cuts both ways: levels that leave what the noise leaves with fewer
    # parameters than a smooth fit with jumps of its own need not beat it, only not fall
    # behind it by more than `beaten_by` standard errors: in the second case in place of
    # `split_beat` (`levels_parsimony`), in the third case in place of `beaten_by`
    # (`levels_parsimony_misfit`), under the case's other guards. A curve that bends through
    # a small step between the jumps it keeps spends more parameters than the level it missed.
    # Not in the third case: there it also hands levels every smooth fit whose segments are
    # level enough, with the same jumps (the Nile), which stays a choice of the curve.
    levels_parsimony: bool = True
    levels_parsimony_misfit: bool = False
    # There each jump the levels add must save over a parabola through its two segments more
    # than chi-square(1)'s 1 % point (noise variances), not only more than nothing as in the
    # bends test: a jump cut into a curved trend between real ones saves about what the
    # parabola does (1.2 to 6.1 on blocks on a trend, where without it the second case alone
    # cost 4 of 120 exact counts), a short step the curve bent through far more (9.6 to 36).
    levels_parsimony_step_gain: float = 6.635
    # The first case on `fewest` samples or more, where the smooth fit leaves what the noise
    # leaves with fewer parameters than the levels (a curve 2 samples wide through teeth of
    # 10): the levels still take its place when they beat it by this many standard errors
    # (the one-sided 0.1 % point, as on fewer samples) and pass the third case's guards with
    # at most this share of their jumps bends. A true step of 2.5 sd between segments of 10
    # samples reads as a bend in 11 % of cases, so a tenth of 19 teeth turns 64 % of such
    # series away and a quarter 5 %. Past the third case's parsimony the same cut bumps on a
    # slope (0.00 -> 0.12 with a jump), and a quarter there turns ramps into stairs.
    past_parsimony_by: float = 3.09
    past_parsimony_bends: float = 0.25
    # The first case on `fewest` samples or more once more at BIC's price: levels fitted at
    # 2 log m noise variances (with the same factors) take the calibrated levels' place when
    # they keep every one of their jumps, each jump they add splits its two segments beyond
    # noise with odds of at most `narrow_bic_odds` over the places it could take (the
    # calibrated levels' segments, :func:`._split_null.jump_odds`), and they pass the first
    # case's tests keeping every jump at the price of their residuals' own autocorrelation
    # (0: not tried). The calibrated price bounds the chance that noise gets a first jump; a
    # tooth it dropped (a run of alternating teeth pays about 16 noise variances a jump, the
    # calibrated price is 13 on 200 samples) then stands on its own evidence. Teeth of 10
    # samples on 200: exact 0.38 -> 0.47 of 40, 0.31 -> 0.37 of 100; every other class,
    # the real-like corpus and the 3,000 jump-free series on 150 to 300 samples as before
    # (bench/select/RESULTS.md, "teeth the calibrated levels dropped").
    narrow_bic_odds: float = 0.01
    # The price the first case's levels are fitted at, BIC's log m per jump (0: calibrated);
    # the step above sets it for its second look.
    narrow_per_log: float = 0.0
    # The second case at any price, when every jump the levels add has its own evidence: the
    # odds that noise between its two neighbouring jumps splits as well
    # (:func:`._split_null.jump_odds`, an upper bound) at most this share over the smooth
    # fit's segments (where the levels could have added a jump; Bonferroni: at most this share
    # of such choices on steps the smooth fit has all of get a jump noise made), and none of
    # them a bend (:func:`step_over_curve`). 0: not asked. 1 % gained as much on the bench but
    # let a 1-in-350 false jump through on a seeded step with deltas. With `split_beat`:
    # mixed steps exact 0.69 -> 0.76, small among large 0.83 -> 0.90 of 100, nothing lost
    # elsewhere (bench/select/RESULTS.md, "Issue 22, small steps among large ones at any
    # price").
    split_odds: float = 0.001
    split_bends: bool = True
    # Without that evidence's guarantee, bench/select/'s other candidates: a smooth fit that
    # leaves what the noise leaves with fewer parameters loses its place (unless the levels
    # beat it by no more than `split_beaten_by`): it cut a sine between jumps into 6 steps; a
    # smooth choice without jumps: a bump or a line got jumps; the share over the added jumps
    # only (`split_per_segment` off).
    split_parsimony: bool = True
    split_from_none: bool = False
    split_per_segment: bool = True
    split_beaten_by: float = -math.inf
    # And each added jump must let the levels beat the smooth fit over its two segments by
    # more than this many standard errors (:func:`levels_beat` there, as in
    # :func:`beaten_near_added`; -inf: not asked): levels laid over a trend between jumps split
    # it beyond noise, but the curve that follows the trend leaves no more than they do.
    split_near_beat: float = -math.inf
    # And the levels must beat the smooth fit over the whole series by more than this many
    # standard errors (:func:`levels_beat`; -inf: not asked). The split evidence is against
    # noise, not against a trend: between the jumps of blocks on a curved trend a step cut
    # into the curve splits its segments beyond noise too, and there the curve that follows
    # the trend leaves about what the levels leave (blocks on a trend, 200 samples: exact 38 of
    # 40 before, 33 with the split evidence alone, 37 with this at 1).
    split_beat: float = 1.0
    # The smooth choice's narrowest bandwidth where a raised price spares the levels the split
    # evidence (inf: never).
    raised_finest: float = Rule().finest_follow


LEVELS = LevelsRule()
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


class _LevelsTests:
    """What the cases ask of one set of levels, each answer computed once, when first asked
    (a series whose second case fails goes on to the third, which asks again)."""

    def __init__(self, x: NDArray[np.float64], y: NDArray[np.float64],
                 unit: NDArray[np.float64], residual: NDArray[np.float64],
                 jumps: NDArray[np.int64], noise: Any, rule: LevelsRule) -> None:
        self.x, self.y, self.unit, self.residual, self.jumps = x, y, unit, residual, jumps
        self.noise, self.rule = noise, rule

    @cached_property
    def weight(self) -> NDArray[np.float64]:
        """The inverse noise variance of each value of `y`."""
        return np.broadcast_to(1.0 / self.unit**2, self.y.shape)

    @cached_property
    def runs(self) -> float:
        """Lag-one correlation beyond independent noise's (:func:`residual_correlation`)."""
        return residual_correlation(self.residual, self.jumps)

    @cached_property
    def spread(self) -> float:
        """Change of spread between segments (:func:`spread_change`)."""
        return spread_change(self.residual, self.jumps)

    @cached_property
    def level(self) -> bool:
        """Segments flat to a polynomial of `degree` (:func:`level_between_jumps`)."""
        return level_between_jumps(self.x, self.residual, self.jumps, self.noise,
                                   self.rule.degree)

    @cached_property
    def bend_gains(self) -> NDArray[np.float64]:
        """Per jump, what a polynomial through both segments leaves beyond the two levels
        (:func:`step_over_curve`; at most 0: a bend)."""
        return step_over_curve(self.x, self.y, self.weight, self.jumps, self.rule.bend_degree)

    def added_step_gain(self, smooth_jumps: NDArray[np.int64]) -> float:
        """The least of :attr:`bend_gains` over the jumps the smooth fit lacks (inf when
        there is none)."""
        added = _added(self.jumps, smooth_jumps)
        return float(np.min(self.bend_gains[added])) if added.size else math.inf


def added_odds(tests: _LevelsTests, smooth_jumps: NDArray[np.int64]) -> float:
    """The odds that noise splits the two segments beside one of the jumps of the levels that
    the smooth fit lacks as well as that jump does, the largest over those jumps, times the
    places the levels could have added it (the smooth fit's segments, or with
    `rule.split_per_segment` off the added jumps); inf where (with `rule.split_bends`) a
    parabola through the two segments beside one leaves no more than the two levels, or where
    the levels' residuals (`tests.residual`, in noise units) change spread beyond
    `rule.spread` (:func:`._constant_choice.spread_change`: noise that doubles unseen splits
    beyond the one noise level) or are correlated beyond `rule.correlated`
    (:func:`._constant_choice.residual_correlation`: autocorrelated noise wanders beyond
    independent noise's odds; a trend under AR(1) noise cut into 5 levels)."""
    rule = tests.rule
    added = _added(tests.jumps, smooth_jumps)
    if added.size == 0:
        return 0.0
    if rule.split_bends and tests.added_step_gain(smooth_jumps) <= 0.0:
        return math.inf
    if tests.spread > rule.spread or tests.runs > rule.correlated:
        return math.inf
    tries = (smooth_jumps.size + 1 if rule.split_per_segment and smooth_jumps.size
             else added.size)
    return float(np.max(jump_odds(tests.y, tests.weight, tests.jumps, added))) * tries


def _at_bics_price(problem: Problem, smooth: Selection, steps: Selection,
                   price: ConstantPrice, samples: Samples, sigma: Any,
                   widened: NDArray[np.float64], noise_changes: bool, rule: LevelsRule
                   ) -> Optional[Selection]:
    """The first case's answer with levels at BIC's price in place of `steps` (levels at the
    calibrated price over `samples`, those of `problem` in its own units, `sigma` its noise and
    `widened` the rows' deviations times their outlier factors, `price` what they rest on),
    when those levels keep every jump of `steps` and each jump they add splits its two
    segments beyond noise with odds of at most `rule.narrow_bic_odds` over the places it
    could take; else None."""
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
    if odds > rule.narrow_bic_odds:
        return None
    answer = steps_if_simpler(problem, smooth, noise_changes=noise_changes,
                              rule=rule._replace(narrow_per_log=_BIC_PER_LOG,
                                                 narrow_bic_odds=0.0),
                              levels=at_bic)
    if answer is None:
        return None
    answer.criterion = (f"levels at BIC's price, whose {_counted(added.size, 'jump')} beyond "
                        f"those at the calibrated price split their segments beyond noise "
                        f"(odds {odds:.2g} over the places they could take, "
                        f"{rule.narrow_bic_odds:g} allowed): " + answer.criterion)
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


def steps_if_simpler(problem: Problem, smooth: Selection, *, noise_changes: bool = False,
                     rule: LevelsRule = LEVELS,
                     levels: Optional[_Levels] = None) -> Optional[Selection]:
    """Constant levels in place of a smooth choice that follows steps, or None to keep it.

    Three cases. The smooth choice is at most `follows` samples wide: the curve follows every
    step without cutting it, on at least `fewest` samples, and the levels leave residuals no
    more correlated within their segments than independent noise leaves (at most `correlated`
    standard errors above it, :func:`._constant_choice.residual_correlation`): a narrow choice
    also follows a curve or autocorrelated noise on a short series, and levels laid over those
    leave runs of one sign; on `short_fewest` samples to `fewest`, where that test has little
    power, the levels, fitted at BIC's price (`short_price_per_log`), must also pass the
    third case's tests, with `short_beaten_by` and without the smooth fit's claim to fewer
    parameters (`short_parsimony`), and keep every jump at the price of their residuals' own
    autocorrelation (`short_raw_phi`); from `fewest` on,
    a smooth fit with that claim (a curve that follows every tooth) gives way only to levels
    that pass those tests with `past_parsimony_by` and `past_parsimony_bends`, and levels at
    BIC's price take the place of the calibrated ones where each jump they add has its own
    evidence (`narrow_bic_odds`). Or the smooth
    choice, wider than `finest` samples, under one noise level along x, has jumps, and the
    constant model of ``select(segments="constant")`` keeps each of them and adds others
    between segments at least `shortest` bandwidths long (:func:`keeps_and_adds`), each with
    its own evidence (:func:`added_odds` at most `split_odds`: noise splits its two segments
    as well with at most those odds over the places it could take, and it is no bend; and
    :func:`levels_beat` over `split_beat`, or over ``-beaten_by`` with fewer parameters than
    the smooth fit and each added jump's :func:`step_over_curve` over
    `levels_parsimony_step_gain`, `levels_parsimony`), its segments flat to a polynomial of
    `degree` (:func:`._constant_choice.level_between_jumps`):
    small steps among large ones, which the wide curve bent to follow and the check after the
    grid may then have dropped. Without that evidence (`split_odds` 0) only at a price that
    check raised (`raised_only`), over 8 samples and beside segments a bandwidth long: a
    narrower curve's extra jumps were mostly the constant model's own false ones, and
    elsewhere mostly a smooth trend between jumps cut into steps (bench/select/RESULTS.md).
    Or, third, the smooth choice is wider than
    `follows`, on at least `fewest` samples (on `misfit_short_fewest` to `fewest` only a
    choice wider than `misfit_short_finest` or with jumps, and levels that keep every jump at
    the price of their residuals' own autocorrelation; also where the smooth choice measured a
    noise level that changes, with `misfit_noise_changes`: the levels' residuals must then
    show one spread where the smooth fit's did not), and the levels beat it
    (:func:`levels_beat` above `beaten_by`, or :func:`beaten_near_added`; with fewer
    parameters than a smooth fit with jumps, each added jump's :func:`step_over_curve` over
    `levels_parsimony_step_gain`, above ``-beaten_by``, `levels_parsimony_misfit`) with
    residuals that look independent and of one spread
    (:func:`._constant_choice.spread_change`), segments flat to a polynomial of `degree`,
    and at most `bends_share` of their jumps bends
    (:func:`._constant_choice.step_over_curve`): steps the smooth curve rounded or missed at
    a price set for curves. In every case the constant model must leave no more than the
    noise leaves with fewer parameters (a level per segment and column, one per jump; the
    smooth fit's effective degrees of freedom and its jumps), or the smooth fit more than the
    noise (in the second and third cases also by the levels' residual variance,
    `parsimony_by_levels`), or (second and third cases) the levels must beat it by more than
    `wide_past_parsimony_by` standard errors.

    Parameters
    ----------
    problem : Problem
        The data the choice was made on, each column in its own units.
    smooth : Selection
        The smooth choice.
    noise_changes : bool
        Whether the smooth choice measured a noise level that changes along x (the constant
        model's one level would read the noisier stretch as steps).
    rule : LevelsRule
        The bounds above, and the switches of the second and third cases.
    levels : tuple, optional
        The constant levels to weigh (``_constant_selection``'s answer), instead of fitting
        them at the case's price.

    Returns
    -------
    Selection or None
    """
    narrow = smooth.bandwidth_samples <= rule.follows
    long_enough = problem.samples.y.shape[0] >= rule.fewest
    short = narrow and not long_enough
    if short and problem.samples.y.shape[0] < rule.short_fewest:
        return None
    among = (not narrow and rule.among_jumps and not noise_changes
             and smooth.bandwidth_samples > rule.finest
             and (smooth.fit.jump_indices.size > 0
                  or (rule.split_odds > 0.0 and rule.split_from_none))
             and (not rule.raised_only or _raised(smooth)))
    short_misfit = (not long_enough and problem.samples.y.shape[0] >= rule.misfit_short_fewest
                    and (smooth.bandwidth_samples > rule.misfit_short_finest
                         or (rule.misfit_short_jumps and smooth.fit.jump_indices.size > 0)))
    misfit = (not narrow and rule.misfit and (rule.misfit_noise_changes or not noise_changes)
              and (long_enough or short_misfit))
    if not narrow and not among and not misfit:
        return None
    steps, own, units, factors, price = levels if levels is not None else _constant_selection(
        problem, None, None, rule.short_price_per_log if short
        else (rule.narrow_per_log if narrow else 0.0))
    samples = own.samples
    m, d = samples.y.shape
    if among and (keeps_and_adds(smooth.fit.jump_indices, steps.fit.jump_indices, m,
                                 rule.shortest * smooth.bandwidth_samples) is None
                  if smooth.fit.jump_indices.size else steps.fit.jump_indices.size == 0):
        among = False
    if not narrow and not among and not misfit:
        return None
    sigma = np.where(units.noise.sigma > 0.0, units.noise.sigma, units.scale)
    widened = (samples.delta * factors)[:, None]
    if narrow and long_enough and rule.narrow_bic_odds > 0.0 and rule.narrow_per_log == 0.0:
        # Before the residuals and tests below: the second look's levels need their own.
        at_bic = _at_bics_price(problem, smooth, steps, price, samples, sigma, widened,
                                noise_changes, rule)
        if at_bic is not None:
            return at_bic
    unit = widened * sigma
    column_scale = 1.0 if own.column_scale is None else own.column_scale

    def residual(fit: Fit) -> NDArray[np.float64]:
        return ((fit._values(samples.x) / column_scale).reshape(m, d) - samples.y) / unit

    def kept_at_own_phi() -> Optional[str]:
        # Whether the levels keep every jump at their price raised by the long-run factor of
        # their residuals' own lag-one correlation: what it says, or None.
        phi = residual_phi(steps_residual, steps.fit.jump_indices)
        raised = steps.penalty / units.noise.long_run_factor * (1.0 + phi) / (1.0 - phi)
        if raised > steps.penalty and fit_arrays(
                samples.x, samples.y / sigma, samples.delta * factors, 0.0, raised,
                "constant").jump_idx.size < k_c:
            return None
        return (f", and keep every jump at a price raised for their residuals' lag-one "
                f"correlation of {phi:.2f}")

    steps_residual = residual(steps.fit)
    # In noise units: squared deviations of data far from 1 (1e-160) would leave float64.
    tests = _LevelsTests(samples.x, samples.y / sigma, widened, steps_residual,
                         steps.fit.jump_indices, units.noise, rule)
    # Where the check raised the price, over `raised_finest` samples and beside segments a
    # bandwidth long, the levels need no split evidence (the rule before it; the spread test
    # below cost blocks 2 of 40 there).
    split = rule.split_odds > 0.0 and not (
        _raised(smooth) and smooth.bandwidth_samples > rule.raised_finest
        and keeps_and_adds(smooth.fit.jump_indices, steps.fit.jump_indices, m,
                           Rule().shortest_segment * smooth.bandwidth_samples) is not None)
    odds = math.nan
    if among and split:
        odds = added_odds(tests, smooth.fit.jump_indices)
        # Levels that fail this case may still pass the third.
        if odds > rule.split_odds or (rule.level_test and not tests.level):
            among = False
            if not misfit:
                return None
    k_c = steps.fit.jump_indices.size
    par_c = d * (k_c + 1) + k_c
    k_s = smooth.fit.jump_indices.size
    lengths = np.diff(np.concatenate(([0], smooth.fit.jump_indices + 1, [m])))
    par_s = d * float(np.sum(effective_dof(lengths, smooth.bandwidth_samples))) + k_s
    rss_c = float(np.sum(steps_residual ** 2))
    smooth_residual = residual(smooth.fit)
    rss_s = float(np.sum(smooth_residual ** 2))
    ok_c = adequate(rss_c, par_c, k_c, m * d, units.noise)
    ok_s = adequate(rss_s, par_s, k_s, m * d, units.noise)
    across = units.noise.across_columns
    beat = levels_beat(rss_s, par_s, rss_c, par_c,
                       float(np.sum((smooth_residual - steps_residual) ** 2)), across)

    def fewer() -> bool:
        # Levels with fewer parameters than a smooth fit with jumps, each jump they add clear
        # of a parabola; asked only where a rule reads it (the gains cost a fit per jump).
        return (k_c > 0 and k_s > 0 and par_c < par_s
                and tests.added_step_gain(smooth.fit.jump_indices)
                > rule.levels_parsimony_step_gain)

    if among and split and beat <= rule.split_beat and not (
            rule.levels_parsimony and beat > -rule.beaten_by and fewer()):
        among = False
        if not misfit:
            return None
    if among and split and rule.split_near_beat > -math.inf:
        jumps_s, jumps_c = smooth.fit.jump_indices, steps.fit.jump_indices
        added = _added(jumps_c, jumps_s)
        if added.size and np.min(beats_near(smooth_residual, steps_residual, jumps_s, jumps_c,
                                            smooth.bandwidth_samples, added, across)
                                 ) <= rule.split_near_beat:
            among = False
            if not misfit:
                return None
    parsimony = (rule.short_parsimony or not short) and (
        rule.split_parsimony or not among or not split
        or beat <= rule.split_beaten_by)
    if not ok_c:
        return None
    past_parsimony = wide_past_parsimony = False
    if (parsimony and ok_s and not narrow and rule.parsimony_by_levels
            and not leaves_as_little(rss_s, par_s, k_s, rss_c, par_c, m * d, units.noise)):
        ok_s = False
    if parsimony and ok_s and par_s <= par_c:
        if not narrow and (among or misfit) and beat > rule.wide_past_parsimony_by:
            wide_past_parsimony = True
        elif not narrow or short or not math.isfinite(rule.past_parsimony_by):
            return None
        else:
            past_parsimony = True

    def guarded(beaten_by: float, correlated: float, spread_by: float, level_test: bool,
                bends_share: float, near_added: bool) -> Optional[str]:
        # The third case's guards, also the first case's on a short series: what the levels
        # passed, or None. A negative `beaten_by` only asks them not to fall behind.
        beaten = beat
        where = (f"by {beaten:.1f} standard errors" if beaten_by >= 0.0
                 else f"with fewer parameters ({_ahead(beat, -beaten_by)})")
        if beaten <= beaten_by and near_added:
            # The same 1 % shared among the added jumps.
            near, added = beaten_near_added(smooth_residual, steps_residual,
                                            smooth.fit.jump_indices, steps.fit.jump_indices,
                                            smooth.bandwidth_samples, across)
            needed = NormalDist().inv_cdf(1.0 - (1.0 - NormalDist().cdf(beaten_by))
                                          / max(added, 1))
            if near > needed:
                beaten = math.inf
                where = (f"beside one of the {_counted(added, 'jump')} it lacks by {near:.1f} "
                         f"standard errors (over {needed:.2f} needed)")
        if beaten <= beaten_by:
            return None
        if tests.runs > correlated or tests.spread > spread_by or (
                level_test and not tests.level):
            return None
        bends = int(np.count_nonzero(tests.bend_gains <= 0.0)) if k_c else 0
        if bends > bends_share * k_c:
            return None
        return (f"{where}, with residuals as independent as the noise's (lag-one correlation "
                f"{tests.runs:.2f} standard errors from it) and of one spread, level segments and "
                f"{_counted(bends, 'jump')} of {k_c} that a parabola through both segments "
                "matches")

    if past_parsimony:
        passed = guarded(rule.past_parsimony_by, rule.correlated, rule.spread, True,
                         rule.past_parsimony_bends, False)
        if passed is not None and rule.narrow_per_log > 0.0:
            own_phi = kept_at_own_phi()
            passed = None if own_phi is None else passed + own_phi
        if passed is None:
            return None
        why = (f"constant levels in place of the smooth choice at "
               f"{smooth.bandwidth_samples:.3g} samples, which followed the steps with fewer "
               f"parameters; they beat it {passed}")
    elif short:
        passed = guarded(rule.short_beaten_by, rule.short_correlated, rule.short_spread,
                         rule.short_level_test, rule.short_bends_share, False)
        if passed is not None and rule.short_raw_phi:
            own_phi = kept_at_own_phi()
            passed = None if own_phi is None else passed + own_phi
        if passed is None:
            return None
        why = (f"constant levels in place of the smooth choice at "
               f"{smooth.bandwidth_samples:.3g} samples, which followed the steps of a short "
               f"series; they beat it {passed}")
    elif not narrow and not among:
        by_parsimony = rule.levels_parsimony_misfit and fewer()
        passed = guarded(-rule.beaten_by if by_parsimony else rule.beaten_by, rule.correlated,
                         rule.spread, rule.misfit_level_test, rule.bends_share,
                         rule.near_added and not by_parsimony)
        if passed is None:
            return None
        verb = "match" if by_parsimony else "beat"
        if short_misfit and rule.misfit_short_raw_phi:
            own_phi = kept_at_own_phi()
            if own_phi is None:
                return None
            passed += own_phi
        why = (f"constant levels in place of the smooth choice at "
               f"{smooth.bandwidth_samples:.3g} samples, which they {verb} {passed}"
               + (" (the noise level the smooth choice saw change along x was the steps)"
                  if noise_changes else ""))
    elif narrow:
        runs = tests.runs
        if runs > rule.correlated:
            return None
        why = (f"constant levels in place of the smooth choice at "
               f"{smooth.bandwidth_samples:.3g} samples, which followed the steps, with "
               f"residuals as independent as the noise's (lag-one correlation {runs:.2f} "
               f"standard errors from it)")
        if rule.narrow_per_log > 0.0:
            own_phi = kept_at_own_phi()
            if own_phi is None:
                return None
            why += own_phi
    else:
        if (rule.both_adequate and not ok_s) or (rule.level_test and not tests.level):
            return None
        if math.isnan(odds):
            why = (f"constant levels in place of the smooth choice at "
                   f"{smooth.bandwidth_samples:.3g} samples, whose price the check raised to "
                   f"drop small jumps: they keep its "
                   f"{_counted(k_s, 'jump')} and add {k_c - k_s} that it bent to follow, "
                   "with level segments")
        else:
            why = (f"constant levels in place of the smooth choice at "
                   f"{smooth.bandwidth_samples:.3g} samples: they keep its "
                   f"{_counted(k_s, 'jump')} and add {k_c - k_s} that it bent to follow, "
                   f"each splitting its two segments beyond noise (which splits them as well "
                   f"with odds of at most {odds:.2g} over the places it could take, "
                   f"{rule.split_odds:g} allowed), "
                   f"none of them a bend, with level segments, "
                   + (f"beating it by {beat:.1f} standard errors" if beat > rule.split_beat
                      else f"with fewer parameters ({_ahead(beat, rule.beaten_by)})"))
    steps.criterion = (why + f"; they leave what the noise leaves with {par_c} parameters "
                       f"against {par_s:.1f}" + ("" if ok_s else " (the smooth fit leaves more)")
                       + (f", and beat it by over {rule.wide_past_parsimony_by:g} standard "
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
