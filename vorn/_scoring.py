"""Every fit the parameter choice makes, and the scores it compares them by."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

import _vorn_core

from . import _engine
from ._fit import _horner, _piece_index

__all__ = ["FitArrays", "cv_score", "effective_dof", "fit_arrays", "split_losses"]

# Interior value of the smoother's diagonal, times the bandwidth: the equivalent kernel of a
# cubic smoothing spline of bandwidth b samples is exp(-|t|/(b sqrt 2)) sin(|t|/(b sqrt 2) +
# pi/4) / (2 b), which is 1 / (2 sqrt 2 b) at t = 0.
_KERNEL_PEAK = 1.0 / (2.0 * math.sqrt(2.0))


class FitArrays(NamedTuple):
    """The parts of one fit that scoring needs."""

    breaks: NDArray[np.float64]
    coefs: NDArray[np.float64]  # (pieces, d, 4), highest power first
    jumps: NDArray[np.float64]
    jump_idx: NDArray[np.int64]  # last prepared sample before each jump
    sites: NDArray[np.float64]  # the prepared (sorted, distinct) training sites


def fit_arrays(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    delta: NDArray[np.float64],
    p: float,
    gamma: float,
) -> FitArrays:
    """One fit on sorted, distinct, finite samples: the only place the choice fits anything.

    Parameters
    ----------
    x : ndarray, shape (n,)
    y : ndarray, shape (n, d)
    delta : ndarray, shape (n,)
    p, gamma : float

    Returns
    -------
    FitArrays

    Raises
    ------
    ValueError
        From the engine, for too few samples.
    """
    fitted = _engine.fit(x, y, delta, p, gamma, "DOMINANCE", "none")
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


def jump_heights(fitted: FitArrays) -> NDArray[np.float64]:
    """Largest absolute jump over the columns at each jump of a fit (right minus left limit)."""
    if fitted.jumps.size == 0:
        return np.zeros(0)
    at = np.ascontiguousarray(fitted.jumps)
    step = (_engine.evaluate(fitted.breaks, fitted.coefs, at)
            - _engine.evaluate(fitted.breaks, fitted.coefs, at, 0, True))
    return np.asarray(np.max(np.abs(step), axis=1))


def predict(fitted: FitArrays, sites: NDArray[np.float64]) -> NDArray[np.float64]:
    """Values of a fit at `sites`, shape (m, d)."""
    return _engine.evaluate(fitted.breaks, fitted.coefs, np.ascontiguousarray(sites))


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
                loc = fitted.jumps[gap[in_gap]]
                right = _piece_index(fitted.breaks, loc)
                left = np.searchsorted(fitted.breaks, loc, side="left") - 1
                sites = x[held[in_gap]]
                predicted[in_gap] = 0.5 * (
                    _horner(fitted.breaks, fitted.coefs, left, sites, 0)
                    + _horner(fitted.breaks, fitted.coefs, right, sites, 0))
        residual = (predicted - y[held]) / delta[held][:, None]
        r = np.sqrt(np.sum(residual**2, axis=1))
        losses[held] = np.where(r <= huber, 0.5 * r**2, huber * (r - 0.5 * huber))
    return losses, 2, shortest


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
    about its height squared. "gap-aware" scores such a sample against the nearer of the two
    one-sided limits, as the fit on all data (which sees the sample) would place it; every
    other sample is scored exactly as by "core". That choice looks at the held-out value, so
    the score is optimistic about jumps: each added jump can only lower it. This is why
    :func:`vorn.select` no longer uses cross-validation by default.
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
            fitted = fit_arrays(x[train], y[train], delta[train], p, gamma)
        except ValueError:
            return math.inf  # too few training samples: unscorable, as in the core
        breaks, coefs = fitted.breaks, fitted.coefs
        sites = x[held]
        predicted = predict(fitted, sites)
        errors = np.sum(((predicted - y[held]) / delta[held][:, None]) ** 2, axis=1)
        last = fitted.jump_idx
        if last.size:
            lo, hi = fitted.sites[last], fitted.sites[last + 1]
            gap = np.searchsorted(lo, sites, side="left") - 1
            inside = (gap >= 0) & (sites < hi[np.maximum(gap, 0)])
            if inside.any():
                # Either side of the jump may serve such a site; score the nearer one.
                loc = fitted.jumps[gap[inside]]
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
