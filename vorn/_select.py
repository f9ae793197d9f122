"""Choice of the smoothing parameter and the jump penalty by K-fold cross-validation."""

from __future__ import annotations

import math
import os
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Optional, Sequence, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

import _vorn_core

from ._checks import as_float_array, check_gamma, check_p, prepare
from ._fit import Fit, _horner, _piece_index, fit

__all__ = ["Selection", "cv_score", "default_grid", "noise_level", "select"]

# Coarse grid in log10 units: the smoothing bandwidth (in sample spacings) and the jump
# penalty (in units of the energy one noisy sample carries).
_LOWEST_BANDWIDTH = -0.3  # half a spacing; the top end depends on n
_PENALTY_RANGE = (-0.5, 2.5)
_COARSE_BANDWIDTH_STEP = 0.5  # log10 of bandwidth; lambda moves 4x as fast
_COARSE_PENALTY_STEP = 0.5
_REFINEMENTS = 2

Candidates = Union[None, float, Sequence[float], NDArray[np.float64]]


@dataclass
class Selection:
    """Result of :func:`select`.

    Attributes
    ----------
    p, gamma : float
        The selected smoothing parameter and jump penalty.
    score : float
        Their cross-validation score: mean squared standardised prediction error.
    table : ndarray
        Every evaluated point, in evaluation order, as a structured array with the fields
        ``p``, ``gamma`` and ``score``.
    fit : Fit
        The fit of all the data with the selected parameters.
    folds : int
        Number of folds used.
    seed : int
        Seed of the fold assignment.
    scoring : str
        How held-out samples were scored (see :func:`cv_score`).
    """

    p: float
    gamma: float
    score: float
    table: NDArray[Any] = field(repr=False)
    fit: Fit = field(repr=False)
    folds: int = 10
    seed: int = 0
    scoring: str = "gap-aware"


def noise_level(
    x: Optional[ArrayLike], y: ArrayLike, delta: Optional[ArrayLike] = None
) -> NDArray[np.float64]:
    """Robust estimate of the noise standard deviation of each column, in units of `delta`.

    The median absolute deviation of first differences (taken in the order of the sites)
    divided by 0.6745 * sqrt(2): jumps and a smooth trend move only a few differences, so
    they barely affect it.

    Parameters
    ----------
    x, y, delta : array_like
        As for :func:`vorn.fit`.

    Returns
    -------
    ndarray, shape (d,)
        Estimated standard deviation of ``y / delta`` per column.
    """
    prepared = prepare(x, y, delta)
    xs, ys, ds = _finite_rows(prepared.x, prepared.y, prepared.delta)
    order = np.argsort(xs, kind="stable")
    ys, ds = ys[order], ds[order]
    diffs = np.diff(ys, axis=0) / np.sqrt(ds[1:] ** 2 + ds[:-1] ** 2)[:, None]
    centred = diffs - np.median(diffs, axis=0)
    return np.asarray(np.median(np.abs(centred), axis=0) / 0.6744897501960817)


def _finite_rows(
    x: Optional[NDArray[np.float64]],
    y: NDArray[np.float64],
    delta: Optional[NDArray[np.float64]],
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """Drop the missing rows, filling in the default sites and deviations."""
    n = y.shape[0]
    keep = np.all(np.isfinite(y), axis=1)
    xs = x if x is not None else np.arange(1.0, n + 1.0)
    ds = delta if delta is not None else np.ones(n)
    return (
        np.ascontiguousarray(xs[keep]),
        np.ascontiguousarray(y[keep]),
        np.ascontiguousarray(ds[keep]),
    )


def default_grid(
    x: Optional[ArrayLike], y: ArrayLike, delta: Optional[ArrayLike] = None
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The coarse search grid that :func:`select` starts from.

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
        log10 of the jump penalty in units of ``p * s**2``, where s**2 is the robust noise
        variance (:func:`noise_level`, summed over columns): the energy that one noisy sample
        adds. It runs from 10**-0.5 to 10**2.5 in half decades.
    """
    prepared = prepare(x, y, delta)
    scale = _Scales.from_data(prepared.x, prepared.y, prepared.delta)
    return scale.log_lambda_grid(), scale.log_penalty_grid()


@dataclass(frozen=True)
class _Scales:
    """The natural units of the data that the search grid is expressed in."""

    spacing: float
    mean_weight: float
    count: int
    noise_energy: float

    @classmethod
    def from_data(
        cls,
        x: Optional[NDArray[np.float64]],
        y: NDArray[np.float64],
        delta: Optional[NDArray[np.float64]],
    ) -> _Scales:
        xs, ys, ds = _finite_rows(x, y, delta)
        sites = np.unique(xs)
        spacing = float(sites[-1] - sites[0]) / (sites.shape[0] - 1)
        mean_weight = float(np.mean(1.0 / ds**2))
        sigma = noise_level(xs, ys, ds)
        energy = float(np.sum(sigma**2))
        if not energy > 0.0:
            # Noise-free (or quantised) data: fall back on the spread of the differences.
            diffs = np.diff(ys[np.argsort(xs, kind="stable")], axis=0)
            energy = float(np.sum(np.var(diffs, axis=0))) * mean_weight
        if not energy > 0.0:
            energy = 1.0
        return cls(spacing, mean_weight, int(sites.shape[0]), energy)

    def lam(self, log_bandwidth: float) -> float:
        """Roughness weight whose smoothing bandwidth is 10**log_bandwidth spacings."""
        bandwidth = math.pow(10.0, log_bandwidth) * self.spacing
        return self.mean_weight * bandwidth**4 / self.spacing

    def log_lambda_grid(self) -> NDArray[np.float64]:
        top = math.log10(max(self.count / 4.0, 2.0))
        steps = np.arange(_LOWEST_BANDWIDTH, top + 1e-9, _COARSE_BANDWIDTH_STEP)
        return np.array([math.log10(self.lam(float(s))) for s in steps])

    @staticmethod
    def log_penalty_grid() -> NDArray[np.float64]:
        lo, hi = _PENALTY_RANGE
        return np.arange(lo, hi + 1e-9, _COARSE_PENALTY_STEP)

    def gamma(self, p: float, log_penalty: float) -> float:
        # With p = 0 the search prices straight lines without the factor p.
        unit = self.noise_energy * (p if p > 0.0 else 1.0)
        return math.pow(10.0, log_penalty) * unit


def _p_from_log_lambda(log_lambda: float) -> float:
    return 1.0 / (1.0 + math.pow(10.0, log_lambda))


def cv_score(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    delta: NDArray[np.float64],
    folds: list[list[int]],
    p: float,
    gamma: float,
    scoring: str = "gap-aware",
) -> float:
    """Cross-validation score of one (p, gamma) pair.

    Parameters
    ----------
    x, y, delta : ndarray
        Sites (n,), values (n, d) and standard deviations (n,), finite.
    folds : list of list of int
        Held-out sample indices of each fold.
    p, gamma : float
        The pair to score.
    scoring : {"gap-aware", "core"}
        "core" is ``_vorn_core.vorn_cvscore``: the sum, over folds and held-out samples, of
        the squared standardised error with which the fit on the other folds predicts the
        sample, divided by n. "gap-aware" differs in one respect, explained below.

    Returns
    -------
    float
        The score; +inf when the pair cannot be scored (``gamma <= 0``, ``p`` outside
        [0, 1]) or a training fit fails.

    Notes
    -----
    A held-out sample that lies strictly between the two training samples either side of a
    jump of its training fit cannot be placed by that fit: the training data do not say on
    which side of the jump it belongs. The fit puts the jump halfway, which on evenly spaced
    data is exactly at the held-out site, where the right-hand piece serves, so the sample
    just left of every true jump is predicted from the wrong side and each true jump costs
    about its height squared. That is enough for cross-validation to prefer a steep smooth
    ramp to a jump. "gap-aware" scores such a sample against the nearer of the two one-sided
    limits, as the fit on all data (which sees the sample) would place it; every other
    sample is scored exactly as by "core".
    """
    if scoring == "core":
        return float(_vorn_core.vorn_cvscore(x, y, p, gamma, delta, folds, "PELT", "none"))
    if not (gamma > 0.0 and 0.0 <= p <= 1.0):
        return math.inf
    n = x.shape[0]
    total = 0.0
    for fold in folds:
        held = np.asarray(fold, dtype=np.intp)
        train = np.ones(n, dtype=bool)
        train[held] = False
        try:
            raw = _vorn_core.vorn(x[train], y[train], p, gamma, delta[train], "PELT", "none")
        except RuntimeError:
            return math.inf  # too few training samples: unscorable, as in the core
        breaks = raw["breaks"]
        coefs = raw["coefs"].reshape(breaks.shape[0] - 1, raw["dim"], 4)
        sites = x[held]
        predicted = _horner(breaks, coefs, _piece_index(breaks, sites), sites, 0)
        errors = np.sum(((predicted - y[held]) / delta[held][:, None]) ** 2, axis=1)
        last = raw["discont_idx"]
        if last.size:
            prepared = raw["x"]
            lo, hi = prepared[last], prepared[last + 1]
            gap = np.searchsorted(lo, sites, side="left") - 1
            inside = (gap >= 0) & (sites < hi[np.maximum(gap, 0)])
            if inside.any():
                # Either side of the jump may serve such a site; score the nearer one.
                loc = raw["discont"][gap[inside]]
                right = _piece_index(breaks, loc)
                left = np.searchsorted(breaks, loc, side="left") - 1
                observed = y[held][inside]
                scale = delta[held][inside][:, None]
                one_sided = [
                    np.sum(((_horner(breaks, coefs, piece, sites[inside], 0) - observed)
                            / scale) ** 2, axis=1)
                    for piece in (left, right)
                ]
                errors[inside] = np.minimum(*one_sided)
        total += float(np.sum(errors))
    return float(total / n)


# Worker-side copy of the data, so that each task ships only two numbers.
_WORKER_DATA: Optional[tuple[Any, ...]] = None


def _init_worker(*data: Any) -> None:
    global _WORKER_DATA
    _WORKER_DATA = data


def _score_in_worker(pair: tuple[float, float]) -> float:
    assert _WORKER_DATA is not None
    x, y, delta, folds, scoring = _WORKER_DATA
    return cv_score(x, y, delta, folds, pair[0], pair[1], scoring)


def _make_folds(n: int, folds: int, seed: int) -> list[list[int]]:
    order = np.random.default_rng(seed).permutation(n)
    return [part.tolist() for part in np.array_split(order, folds)]


def _axis(name: str, given: Candidates) -> Optional[NDArray[np.float64]]:
    """None for a searched axis, else the fixed candidate values."""
    if given is None:
        return None
    if isinstance(given, (int, float, np.integer, np.floating)) and not isinstance(given, bool):
        values = np.array([float(given)])
    else:
        values = as_float_array(name, given)
        if values.ndim != 1 or values.size == 0:
            raise ValueError(f"{name} must be a number or a non-empty 1-D sequence of numbers")
    checker = check_p if name == "p" else check_gamma
    return np.array([checker(float(v)) for v in values])


def select(
    x: Optional[ArrayLike],
    y: ArrayLike,
    *,
    delta: Optional[ArrayLike] = None,
    folds: int = 10,
    seed: int = 0,
    p: Candidates = None,
    gamma: Candidates = None,
    progress: bool = False,
    n_jobs: int = 1,
    scoring: str = "gap-aware",
) -> Selection:
    """Choose `p` and `gamma` by K-fold cross-validation and fit with them.

    The samples are assigned to `folds` folds by a seeded random permutation. Each candidate
    pair is scored by the mean squared standardised error with which fits on K - 1 folds
    predict the held-out fold (:func:`cv_score`). The search starts on a coarse logarithmic
    grid derived from the data (:func:`default_grid`) and is refined twice around the best
    point, halving the step each time.

    Parameters
    ----------
    x, y, delta : array_like
        As for :func:`vorn.fit`.
    folds : int
        Number of folds K, 2 <= K <= number of samples.
    seed : int
        Seed of the fold assignment (``numpy.random.default_rng``).
    p, gamma : float or sequence of float, optional
        A number fixes that parameter; a sequence gives its candidates (searched exactly, not
        refined); None searches the default range.
    progress : bool
        Show a progress bar (needs tqdm: ``pip install 'vorn[progress]'``); it switches itself
        off when the output is not a terminal.
    n_jobs : int
        Worker processes for the scoring; -1 uses every CPU. The core holds the interpreter
        lock while it computes, so parallel scoring needs processes, not threads.
    scoring : {"gap-aware", "core"}
        How held-out samples are scored (:func:`cv_score`). "core" is the extension's own
        ``vorn_cvscore``; "gap-aware" (the default) scores a held-out sample that falls
        between the two training samples around a jump against the nearer side of the jump,
        which otherwise counts against every jump on evenly spaced data.

    Returns
    -------
    Selection
        The chosen pair, its score, the table of every evaluated pair and the refitted
        :class:`Fit`.

    Raises
    ------
    ValueError
        For bad data (as :func:`vorn.fit`), bad `folds`, `n_jobs` or parameter candidates, or
        when no candidate pair could be scored.
    ImportError
        If `progress` is set and tqdm is missing.

    Examples
    --------
    >>> from vorn import datasets, select
    >>> x, y, true_jumps = datasets.heavisine(n=200, noise=0.2, seed=1)
    >>> s = select(x, y)
    >>> s.fit.jumps.round(2)
    array([0.3 , 0.72])
    """
    prepared = prepare(x, y, delta)
    if isinstance(folds, bool) or not isinstance(folds, (int, np.integer)):
        raise TypeError(f"folds must be an int, got {type(folds).__name__}")
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be an int, got {type(seed).__name__}")
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, (int, np.integer)):
        raise TypeError(f"n_jobs must be an int, got {type(n_jobs).__name__}")
    if scoring not in ("gap-aware", "core"):
        raise ValueError(f"scoring must be 'gap-aware' or 'core', got {scoring!r}")
    if n_jobs == 0 or n_jobs < -1:
        raise ValueError(f"n_jobs must be a positive number of processes or -1, got {n_jobs}")
    xs, ys, ds = _finite_rows(prepared.x, prepared.y, prepared.delta)
    n = ys.shape[0]
    if not 2 <= folds <= n:
        raise ValueError(f"folds must lie between 2 and the number of samples ({n}), got {folds}")
    p_fixed = _axis("p", p)
    gamma_fixed = _axis("gamma", gamma)
    scales = _Scales.from_data(xs, ys, ds)
    fold_lists = _make_folds(n, int(folds), int(seed))

    workers = (os.cpu_count() or 1) if n_jobs == -1 else int(n_jobs)
    search = _Search(scales, p_fixed, gamma_fixed)
    with _Scorer(xs, ys, ds, fold_lists, scoring, workers, progress) as scorer:
        search.run(scorer)

    table = search.table()
    finite = np.isfinite(table["score"])
    if not finite.any():
        raise ValueError("no candidate (p, gamma) could be scored; check the data and folds")
    # The first best point wins a tie, so the result does not depend on float noise in order.
    best = int(np.flatnonzero(table["score"] == table["score"][finite].min())[0])
    p_best, gamma_best = float(table["p"][best]), float(table["gamma"][best])
    refit = fit(prepared.x, prepared.y[:, 0] if prepared.one_dimensional else prepared.y,
                p_best, gamma_best, delta=prepared.delta)
    return Selection(
        p=p_best,
        gamma=gamma_best,
        score=float(table["score"][best]),
        table=table,
        fit=refit,
        folds=int(folds),
        seed=int(seed),
        scoring=scoring,
    )


class _Scorer:
    """Scores batches of (p, gamma) pairs, serially or in worker processes."""

    def __init__(
        self,
        x: NDArray[np.float64],
        y: NDArray[np.float64],
        delta: NDArray[np.float64],
        folds: list[list[int]],
        scoring: str,
        workers: int,
        progress: bool,
    ) -> None:
        self._data = (x, y, delta, folds, scoring)
        self._workers = workers
        self._pool: Optional[ProcessPoolExecutor] = None
        self._bar: Any = None
        if progress:
            try:
                from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
            except ImportError:
                raise ImportError(
                    "progress=True needs tqdm; install it with: pip install 'vorn[progress]'"
                ) from None
            self._bar = tqdm(desc="vorn.select", unit="pair", disable=None)

    def __enter__(self) -> _Scorer:
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
                scores.append(cv_score(x, y, delta, folds, p, gamma, scoring))
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


class _Search:
    """Coarse grid, then refinement around the best point, in log parameter space."""

    def __init__(
        self,
        scales: _Scales,
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
            du = _COARSE_BANDWIDTH_STEP * 4.0
        else:
            us, du = [float(i) for i in range(self._p_fixed.shape[0])], 0.0
        if self._gamma_fixed is None:
            vs = list(self._scales.log_penalty_grid())
            dv = _COARSE_PENALTY_STEP
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
