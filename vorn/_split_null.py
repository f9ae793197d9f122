"""How likely pure noise splits as well as a jump does: the null of one jump's own evidence.

A jump between two levels, of n1 and n2 samples in noise units, saves
``z**2 = n1 n2 / (n1 + n2) (mean1 - mean2)**2`` noise variances over one level for both. The
split was chosen where it saves most, so its odds are those of the largest |z_k| over the
n1 + n2 - 1 places a split could take in n1 + n2 independent standard normal values. Those z_k
are standard normal with neighbours correlated ``rho_k**2 = 1 - L / ((k + 1)(L - k))`` for L
values, and the largest exceeds b only if z_1 does or some z_k crosses b upwards between k and
k + 1: the bound summed here is an upper bound (not an approximation) on the odds, and a tight
one where neighbours are as correlated as these (a tenth of the Bonferroni sum over all places
at L = 100; ``tests/python/test_pkg_select_among_steps.py`` checks it against simulation).
"""

from __future__ import annotations

import math
from typing import Optional

import numpy as np
from numpy.typing import NDArray

# Gauss-Legendre nodes on [0, 1] for the integral over the upper value y = b + t, t up to
# where phi(b + t) / phi(b) = exp(-b t - t^2 / 2) falls below exp(-30).
_NODES, _WEIGHTS = np.polynomial.legendre.leggauss(96)
_NODES, _WEIGHTS = (_NODES + 1.0) / 2.0, _WEIGHTS / 2.0


# erfc's rational Chebyshev fit (fractional error under 1.2e-7 for every x >= 0), so that the
# tail is one vectorised expression instead of a call per value.
_ERFC_COEFFICIENTS = (-1.26551223, 1.00002368, 0.37409196, 0.09678418, -0.18628806,
                      0.27886807, -1.13520398, 1.48851587, -0.82215223, 0.17087277)
# Rows of the crossing sum taken at a time: the work is linear in the segment's length, the
# memory of one block (rows x nodes) stays small.
_ROWS_AT_ONCE = 4096


def _upper_tail(z: NDArray[np.float64]) -> NDArray[np.float64]:
    # 1 - Phi(z) = erfc(z / sqrt 2) / 2, to a relative error below 1.2e-7 also far out in the
    # tail, where 1 - Phi would lose it.
    x = np.abs(z) / math.sqrt(2.0)
    t = 1.0 / (1.0 + 0.5 * x)
    poly = np.zeros_like(t)
    for c in reversed(_ERFC_COEFFICIENTS[1:]):
        poly = (poly + c) * t
    erfc = t * np.exp(-x * x + _ERFC_COEFFICIENTS[0] + poly)
    return np.where(z >= 0.0, 0.5 * erfc, 1.0 - 0.5 * erfc)


def max_split_odds(b: float, length: int,
                   weight: Optional[NDArray[np.float64]] = None) -> float:
    """An upper bound on the odds that some split of `length` independent normal values of
    one mean (variances 1 / `weight`, 1 when None) has |z| of at least `b` (two-sided, at most
    1). With weights the z_k are those of a Brownian bridge at the cumulative weight shares
    t_k, neighbours correlated rho_k^2 = t_k (1 - t_{k+1}) / (t_{k+1} (1 - t_k)) (equal weights:
    the formula above)."""
    if length < 2:
        return 0.0
    if b <= 0.0:
        return 1.0
    if weight is None:
        k = np.arange(1, length - 1, dtype=float)
        rho = np.sqrt(np.clip(1.0 - length / ((k + 1.0) * (length - k)), 0.0, 1.0))
    else:
        t = np.cumsum(weight)[:-1] / float(np.sum(weight))
        rho = np.sqrt(np.clip(t[:-1] * (1.0 - t[1:]) / (t[1:] * (1.0 - t[:-1])), 0.0, 1.0))
    # P(z_k <= b < z_{k+1}) = int_b^inf phi(y) Phi((b - rho y) / sqrt(1 - rho^2)) dy.
    span = math.sqrt(b * b + 60.0) - b
    y = b + span * _NODES
    density = np.exp(-0.5 * y * y) / math.sqrt(2.0 * math.pi)
    weighted_density = span * density * _WEIGHTS
    crossings = 0.0
    for start in range(0, rho.size, _ROWS_AT_ONCE):
        r = rho[start:start + _ROWS_AT_ONCE, None]
        lift = np.maximum(np.sqrt(1.0 - r * r), 1e-300)
        crossings += float(np.sum(_upper_tail((r * y[None, :] - b) / lift) @ weighted_density))
    first = 0.5 * math.erfc(b / math.sqrt(2.0))
    return float(min(1.0, 2.0 * (first + crossings)))


def split_z(values: NDArray[np.float64], at: int,
            weight: Optional[NDArray[np.float64]] = None) -> float:
    """The largest |z| over columns of splitting `values` (samples x columns) before row
    `at`: the difference of the two weighted means over its standard error (`weight`, of the
    same shape, the inverse variances; 1 when None)."""
    w = np.ones_like(values) if weight is None else weight
    w1, w2 = np.sum(w[:at], axis=0), np.sum(w[at:], axis=0)
    gap = (np.sum(w[:at] * values[:at], axis=0) / w1
           - np.sum(w[at:] * values[at:], axis=0) / w2)
    return float(np.max(np.abs(gap) / np.sqrt(1.0 / w1 + 1.0 / w2)))


def jump_odds(values: NDArray[np.float64], weight: NDArray[np.float64],
              jumps: NDArray[np.int64], which: NDArray[np.intp]) -> NDArray[np.float64]:
    """For each of `jumps[which]` (a jump after row j), the bound on the odds that noise
    between its two neighbouring jumps splits as well as it, over the columns (Bonferroni;
    `weight` the inverse noise variances of `values`, samples x columns)."""
    m, d = values.shape
    bounds = np.concatenate(([0], jumps + 1, [m])).tolist()
    odds = np.empty(which.size)
    for n, i in enumerate(which.tolist()):
        lo, at, hi = bounds[i], bounds[i + 1], bounds[i + 2]
        z = split_z(values[lo:hi], at - lo, weight[lo:hi])
        odds[n] = min(1.0, d * max(max_split_odds(z, hi - lo, weight[lo:hi, c])
                                   for c in range(d)))
    return odds
