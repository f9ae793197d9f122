"""The cross-validation grid search: coarse grid, then refinement around the best pair."""

from __future__ import annotations

import math
from concurrent.futures import ProcessPoolExecutor
from typing import Any, Callable, Iterable, Optional, Sequence, Union

import numpy as np
from numpy.typing import NDArray

from ._checks import as_float_array, check_gamma, check_p
from ._progress import progress_bar
from ._scoring import fold_score
from ._units import COARSE_BANDWIDTH_STEP, COARSE_PENALTY_STEP, CvGrid

__all__ = ["CvScorer", "CvSearch", "candidate_axis", "make_folds"]

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
