from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypedDict, Union

import numpy as np
from numpy.typing import NDArray

__all__ = ["vorn", "vorn_cvscore"]

_Float = Union[SupportsFloat, SupportsIndex]

# The result types exist for type checkers only; the extension returns plain dicts.
class _PpDict(TypedDict):
    breaks: NDArray[np.float64]
    coefs: NDArray[np.float64]
    dim: int
    order: int

class _VornResult(TypedDict):
    breaks: NDArray[np.float64]
    coefs: NDArray[np.float64]
    dim: int
    order: int
    discont: NDArray[np.float64]
    discont_idx: NDArray[np.int64]
    x: NDArray[np.float64]
    y: NDArray[np.float64]
    complexity_counter: int
    interval_cell: list[NDArray[np.int64]]
    pp_cell: list[_PpDict]
    F: NDArray[np.float64]
    partition: NDArray[np.int64]
    precondition: str
    tau: NDArray[np.float64]

def vorn(
    x: NDArray[np.float64] | None,
    y: NDArray[np.float64],
    p: _Float,
    gamma: _Float,
    delta: NDArray[np.float64] | None = None,
    pruning: str = "FPVI",
    precondition: str = "none",
) -> _VornResult: ...
def vorn_cvscore(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    p: _Float,
    gamma: _Float,
    delta: NDArray[np.float64],
    folds: Sequence[Sequence[SupportsIndex] | NDArray[np.integer]],
    pruning: str = "FPVI",
    precondition: str = "none",
) -> float: ...
