"""Every fit the parameter choice makes, and the scores it compares them by."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

from . import _engine

__all__ = ["FitArrays", "FitInputs", "effective_dof", "fit_arrays", "fit_formed", "fit_inputs"]

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
        values = w[:, None] * y
        np.divide(values, w[:, None], out=values)
    # Mostly the values come back bit for bit: then one array serves both, as at a million
    # samples each is 8 MB per column held through every fit of a choice.
    if (y.dtype == np.float64 and y.flags.c_contiguous and values.shape == y.shape
            and np.array_equal(values.view(np.uint64), y.view(np.uint64))):
        values = y
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
    # The sites and values given are the prepared ones: the engine need not copy them back.
    if segments == "constant":
        fitted = _engine.fit_constant(x, values, w, gamma, with_samples=False)
    else:
        fitted = _engine.fit_prepared(x, values, w, 0.0 if segments == "linear" else p, gamma,
                                      "DOMINANCE", "none", with_samples=False)
    return FitArrays(fitted["breaks"], fitted["coefs"], fitted["jumps"],
                     fitted["jump_indices"], x)


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
