"""vorn.select: choose the smoothing and the jump penalty, and fit with them."""

from __future__ import annotations

import math
import numbers
import os
from typing import Any, Callable, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._checks import check_gamma, check_p, check_pruning, energy_problem, prepare
from ._constant_choice import price_of
from ._cvsearch import Candidates, CvScorer, CvSearch, candidate_axis, make_folds
from ._fit import fit, fit_natural, fit_samples
from ._local_noise import local_noise
from ._noise import noise_values, outlier_factors
from ._progress import progress_bar
from ._search import Choice, Rule, _counted, choose
from ._selection import PathMaker, Selection
from ._units import (CvGrid, Samples, Units, positive_number, reweighted, samples_of,
                     units_of)

__all__ = ["select"]

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
    samples counted at the spacing of the sites away from gaps of over 20 median spacings) at that price and scores each fit
    by the information criterion ``sum of m log(RSS_j / m) + log(N) * edf + price * jumps``
    (RSS_j the weighted residual sum of squares of column j, N = m d / L values, edf the
    spline's effective degrees of freedom summed over segments and columns); the smoothest
    bandwidth within 2 L of the best score wins. A final
    check halves the bandwidth while a segment is shorter than one bandwidth and doubles the
    price while a jump is smaller than 2 noise standard deviations. No random folds are
    drawn: the answer does not depend on a seed. It makes one partition search of m samples
    per bandwidth (in two threads), one or a few for the check, and one for the fit.

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
    not worth a jump), on constant steps shorter than about 20 samples and small jumps among
    large ones (a short bandwidth follows the first, the 2 sd floor drops the second; if the
    signal is known to be steps, ask for ``segments="constant"``), on a
    quiet column beside a much noisier one (the noisy column sets the one penalty) and on a
    handful of samples. ``Selection.explain()``,
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
    prepared = prepare(x, y, delta, check_energies=method == "cv")
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
    samples = samples_of(prepared.x, prepared.y, prepared.delta)
    if method == "cv":
        if bandwidth is not None or bandwidth_samples is not None or penalty is not None:
            raise ValueError("bandwidth, bandwidth_samples and penalty need method='priced'")
        return _select_by_cv(prepared, samples, folds, seed, p, gamma, progress, n_jobs,
                             scoring, pruning)
    units = units_of(samples)
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
        return select_constant(prepared, samples, units, pen_fixed, gamma_exact)
    return _select_priced(prepared, samples, units, b_fixed, pen_fixed, progress, p_exact,
                          gamma_exact, pruning)


def _one_number(name: str, value: Any) -> float:
    """A number (or a 0-d array) given for p or gamma with the default method."""
    if isinstance(value, np.ndarray) and value.ndim == 0:
        value = value[()]
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number with method='priced'; "
                         "candidate sequences need method='cv'")
    return float(value)


def _expected_seconds(m: int) -> float:
    # One search of all samples per bandwidth, a check and the final fit.
    grid = Rule().bandwidths(m).size
    return (grid + 2.0) * m * _SECONDS_PER_SAMPLE


def _select_priced(prepared: Any, samples: Samples, units: Units, b_fixed: Optional[float],
                   pen_fixed: Optional[float], progress: Optional[bool],
                   p_exact: Optional[float] = None, gamma_exact: Optional[float] = None,
                   pruning: str = "DOMINANCE",
                   chooser: Callable[..., Choice] = choose,
                   local_level: bool = True) -> Selection:
    # `chooser` is the rule that picks the pair: the benchmark hands in its variants here, and
    # turns the local noise level off with `local_level`.
    caller_delta = prepared.delta
    local = None
    if (local_level and prepared.delta is None and b_fixed is None and pen_fixed is None
            and p_exact is None and gamma_exact is None):
        # Only a choice of both halves (a given penalty or gamma is in units of one level) and
        # only without the caller's deviations: they already say how the noise changes, and
        # the differences of y / delta read a level times the spread of 1 / delta as noise.
        local = local_noise(samples)
    if local is not None:
        prepared, samples = _with_local_noise(prepared, samples, local.factors)
        units = units_of(samples)
    m = samples.x.shape[0]
    planned = (Rule().bandwidths(m).size if b_fixed is None else 0) + 1
    bar = progress_bar(progress, desc="vorn.select", unit="search", total=planned,
                       expected_seconds=_expected_seconds(m))
    try:
        # A gamma given by the caller is a penalty in noise variances that depends on the
        # bandwidth (gamma = p * penalty * s**2).
        penalty_of = None if gamma_exact is None else (
            lambda b: units.penalty(units.p(b), gamma_exact))
        choice = chooser(samples, units, bandwidth_samples=b_fixed, penalty=pen_fixed,
                         penalty_of=penalty_of, bar=bar)
        b, pen = choice.bandwidth_samples, choice.penalty
        # A p or gamma given by the caller is kept to the last bit rather than rebuilt.
        p_raw = units.p(b) if p_exact is None else p_exact
        try:
            gamma_raw = (pen * (p_raw if p_raw > 0.0 else 1.0) * units.scale**2
                         if gamma_exact is None else gamma_exact)
        except OverflowError:
            gamma_raw = math.inf
        widened = choice.factors > 1.0
        row_factor = np.ones(prepared.y.shape[0])
        known = samples.site_of_row >= 0
        row_factor[known] = choice.factors[samples.site_of_row[known]]
        if widened.any():
            base = prepared.delta if prepared.delta is not None else np.ones(row_factor.size)
            fit_delta: Optional[NDArray[np.float64]] = base * row_factor
        else:
            fit_delta = prepared.delta
        y_fit = prepared.y[:, 0] if prepared.one_dimensional else prepared.y
        given = p_exact is not None and gamma_exact is not None
        why = None if given else units.inexact(b, pen)
        if why is None and not given and energy_problem(prepared) is not None:
            why = "the data's energies overflow in their own units"
        note = ""
        arguments: dict[str, Any] = {"p": p_raw, "gamma": gamma_raw}
        if why is None:
            refit = _refit(prepared, samples, y_fit, p_raw, gamma_raw, fit_delta, pruning)
        else:
            refit, arguments = _refit_standardised(prepared, samples, units, y_fit, b, pen,
                                                   fit_delta, pruning)
            p_raw, gamma_raw = refit.p, refit.gamma
            if refit.frame is not None:
                note = (f"p and gamma cannot be written in the units of the data ({why}); "
                        "vorn.fit(x, y, **selection.arguments), with "
                        + ", ".join(f"{k}={v!r}" for k, v in arguments.items()
                                    if k != "delta")
                        + ", reproduces the fit")
        if fit_delta is not caller_delta:
            arguments["delta"] = fit_delta
        searches = choice.searches + [m]
        if bar is not None:
            bar.update(1)
    finally:
        if bar is not None:
            bar.close()

    x_std, y_std = units.standardise(samples)
    path_maker = PathMaker(x_std, y_std, samples.delta * choice.factors, units.p_standard(b),
                           p_raw * units.scale * units.scale, pen)

    best = np.flatnonzero((choice.table["bandwidth_samples"] == b)
                          & (choice.table["penalty"] == pen))
    score = float(choice.table["score"][best[0]]) if best.size else math.nan
    return Selection(
        p=p_raw,
        gamma=gamma_raw,
        score=score,
        table=choice.table,
        fit=refit,
        folds=None,
        seed=None,
        scoring="information criterion",
        method="priced",
        criterion=(choice.criterion if local is None else
                   f"the noise level changes {_counted(local.changes, 'time')} along x (up to "
                   f"{float(local.factors.max()):.3g} times the quietest stretch's, whose sd "
                   "is the noise below), each sample's deviation in every fit; "
                   + choice.criterion),
        noise=units.scale,
        phi=units.noise.phi,
        bandwidth=b * units.spacing,
        bandwidth_samples=b,
        penalty=pen,
        downweighted=np.flatnonzero(row_factor > 1.0),
        searches=searches,
        note=note,
        arguments=arguments,
        _path_maker=path_maker,
    )


def _with_local_noise(prepared: Any, samples: Samples, factors: NDArray[np.float64]
                      ) -> tuple[Any, Samples]:
    """The data with every row's deviation multiplied by the noise level of its site."""
    row_factor = np.ones(prepared.y.shape[0])
    known = samples.site_of_row >= 0
    row_factor[known] = factors[samples.site_of_row[known]]
    base = prepared.delta if prepared.delta is not None else np.ones(row_factor.size)
    prepared = prepared._replace(delta=base * row_factor)
    return prepared, samples_of(prepared.x, prepared.y, prepared.delta)


def _widened_delta(prepared: Any, samples: Samples, factors: NDArray[np.float64]
                   ) -> tuple[Optional[NDArray[np.float64]], NDArray[np.float64]]:
    """The deltas of the final fit (the caller's, with outliers' widened) and each row's
    widening factor."""
    row_factor = np.ones(prepared.y.shape[0])
    known = samples.site_of_row >= 0
    row_factor[known] = factors[samples.site_of_row[known]]
    if not np.any(factors > 1.0):
        return prepared.delta, row_factor
    base = prepared.delta if prepared.delta is not None else np.ones(row_factor.size)
    return base * row_factor, row_factor


def select_constant(prepared: Any, samples: Samples, units: Units, pen_fixed: Optional[float],
                    gamma_exact: Optional[float]) -> Selection:
    """:func:`select` with constant segments (:mod:`._constant_choice` has the rule)."""
    m = samples.y.shape[0]
    values, deltas = noise_values(samples.y, samples.delta)
    factors = outlier_factors(values, units.noise.sigma, Rule().outlier_cutoff, deltas)
    chosen = price_of(samples, units, factors)
    units = chosen.units
    scale = units.scale
    if gamma_exact is not None:
        gamma_raw = gamma_exact
        pen = gamma_raw / scale / scale
        criterion = "given gamma"
    else:
        pen = chosen.penalty if pen_fixed is None else pen_fixed
        criterion = chosen.why if pen_fixed is None else "given penalty"
        try:
            gamma_raw = pen * scale * scale
        except OverflowError:
            gamma_raw = math.inf
    fit_delta, row_factor = _widened_delta(prepared, samples, factors)
    arguments: dict[str, Any] = {"gamma": gamma_raw, "segments": "constant"}
    y_fit = prepared.y[:, 0] if prepared.one_dimensional else prepared.y
    refit = fit(prepared.x, y_fit, delta=fit_delta, **arguments)
    if fit_delta is not prepared.delta:
        arguments["delta"] = fit_delta
    refit.sites = prepared.sites
    refit.columns = prepared.columns
    x_std, y_std = units.standardise(samples)
    delta_eff = samples.delta * factors
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
        criterion=criterion,
        noise=scale,
        phi=units.noise.phi,
        bandwidth=math.nan,
        bandwidth_samples=math.nan,
        penalty=pen,
        downweighted=np.flatnonzero(row_factor > 1.0),
        searches=[m] * chosen.searches + [m],
        arguments=arguments,
        segments="constant",
        _path_maker=PathMaker(x_std, y_std, delta_eff, 1.0, scale * scale, pen,
                              segments="constant"),
    )


def _refit(prepared: Any, samples: Samples, y: NDArray[np.float64], p: float, gamma: float,
           delta: Optional[NDArray[np.float64]], pruning: str) -> Any:
    """The fit of all the data with the chosen pair, on the caller's sites (dates stay dates)."""
    if delta is prepared.delta and energy_problem(prepared) is None:
        # The samples the choice worked on are the ones this fit would prepare again.
        return fit_samples(prepared, samples, p, gamma, pruning)
    if delta is not None and energy_problem(prepared._replace(delta=delta)) is None:
        # Widened deviations: the same sites merged again with them, not prepared again.
        return fit_samples(prepared._replace(delta=delta),
                           reweighted(samples, prepared.y, delta), p, gamma, pruning)
    refit = fit(prepared.x, y, p, gamma, delta=delta, pruning=pruning)
    refit.sites = prepared.sites
    refit.columns = prepared.columns
    return refit


def _refit_standardised(prepared: Any, samples: Samples, units: Units, y: NDArray[np.float64],
                        b: float, pen: float, delta: Optional[NDArray[np.float64]],
                        pruning: str) -> tuple[Any, dict[str, Any]]:
    """The final fit when p and gamma cannot carry the choice: through the natural
    arguments of :func:`vorn.fit`, so that the same arguments reproduce it."""
    if delta is not None and delta is not prepared.delta:
        # With widened deviations the data have another mean weight and noise level: the
        # same roughness weight and jump price take another bandwidth and penalty.
        prepared = prepared._replace(delta=delta)
        samples = reweighted(samples, prepared.y, delta)
        widened = units_of(samples)
        b = b * (units.mean_weight / widened.mean_weight) ** 0.25
        pen = pen * (units.scale / widened.scale) ** 2
        units = widened
    arguments: dict[str, Any] = {"bandwidth_samples": b, "penalty": pen}
    if 0.0 < b < math.inf and pen > 0.0:
        # What fit(x, y, **arguments) does, from the samples and units measured already.
        return fit_natural(prepared, samples, units, b, pen, pruning), arguments
    refit = fit(prepared.x, y, delta=delta, pruning=pruning, **arguments)
    refit.sites = prepared.sites
    refit.columns = prepared.columns
    return refit, arguments


def _select_by_cv(prepared: Any, samples: Samples, folds: int, seed: int, p: Candidates,
                  gamma: Candidates, progress: Optional[bool], n_jobs: int, scoring: str,
                  pruning: str = "DOMINANCE") -> Selection:
    n = prepared.y.shape[0]
    keep = np.all(np.isfinite(prepared.y), axis=1)
    xs = (prepared.x if prepared.x is not None else np.arange(1.0, n + 1.0))[keep]
    ds = (prepared.delta if prepared.delta is not None else np.ones(n))[keep]
    ys = prepared.y[keep]
    xs, ys, ds = np.ascontiguousarray(xs), np.ascontiguousarray(ys), np.ascontiguousarray(ds)
    count = ys.shape[0]
    p_fixed = candidate_axis("p", p)
    gamma_fixed = candidate_axis("gamma", gamma)
    grid = CvGrid.from_data(xs, ys, ds)
    fold_lists = make_folds(count, folds, seed)
    workers = (os.cpu_count() or 1) if n_jobs == -1 else n_jobs
    search = CvSearch(grid, p_fixed, gamma_fixed)
    with CvScorer(xs, ys, ds, fold_lists, scoring, workers, progress) as scorer:
        search.run(scorer)
    table = search.table()
    finite = np.isfinite(table["score"])
    if not finite.any():
        if gamma_fixed is not None and np.all(gamma_fixed <= 0.0):
            raise ValueError(
                "cross-validation cannot score gamma = 0 (free jumps let every held-out "
                "sample sit in a gap); call select(x, y, gamma=0.0) with the default method, "
                "or vorn.fit(x, y, p, 0.0)")
        raise ValueError("no candidate (p, gamma) could be scored; check the data and folds")
    # The first best point wins a tie, so the result does not depend on float noise in order.
    best = int(np.flatnonzero(table["score"] == table["score"][finite].min())[0])
    p_best, gamma_best = float(table["p"][best]), float(table["gamma"][best])
    y_fit = prepared.y[:, 0] if prepared.one_dimensional else prepared.y
    refit = _refit(prepared, samples, y_fit, p_best, gamma_best, prepared.delta, pruning)
    units = units_of(samples)
    b = units.bandwidth_samples(p_best)
    return Selection(
        p=p_best,
        gamma=gamma_best,
        score=float(table["score"][best]),
        table=table,
        fit=refit,
        folds=folds,
        seed=seed,
        scoring=scoring,
        method="cv",
        criterion=f"{folds}-fold cross-validation ({scoring}) over a grid of (p, gamma)",
        noise=units.scale,
        phi=units.noise.phi,
        bandwidth=b * units.spacing,
        bandwidth_samples=b,
        penalty=units.penalty(p_best, gamma_best),
        searches=[count - count // folds] * (folds * table.size) + [count],
        arguments={"p": p_best, "gamma": gamma_best},
    )
