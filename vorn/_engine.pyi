"""The package's private compiled engine.

The package converts and checks user input; the engine takes float64 arrays (int64 for folds)
and does the numeric work with the interpreter lock released. Ctrl-C stops any call within a
few milliseconds (KeyboardInterrupt, everything freed). Contract violations raise TypeError or
ValueError naming the argument; the core's input errors raise ValueError with the core's
message; a broken internal invariant raises InternalFailure; an allocation failure
MemoryError.
"""

from collections.abc import Sequence
from typing import Literal, TypedDict

import numpy as np
from numpy.typing import NDArray

_Pruning = Literal["DOMINANCE", "PELT", "FPVI"]
_Precondition = Literal["none", "local"]

class InternalFailure(BaseException): ...

# The result types exist for type checkers only; the engine returns plain dicts.
class _Fitted(TypedDict):
    breaks: NDArray[np.float64]  # (P + 1,)
    coefs: NDArray[np.float64]  # (P, d, 4), highest power first, local to each piece
    jumps: NDArray[np.float64]  # (k,)
    jump_indices: NDArray[np.int64]  # (k,), last prepared sample before each jump
    x: NDArray[np.float64]  # (m,), prepared sites
    y: NDArray[np.float64]  # (m, d), prepared values
    complexity_counter: int
    extensions: int
    dropped: int
    max_active: int

class _Prepared(TypedDict):
    x: NDArray[np.float64]  # (m,), distinct sites ascending
    y: NDArray[np.float64]  # (m, d), weighted means of the rows at each site
    w: NDArray[np.float64]  # (m,), merged weights, sum of 1 / delta**2
    delta: NDArray[np.float64]  # (m,), sqrt(1 / w)
    site_of_row: NDArray[np.int64]  # (n,), -1 for a dropped row

class _Predictions(TypedDict):
    predicted: NDArray[np.float64]  # (rows, d): the curve at each held-out site
    left: NDArray[np.float64]  # (rows, d): the segment before the jump, where in_gap
    right: NDArray[np.float64]  # (rows, d): the segment after the jump, where in_gap
    in_gap: NDArray[np.bool_]  # (rows,)
    fold_ok: NDArray[np.bool_]  # (K,)

def fit(
    x: NDArray[np.float64] | None,
    y: NDArray[np.float64],
    delta: NDArray[np.float64] | None,
    p: float,
    gamma: float,
    pruning: _Pruning,
    precondition: _Precondition,
) -> _Fitted:
    """One fit; any strides. Rows of y with a non-finite value are dropped, sites sorted and
    merged, as the extension's vorn does. The search reads each column less its midrange;
    the curve is made from the values as given, so it is the extension's bit for bit
    wherever the two find the same partition (values far from zero can split differently)."""

def prepare(
    x: NDArray[np.float64] | None,
    y: NDArray[np.float64],
    delta: NDArray[np.float64] | None,
) -> _Prepared:
    """The samples fit works on: non-finite rows dropped, sites sorted, rows that share a site
    merged; any strides."""

def fit_prepared(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64],
    p: float,
    gamma: float,
    pruning: _Pruning,
    precondition: _Precondition,
    with_samples: bool = True,
) -> _Fitted:
    """fit from the arrays prepare returned, without preparing again: bit for bit fit's
    result on the raw samples (x and y empty with `with_samples` False)."""

def fit_constant(
    x: NDArray[np.float64],
    values: NDArray[np.float64],
    weight: NDArray[np.float64],
    gamma: float,
    with_samples: bool = True,
) -> _Fitted:
    """The optimal fit with the weighted mean between jumps, from the arrays prepare returned
    (x, y and w): fit's keys, one piece per segment with its mean in the last slot of coefs
    (x and y empty with `with_samples` False)."""

def evaluate(
    breaks: NDArray[np.float64],
    coefs: NDArray[np.float64],
    sites: NDArray[np.float64],
    nu: int = 0,
    left: bool = False,
) -> NDArray[np.float64]:
    """(m, d): the nu-th derivative at C-contiguous sites (m,); right-continuous, or the left
    limit with left=True; NaN sites give NaN; the outer pieces extrapolate."""

def integrate(
    breaks: NDArray[np.float64], coefs: NDArray[np.float64], a: float, b: float
) -> NDArray[np.float64]:
    """(d,): the integral from a to b (negative for b < a, NaN for a NaN bound)."""

def derivative(
    breaks: NDArray[np.float64], coefs: NDArray[np.float64], nu: int
) -> NDArray[np.float64]:
    """(P, d, max(k - nu, 1)): coefficients of the nu-th derivative over the same breaks."""

def antiderivative(breaks: NDArray[np.float64], coefs: NDArray[np.float64]) -> NDArray[np.float64]:
    """(P, d, k + 1): coefficients of the antiderivative, 0 at breaks[0], continuous."""

def cv_predict(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    delta: NDArray[np.float64] | None,
    folds: Sequence[NDArray[np.int64]],
    p: float,
    gamma: float,
    pruning: _Pruning,
    precondition: _Precondition,
) -> _Predictions:
    """Held-out predictions of fits on the other folds; rows follow the folds (a list or tuple
    of C-contiguous int64 arrays of indices 0 <= i < n) and the indices within each."""

def cv_score(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    delta: NDArray[np.float64] | None,
    folds: Sequence[NDArray[np.int64]],
    p: float,
    gamma: float,
    pruning: _Pruning,
    precondition: _Precondition,
) -> float:
    """The extension's cross-validation score (bit for bit for PELT and FPVI wherever the
    training fits find the extension's partitions, see fit); +inf for an unscorable pair or a
    failed training fit."""

class _JumpProfiles(TypedDict, total=False):
    first: NDArray[np.int64]  # (k,), first sample of the left segment
    last: NDArray[np.int64]  # (k,), last sample of the right segment
    merged: NDArray[np.float64]  # (k,), energy of first..last as one segment
    at_fit: NDArray[np.float64]  # (k,), the two segments' energies at the fit's split
    best: NDArray[np.float64]  # (k,), the cheapest split's cost
    best_split: NDArray[np.int64]  # (k,)
    low: NDArray[np.int64]  # (k,), smallest split within the threshold
    high: NDArray[np.int64]  # (k,), largest split within the threshold
    profile: NDArray[np.float64]  # every split's cost, with keep_profile only
    profile_offset: NDArray[np.int64]  # (k + 1,), with keep_profile only
    smooth_saving: NDArray[np.float64]  # (k,), the cheapest split's saving on the merged smooth
    smooth: NDArray[np.float64]  # (rows, d), the merged segments' smooths, with keep_smooth only
    smooth_offset: NDArray[np.int64]  # (k + 1,), with keep_smooth only
    smooth_first: NDArray[np.int64]  # (k,), first sample of each smooth, with keep_smooth only

def jump_profiles(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    p: float,
    precondition: _Precondition,
    jump_indices: NDArray[np.int64],
    thresholds: NDArray[np.float64],
    keep_profile: bool = False,
    smooth_reach: float = 10.0,
    keep_smooth: bool = False,
) -> _JumpProfiles:
    """How firmly the samples hold each jump, the other jumps fixed; C-contiguous arrays."""
