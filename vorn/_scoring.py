"""Every fit the parameter choice makes, and the scores it compares them by."""

from __future__ import annotations

import math
import numbers
from typing import Any, NamedTuple, Optional, Sequence, Union

import numpy as np
from numpy.typing import NDArray

from . import _engine
from ._checks import prepare

__all__ = ["FitArrays", "FitInputs", "cv_score", "effective_dof", "fit_arrays", "fit_formed",
           "fit_inputs", "fold_score"]

# Interior value of the smoother's diagonal, times the bandwidth: the equivalent kernel of a
# cubic smoothing spline of bandwidth b samples is exp(-|t|/(b sqrt 2)) sin(|t|/(b sqrt 2) +
# pi/4) / (2 b), which is 1 / (2 sqrt 2 b) at t = 0.
_KERNEL_PEAK = 1.0 / (2.0 * math.sqrt(2.0))

_SEGMENTS = ("smooth", "linear", "constant")
SEGMENTS_MESSAGE = "segments must be 'smooth', 'linear' or 'constant'"


class FitArrays(NamedTuple):
    """The parts of one fit that scoring needs."""

    breaks: NDArray[np.float64]
    coefs: NDArray[np.float64]  # (pieces, d, 4), highest power first
    jumps: NDArray[np.float64]
    jump_idx: NDArray[np.int64]  # last prepared sample before each jump
    sites: NDArray[np.float64]  # the prepared (sorted, distinct) training sites


class FitInputs(NamedTuple):
    """Sorted, distinct, finite samples as the engine's fits read them: sites, values and
    weights. Formed once for the many fits of one choice."""

    x: NDArray[np.float64]
    values: NDArray[np.float64]
    weight: NDArray[np.float64]


def fit_inputs(x: NDArray[np.float64], y: NDArray[np.float64],
               delta: NDArray[np.float64]) -> FitInputs:
    """The weights and values a fit from these arrays as raw samples would read (the engine
    forms both so), so that skipping its preparation keeps every bit of the result."""
    w = 1.0 / (delta * delta)
    with np.errstate(over="ignore", under="ignore", invalid="ignore"):
        values = (w[:, None] * y) / w[:, None]
    return FitInputs(x, values, w)


def fit_arrays(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    delta: NDArray[np.float64],
    p: float,
    gamma: float,
    segments: str = "smooth",
) -> FitArrays:
    """One fit on sorted, distinct, finite samples: the only place the choice fits anything.

    Parameters
    ----------
    x : ndarray, shape (n,)
    y : ndarray, shape (n, d)
    delta : ndarray, shape (n,)
    p, gamma : float
    segments : {"smooth", "linear", "constant"}
        What lies between jumps: smoothing splines of `p`, straight lines (``p = 0``; `p` is
        ignored) or constants, each segment's weighted mean (`p` is ignored).

    Returns
    -------
    FitArrays

    Raises
    ------
    ValueError
        From the engine, for too few samples; for an unknown `segments`.
    """
    return fit_formed(fit_inputs(x, y, delta), p, gamma, segments)


def fit_formed(inputs: FitInputs, p: float, gamma: float,
               segments: str = "smooth") -> FitArrays:
    """:func:`fit_arrays` from inputs formed once by :func:`fit_inputs`."""
    if segments not in _SEGMENTS:
        raise ValueError(SEGMENTS_MESSAGE)
    x, values, w = inputs
    if segments == "constant":
        fitted = _engine.fit_constant(x, values, w, gamma)
    else:
        fitted = _engine.fit_prepared(x, values, w, 0.0 if segments == "linear" else p, gamma,
                                      "DOMINANCE", "none")
    return FitArrays(fitted["breaks"], fitted["coefs"], fitted["jumps"],
                     fitted["jump_indices"], fitted["x"])


def effective_dof(lengths: NDArray[np.int64], bandwidth: float) -> NDArray[np.float64]:
    """Effective degrees of freedom (trace of the smoother) of splines on runs of samples.

    A run of L evenly spaced samples smoothed with bandwidth b samples has about
    ``1 + t + exp(-t)`` degrees of freedom, ``t = L / (2 sqrt(2) b)``: the equivalent kernel's
    peak summed over the run, plus one for the ends; two (a straight line) when the run is
    short, L when it is shorter than that. Against exact traces (dense solves, L = 10 to 400,
    b = 1 to 32) it is off by at most 0.41, or 11 %; bench/select/RESULTS.md
    has the check.

    Parameters
    ----------
    lengths : ndarray of int
        Number of samples of each run.
    bandwidth : float
        Bandwidth in samples.

    Returns
    -------
    ndarray
    """
    t = np.asarray(lengths, dtype=np.float64) * (_KERNEL_PEAK / bandwidth)
    return np.asarray(np.minimum(np.asarray(lengths, dtype=np.float64), 1.0 + t + np.exp(-t)))


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
    prepared = prepare(x, y, delta)
    values = prepared.y
    n = values.shape[0]
    bad = np.flatnonzero(~np.all(np.isfinite(values), axis=1))
    if bad.size:
        raise ValueError(
            f"y must be finite in every row to be scored, got a missing value in row "
            f"{int(bad[0])}; drop the rows with missing values first"
        )
    sites = prepared.x if prepared.x is not None else np.arange(1.0, n + 1.0)
    deviations = prepared.delta if prepared.delta is not None else np.ones(n)
    return fold_score(sites, values, deviations, _fold_arrays(folds, n), _number("p", p),
                      _number("gamma", gamma), scoring)


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
