"""Cross-validation: the score of one pair, the grid it starts from, and the search over it
that ``select(method="cv")`` runs."""

from __future__ import annotations

import math
import numbers
import os
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Optional, Sequence, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engine
from ._checks import as_float_array, check_gamma, check_p
from ._noise import first_difference_sd
from ._problem import Problem
from ._progress import progress_bar
from ._selection import Selection

__all__ = ["CvGrid", "cv_score", "default_grid", "fold_score", "select_by_cv"]

# The coarse grid of the cross-validation search, in log10 units: the smoothing bandwidth (in
# sample spacings) and the jump penalty (in noise variances).
_LOWEST_BANDWIDTH = -0.3  # half a spacing; the top end depends on n
PENALTY_RANGE = (-0.5, 2.5)
COARSE_BANDWIDTH_STEP = 0.5  # log10 of bandwidth; lambda moves 4x as fast
COARSE_PENALTY_STEP = 0.5
_REFINEMENTS = 2

Candidates = Union[None, float, Sequence[float], NDArray[np.float64]]


def _p_from_log_lambda(log_lambda: float) -> float:
    return 1.0 / (1.0 + math.pow(10.0, log_lambda))


# Worker-side copy of the data, so that each task ships only two numbers.
_WORKER_DATA: Optional[tuple[Any, ...]] = None


def _init_worker(*data: Any) -> None:
    global _WORKER_DATA
    _WORKER_DATA = data


def _score_in_worker(pair: tuple[float, float]) -> float:
    assert _WORKER_DATA is not None
    x, y, delta, folds, scoring = _WORKER_DATA
    return fold_score(x, y, delta, folds, pair[0], pair[1], scoring)


def make_folds(n: int, folds: int, seed: int) -> list[list[int]]:
    order = np.random.default_rng(seed).permutation(n)
    return [part.tolist() for part in np.array_split(order, folds)]


def candidate_axis(name: str, given: Candidates) -> Optional[NDArray[np.float64]]:
    """None for a searched axis, else the fixed candidate values."""
    if given is None:
        return None
    if isinstance(given, (int, float, np.integer, np.floating)) and not isinstance(given, bool):
        values = np.array([float(given)])
    else:
        values = as_float_array(name, given)
        if values.ndim == 0:  # a 0-d array is one number
            values = values.reshape(1)
        if values.ndim != 1 or values.size == 0:
            raise ValueError(f"{name} must be a number or a non-empty 1-D sequence of numbers")
    checker = check_p if name == "p" else check_gamma
    return np.array([checker(float(v)) for v in values])


class CvScorer:
    """Scores batches of (p, gamma) pairs, serially or in worker processes."""

    def __init__(
        self,
        x: NDArray[np.float64],
        y: NDArray[np.float64],
        delta: NDArray[np.float64],
        folds: list[list[int]],
        scoring: str,
        workers: int,
        progress: Optional[bool],
    ) -> None:
        self._data = (x, y, delta, folds, scoring)
        self._workers = workers
        self._pool: Optional[ProcessPoolExecutor] = None
        self._bar: Any = progress_bar(progress, desc="vorn.select", unit="pair")

    def __enter__(self) -> CvScorer:
        if self._workers > 1:
            self._pool = ProcessPoolExecutor(
                max_workers=self._workers, initializer=_init_worker, initargs=self._data
            )
        return self

    def __exit__(self, *exc: object) -> None:
        if self._pool is not None:
            self._pool.shutdown(wait=True, cancel_futures=True)
        if self._bar is not None:
            self._bar.close()

    def __call__(self, pairs: list[tuple[float, float]]) -> list[float]:
        if self._bar is not None:
            self._bar.total = (self._bar.total or 0) + len(pairs)
            self._bar.refresh()
        if self._pool is None:
            x, y, delta, folds, scoring = self._data
            scores = []
            for p, gamma in pairs:
                scores.append(fold_score(x, y, delta, folds, p, gamma, scoring))
                if self._bar is not None:
                    self._bar.update(1)
            return scores
        chunk = max(1, len(pairs) // (4 * self._workers))
        scores = []
        for value in self._pool.map(_score_in_worker, pairs, chunksize=chunk):
            scores.append(value)
            if self._bar is not None:
                self._bar.update(1)
        return scores


class CvSearch:
    """Coarse grid, then refinement around the best point, in log parameter space."""

    def __init__(
        self,
        scales: CvGrid,
        p_fixed: Optional[NDArray[np.float64]],
        gamma_fixed: Optional[NDArray[np.float64]],
    ) -> None:
        self._scales = scales
        self._p_fixed = p_fixed
        self._gamma_fixed = gamma_fixed
        # Evaluated points keyed by their grid coordinates (u, v); values are (p, gamma, score).
        self._seen: dict[tuple[float, float], tuple[float, float, float]] = {}
        self._order: list[tuple[float, float]] = []

    def _pair(self, u: float, v: float) -> tuple[float, float]:
        p = float(self._p_fixed[int(u)]) if self._p_fixed is not None else _p_from_log_lambda(u)
        if self._gamma_fixed is not None:
            return p, float(self._gamma_fixed[int(v)])
        return p, self._scales.gamma(p, v)

    def _evaluate(self, coords: Iterable[tuple[float, float]], scorer: Callable[..., list[float]]
                  ) -> None:
        fresh = []
        for c in coords:
            key = (round(c[0], 9), round(c[1], 9))
            if key not in self._seen and key not in fresh:
                fresh.append(key)
        if not fresh:
            return
        pairs = [self._pair(u, v) for u, v in fresh]
        for key, pair, score in zip(fresh, pairs, scorer(pairs)):
            self._seen[key] = (pair[0], pair[1], score)
            self._order.append(key)

    def _best(self) -> Optional[tuple[float, float]]:
        best_key, best_score = None, math.inf
        for key in self._order:
            score = self._seen[key][2]
            if score < best_score:
                best_key, best_score = key, score
        return best_key

    def run(self, scorer: Callable[..., list[float]]) -> None:
        if self._p_fixed is None:
            us = list(self._scales.log_lambda_grid())
            du = COARSE_BANDWIDTH_STEP * 4.0
        else:
            us, du = [float(i) for i in range(self._p_fixed.shape[0])], 0.0
        if self._gamma_fixed is None:
            vs = list(self._scales.log_penalty_grid())
            dv = COARSE_PENALTY_STEP
        else:
            vs, dv = [float(i) for i in range(self._gamma_fixed.shape[0])], 0.0
        self._evaluate([(u, v) for u in us for v in vs], scorer)
        for _ in range(_REFINEMENTS):
            du, dv = du / 2.0, dv / 2.0
            if du == 0.0 and dv == 0.0:
                break
            centre = self._best()
            if centre is None:
                break
            u0, v0 = centre
            self._evaluate(
                [(u0 + i * du, v0 + j * dv) for i in (-1, 0, 1) for j in (-1, 0, 1)], scorer
            )

    def table(self) -> NDArray[Any]:
        rows = [self._seen[key] for key in self._order]
        return np.array(rows, dtype=[("p", np.float64), ("gamma", np.float64),
                                     ("score", np.float64)])


def default_grid(
    x: Optional[ArrayLike], y: ArrayLike, delta: Optional[ArrayLike] = None
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The coarse grid that cross-validation (``select(method="cv")``) starts from.

    Parameters
    ----------
    x, y, delta : array_like
        As for :func:`vorn.fit`.

    Returns
    -------
    log_lambda : ndarray
        log10 of the roughness weight ``lambda = (1 - p) / p``, so ``p = 1 / (1 + lambda)``.
        A smoothing spline with roughness weight lambda on samples of mean spacing h and mean
        weight w (``1 / delta**2``) averages over a bandwidth of about
        ``(lambda * h / w) ** 0.25``; the grid runs that bandwidth from half a spacing (almost
        interpolation) to a quarter of the data range, in steps of 10**0.5 (two decades of
        lambda). The classical starting point ``p = 1 / (1 + h**3 / 6)`` (bandwidth about
        0.64 h at unit weights) lies at its low end.
    log_penalty : ndarray
        log10 of the jump penalty in units of ``p * s**2``, where s**2 is the noise variance
        (the first-difference estimate of :func:`noise_level`, summed over columns): the
        energy that one noisy sample adds. It runs from 10**-0.5 to 10**2.5 in half decades.
    """
    grid = CvGrid.of(Problem.of(x, y, delta))
    return grid.log_lambda_grid(), grid.log_penalty_grid()


@dataclass(frozen=True)
class CvGrid:
    """Units of the cross-validation grid: first-difference noise, summed over columns."""

    spacing: float
    mean_weight: float
    count: int
    noise_energy: float

    @classmethod
    def of(cls, problem: Problem) -> CvGrid:
        samples = problem.samples
        spacing = float(samples.x[-1] - samples.x[0]) / (samples.x.shape[0] - 1)
        kept = samples.site_of_row >= 0
        mean_weight = float(np.mean(1.0 / problem.row_deltas[kept] ** 2))
        ys, ds = problem.rows_in_site_order()
        energy = float(np.sum(first_difference_sd(ys, ds) ** 2))
        if not energy > 0.0:
            # Noise-free (or quantised) data: fall back on the spread of the differences.
            energy = float(np.sum(np.var(np.diff(ys, axis=0), axis=0))) * mean_weight
        if not energy > 0.0:
            energy = 1.0
        return cls(spacing, mean_weight, int(samples.x.shape[0]), energy)

    def lam(self, log_bandwidth: float) -> float:
        """Roughness weight whose smoothing bandwidth is 10**log_bandwidth spacings."""
        bandwidth = math.pow(10.0, log_bandwidth) * self.spacing
        return self.mean_weight * bandwidth**4 / self.spacing

    def log_lambda_grid(self) -> NDArray[np.float64]:
        top = math.log10(max(self.count / 4.0, 2.0))
        steps = np.arange(_LOWEST_BANDWIDTH, top + 1e-9, COARSE_BANDWIDTH_STEP)
        return np.array([math.log10(self.lam(float(s))) for s in steps])

    @staticmethod
    def log_penalty_grid() -> NDArray[np.float64]:
        lo, hi = PENALTY_RANGE
        return np.arange(lo, hi + 1e-9, COARSE_PENALTY_STEP)

    def gamma(self, p: float, log_penalty: float) -> float:
        # With p = 0 the search prices straight lines without the factor p.
        unit = self.noise_energy * (p if p > 0.0 else 1.0)
        return math.pow(10.0, log_penalty) * unit


def fold_score(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    delta: NDArray[np.float64],
    folds: Sequence[Any],
    p: float,
    gamma: float,
    scoring: str = "gap-aware",
) -> float:
    """:func:`cv_score` on sorted-out arrays: x (n,), y (n, d), delta (n,), folds of indices."""
    fold_arrays = [np.ascontiguousarray(fold, dtype=np.int64) for fold in folds]
    if scoring == "core":
        return float(_engine.cv_score(x, y, delta, fold_arrays, p, gamma, "PELT", "none"))
    if not (gamma > 0.0 and 0.0 <= p <= 1.0):
        return math.inf
    found = _engine.cv_predict(x, y, delta, fold_arrays, p, gamma, "DOMINANCE", "none")
    if not bool(np.all(found["fold_ok"])):
        return math.inf  # too few training samples: unscorable, as in the core
    held = np.concatenate(fold_arrays) if fold_arrays else np.zeros(0, dtype=np.int64)
    observed = y[held]
    scale = delta[held][:, None]
    errors = np.sum(((found["predicted"] - observed) / scale) ** 2, axis=1)
    gap = found["in_gap"]
    if gap.any():
        # Either side of the jump may serve such a site; score the nearer one.
        before, after = (
            np.sum(((found[side][gap] - observed[gap]) / scale[gap]) ** 2, axis=1)
            for side in ("left", "right")
        )
        errors[gap] = np.minimum(before, after)
    return float(np.sum(errors) / x.shape[0])


def cv_score(
    x: Any,
    y: Any,
    delta: Any,
    folds: Union[int, Sequence[Any]],
    p: Any,
    gamma: Any,
    scoring: str = "gap-aware",
) -> float:
    """Cross-validation score of one (p, gamma) pair.

    Parameters
    ----------
    x : array_like or None
        Sample sites, shape (n,); None means 1, 2, ..., n.
    y : array_like
        Values, shape (n,) or (n, d), finite.
    delta : float or array_like or None
        Standard deviation of each sample, shape (n,), or one for all; None means 1.
    folds : int or sequence of sequences of int
        Held-out sample indices (0 to n - 1) of each fold, or a number k of folds: sample i
        is held out in fold ``i % k``.
    p, gamma : float
        The pair to score.
    scoring : {"gap-aware", "core"}
        "core" is the extension's score (``_vorn_core.vorn_cvscore``): the sum, over folds and
        held-out samples, of the squared standardised error with which the fit on the other
        folds predicts the sample, divided by n. "gap-aware" differs in one respect, explained
        below.

    Returns
    -------
    float
        The score; +inf when the pair cannot be scored (``gamma <= 0``, ``p`` outside
        [0, 1]) or a training fit fails.

    Raises
    ------
    TypeError, ValueError
        For data that :func:`vorn.fit` would refuse, a row of `y` that is not finite, folds
        that are not index lists within 0 to n - 1, or an unknown `scoring`.

    Notes
    -----
    A held-out sample that lies strictly between the two training samples either side of a
    jump of its training fit cannot be placed by that fit: the training data do not say on
    which side of the jump it belongs. The fit puts the jump halfway, which on evenly spaced
    data is exactly at the held-out site, where the right-hand piece serves, so the sample
    just left of every true jump is predicted from the wrong side and each true jump costs
    about its height squared. "gap-aware" scores such a sample against the nearer of the two
    one-sided limits, as the fit on all data (which sees the sample) would place it; every
    other sample is scored exactly as by "core". That choice looks at the held-out value, so
    the score is optimistic about jumps: each added jump can only lower it. This is why
    :func:`vorn.select` does not use cross-validation by default.
    """
    if scoring not in ("gap-aware", "core"):
        raise ValueError(f"scoring must be 'gap-aware' or 'core', got {scoring!r}")
    problem = Problem.of(x, y, delta)
    values = problem.prepared.y
    n = values.shape[0]
    bad = np.flatnonzero(~np.all(np.isfinite(values), axis=1))
    if bad.size:
        raise ValueError(
            f"y must be finite in every row to be scored, got a missing value in row "
            f"{int(bad[0])}; drop the rows with missing values first"
        )
    return fold_score(problem.row_sites, values, problem.row_deltas, _fold_arrays(folds, n),
                      _number("p", p), _number("gamma", gamma), scoring)


def _number(name: str, value: Any) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.ndarray)):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    array = np.asarray(value)
    if array.ndim != 0:
        raise ValueError(f"{name} must be a single number, got an array of shape {array.shape}")
    return float(array)


def _fold_arrays(folds: Union[int, Sequence[Any]], n: int) -> list[NDArray[np.int64]]:
    """The folds as int64 index arrays, checked against the n samples."""
    if isinstance(folds, (int, np.integer)) and not isinstance(folds, bool):
        if not 2 <= folds <= n:
            raise ValueError(f"folds must be from 2 to the number of samples ({n}), got {folds}")
        return [np.arange(k, n, int(folds), dtype=np.int64) for k in range(int(folds))]
    if isinstance(folds, (str, bytes)) or not isinstance(folds, Sequence):
        raise TypeError(
            f"folds must be a number of folds or a sequence of index lists, got "
            f"{type(folds).__name__}"
        )
    arrays = []
    for k, fold in enumerate(folds):
        indices = np.asarray(fold)
        if indices.size == 0:
            indices = indices.astype(np.int64)
        if indices.ndim != 1 or not np.issubdtype(indices.dtype, np.integer):
            raise TypeError(f"folds[{k}] must be a list of sample indices (integers)")
        if indices.size and (indices.min() < 0 or indices.max() >= n):
            raise ValueError(
                f"folds[{k}] holds index {int(indices[(indices < 0) | (indices >= n)][0])}, "
                f"but the samples are numbered 0 to {n - 1}"
            )
        arrays.append(np.ascontiguousarray(indices, dtype=np.int64))
    return arrays


def select_by_cv(problem: Problem, folds: int, seed: int, p: Candidates, gamma: Candidates,
                 progress: Optional[bool], n_jobs: int, scoring: str, pruning: str,
                 precondition: str = "none") -> Selection:
    """:func:`vorn.select` with ``method="cv"``: K-fold cross-validation over a grid of
    (p, gamma), coarse and then refined around the best pair."""
    keep = np.all(np.isfinite(problem.prepared.y), axis=1)
    xs, ys, ds = problem.row_sites[keep], problem.prepared.y[keep], problem.row_deltas[keep]
    xs, ys, ds = np.ascontiguousarray(xs), np.ascontiguousarray(ys), np.ascontiguousarray(ds)
    count = ys.shape[0]
    p_fixed = candidate_axis("p", p)
    gamma_fixed = candidate_axis("gamma", gamma)
    grid = CvGrid.of(problem)
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
    refit = problem.fit(p_best, gamma_best, pruning, precondition)
    units = problem.units
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
