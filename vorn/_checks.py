"""Conversion and checking of user input before it reaches the compiled core.

The core accepts only float64 arrays of exact shapes and reports value errors in its own
terms; everything here turns array-likes into that form and rejects bad input with messages
that name the user's argument.
"""

from __future__ import annotations

import copy
import math
import numbers
from typing import Any, NamedTuple, Optional

import numpy as np
from numpy.typing import NDArray

from ._sites import NUMBERS, Sites, as_float_array, sites_of

__all__ = ["Prepared", "prepare", "check_column_scale", "check_p", "check_gamma", "check_pruning",
           "check_precondition"]

PRUNING_CHOICES = ("DOMINANCE", "PELT", "FPVI")
PRECONDITION_CHOICES = ("none", "local")


class Prepared(NamedTuple):
    """Arrays in the exact form the core takes, plus what the caller needs to know."""

    x: Optional[NDArray[np.float64]]
    y: NDArray[np.float64]  # (n, d)
    delta: Optional[NDArray[np.float64]]
    one_dimensional: bool  # True when the user passed a single series as a 1-D y
    sites: Sites = NUMBERS  # how the user's sites (numbers or datetimes) map to x
    columns: Optional[list[str]] = None  # names of the value columns of a DataFrame y


# Squares of values beyond this overflow in the energies the core sums up.
LARGEST_VALUE = 1e150


def _real_scalar(name: str, value: Any) -> float:
    if isinstance(value, np.ndarray) and value.ndim == 0:
        value = value[()]
    # bool is an int subclass; True as a smoothing parameter is almost certainly a mistake.
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return float(value)


def check_p(p: Any) -> float:
    """Return `p` as a float in [0, 1] or raise."""
    value = _real_scalar("p", p)
    if not 0.0 <= value <= 1.0:
        raise ValueError(f"p must lie in [0, 1], got {value!r}")
    return value


def check_gamma(gamma: Any) -> float:
    """Return `gamma` as a float >= 0 (inf allowed) or raise."""
    value = _real_scalar("gamma", gamma)
    if not value >= 0.0:
        raise ValueError(f"gamma must be >= 0, got {value!r}")
    return value


def check_column_scale(value: Any, columns: int) -> NDArray[np.float64]:
    """Return a column scale as `columns` positive finite floats or raise."""
    scale = as_float_array("column_scale", value)
    if scale.ndim == 0:
        scale = np.full(columns, float(scale))
    if scale.shape != (columns,):
        raise ValueError(f"column_scale must hold one value per column of y ({columns}), got "
                         f"an array of shape {scale.shape}")
    bad = np.flatnonzero(~(np.isfinite(scale) & (scale > 0.0)))
    if bad.size:
        i = int(bad[0])
        raise ValueError(f"column_scale must be positive and finite, got column_scale[{i}] = "
                         f"{float(scale[i])!r}")
    return scale


def check_pruning(pruning: Any) -> str:
    """Return the canonical spelling of a pruning choice or raise."""
    if not isinstance(pruning, str):
        raise TypeError(f"pruning must be a str, got {type(pruning).__name__}")
    canonical = pruning.upper()
    if canonical not in PRUNING_CHOICES:
        raise ValueError(f"pruning must be 'DOMINANCE', 'PELT' or 'FPVI', got {pruning!r}")
    return canonical


def check_precondition(precondition: Any) -> str:
    """Return the canonical spelling of a precondition choice or raise."""
    if not isinstance(precondition, str):
        raise TypeError(f"precondition must be a str, got {type(precondition).__name__}")
    canonical = precondition.lower()
    if canonical not in PRECONDITION_CHOICES:
        raise ValueError(f"precondition must be 'none' or 'local', got {precondition!r}")
    return canonical


def _index_sites(y: Any) -> Any:
    """The index of a pandas `y` when it can serve as its sites, else None.

    Numeric, datetime, timedelta and period indexes qualify. pandas' default index (0, 1,
    ..., n - 1, what a Series made without one gets) does not: it holds no sites, and taking
    it would move every jump by one against the same data as an array (sites 1, ..., n).
    """
    index = getattr(y, "index", None)
    if index is None or type(y).__module__.split(".")[0] != "pandas":
        return None
    kind = getattr(getattr(index, "dtype", None), "kind", None)
    if str(getattr(index, "dtype", "")).startswith("period"):
        return index
    if kind not in ("i", "u", "f", "M", "m"):
        return None
    if type(index).__name__ == "RangeIndex" and index.start == 0 and index.step == 1:
        return None
    return index


def _column_names(y: Any) -> Optional[list[str]]:
    columns = getattr(y, "columns", None)
    if columns is None or type(y).__module__.split(".")[0] != "pandas":
        return None
    return [str(c) for c in columns]


def prepare(x: Any, y: Any, delta: Any = None, *, check_energies: bool = True) -> Prepared:
    """Convert and check the data arguments shared by every fitting entry point.

    Rows of `y` holding a NaN or an infinity are missing values: the core drops them together
    with their site and `delta`, so only the rows that remain are checked further. Sites may be
    datetimes (see :mod:`vorn._sites`); a pandas `y` with a DatetimeIndex and no `x` uses the
    index as its sites. A scalar `delta` applies to every sample.
    """
    from_index = False
    x_name = "x"
    if x is None:
        x = _index_sites(y)
        from_index = x is not None
        x_name = "y.index" if from_index else "x"
    columns = _column_names(y)
    yy = as_float_array("y", y)
    one_dimensional = yy.ndim == 1
    if yy.ndim == 1:
        yy = yy.reshape(-1, 1)
    elif yy.ndim != 2:
        raise ValueError(
            "y must be 1-D (one series) or 2-D (one row per sample, one column per series), "
            f"got an array of shape {yy.shape}"
        )
    n, d = yy.shape
    if d == 0:
        raise ValueError("y has no columns")

    sites = NUMBERS
    xx: Optional[NDArray[np.float64]] = None
    if x is not None:
        sites, xx = sites_of(x_name, x)
        if from_index:
            sites = copy.copy(sites)
            sites.from_index = True
        if xx.ndim != 1:
            raise ValueError(f"x must be 1-D, got an array of shape {xx.shape}")
        if xx.shape[0] != n:
            hint = ""
            if d == xx.shape[0]:
                hint = (f"; y has shape {yy.shape} and looks transposed: pass y.T, one row per "
                        "sample")
            raise ValueError(
                f"x and y must have the same length: x has {xx.shape[0]}, y has {n}{hint}"
            )
    elif n == 1 and d > 1:
        raise ValueError(
            f"y has shape {yy.shape}, one row of {d} columns, and looks transposed: "
            "pass y.T or a 1-D array, one row per sample"
        )

    dd: Optional[NDArray[np.float64]] = None
    if delta is not None:
        dd = as_float_array("delta", delta)
        if dd.ndim == 0:
            dd = np.full(n, float(dd))
        if dd.ndim != 1:
            raise ValueError(f"delta must be 1-D, got an array of shape {dd.shape}")
        if dd.shape[0] != n:
            raise ValueError(
                f"delta and y must have the same length: delta has {dd.shape[0]}, y has {n}"
            )

    # Checked with reductions first (a NaN carries through min and max): on the usual clean
    # data no mask is formed.
    lowest, highest = _extremes(yy) if yy.size else (0.0, 0.0)
    all_kept = math.isfinite(lowest) and math.isfinite(highest)
    kept = np.ones(n, dtype=bool) if all_kept else np.all(np.isfinite(yy), axis=1)
    # Clean sorted sites are read off their gaps alone: positive gaps between finite ends
    # leave no room for a NaN, an infinity or a repeat.
    smallest_gap = math.nan
    if xx is not None and all_kept and n >= 2:
        smallest_gap = _smallest_gap(xx)
    sites_clean = (xx is not None and smallest_gap > 0.0 and math.isfinite(xx[0])
                   and math.isfinite(xx[-1]))
    if xx is not None and not sites_clean:
        bad = np.flatnonzero(kept & ~np.isfinite(xx))
        if bad.size:
            i = int(bad[0])
            shown = "NaT" if sites.is_datetime else repr(float(sites.decode(xx[i])))
            raise ValueError(f"{x_name} must be finite, got {x_name}[{i}] = {shown}")
    smallest_delta: Optional[float] = None
    if dd is not None:
        smallest_delta, largest_delta = _extremes(dd) if dd.size else (None, math.nan)
        if smallest_delta is not None and not 0.0 < smallest_delta <= largest_delta < math.inf:
            smallest_delta = None
            bad = np.flatnonzero(kept & ~(np.isfinite(dd) & (dd > 0)))
            if bad.size:
                i = int(bad[0])
                raise ValueError(
                    f"delta must be positive and finite, got delta[{i}] = {float(dd[i])!r}"
                )
    if sites_clean and xx is not None:
        sites_kept = xx
    else:
        sites_kept = xx[kept] if xx is not None else np.flatnonzero(kept).astype(np.float64)
        # Sorted data, the usual case, needs no sort to count its distinct sites.
        gaps = np.diff(sites_kept)
        if not np.all(gaps > 0):
            sites_kept = np.unique(sites_kept)
            gaps = np.diff(sites_kept)
        smallest_gap = float(gaps.min()) if gaps.size else math.nan
    distinct = sites_kept.size
    if distinct < 2:
        raise ValueError(
            "need at least two distinct sites with finite values in y, "
            f"got {distinct} (out of {n} rows)"
        )
    with np.errstate(over="ignore"):
        span = float(sites_kept[-1] - sites_kept[0])
    if not np.isfinite(span):
        raise ValueError(
            f"x spans too wide a range ({float(sites_kept[0]):.3g} to "
            f"{float(sites_kept[-1]):.3g}) for float64 arithmetic; rescale x"
        )
    prepared = Prepared(xx, yy, dd, one_dimensional, sites, columns)
    if check_energies:
        largest = max(highest, -lowest) if all_kept else None
        gap = smallest_gap if xx is not None and math.isfinite(smallest_gap) else None
        problem = energy_problem(prepared, kept, gap, largest,
                                 smallest_delta if all_kept else None)
        if problem is not None:
            raise ValueError(problem)
    return prepared


# Long arrays are reduced in blocks of this many values, each block read from memory once and
# reduced while it is in the cache: at 10^6 rows a pass over an array costs more in memory
# traffic than in arithmetic, and the gaps of the sites as one array would take 8 MB of fresh
# memory on every call.
_BLOCK = 1 << 16


def _extremes(a: NDArray[np.float64]) -> tuple[float, float]:
    """The smallest and the largest value of a non-empty `a` (both NaN when it holds a NaN)."""
    flat = a.reshape(-1)
    lows, highs = [], []
    for start in range(0, flat.size, _BLOCK):
        block = flat[start:start + _BLOCK]
        lows.append(block.min())
        highs.append(block.max())
    return float(np.min(lows)), float(np.max(highs))


def _smallest_gap(x: NDArray[np.float64]) -> float:
    """The smallest x[i + 1] - x[i] (NaN when a gap is NaN), x of 2 or more sites."""
    count = x.size - 1
    buffer = np.empty(min(count, _BLOCK))
    smallest = []
    for start in range(0, count, _BLOCK):
        stop = min(start + _BLOCK, count)
        gaps = np.subtract(x[start + 1:stop + 1], x[start:stop], out=buffer[:stop - start])
        smallest.append(gaps.min())
    return float(np.min(smallest))


def energy_problem(prepared: Prepared, kept: Optional[NDArray[np.bool_]] = None,
                   smallest_gap: Optional[float] = None,
                   largest_value: Optional[float] = None,
                   smallest_delta: Optional[float] = None) -> Optional[str]:
    """Why the fit's energies would overflow on these data in their own units, or None.

    Squares of values beyond 1e150 overflow; second derivatives grow like |y| / gap**2,
    their integrated square like y**2 / gap**3. A fit in standardised units (the natural
    parameters of :func:`vorn.fit`, and :func:`vorn.select`) has neither problem.
    """
    yy, dd = prepared.y, prepared.delta
    if kept is None:
        kept = np.all(np.isfinite(yy), axis=1)
    if not kept.any():
        return None
    gap = smallest_gap
    if gap is None and prepared.x is not None:
        gap = float(np.min(np.diff(np.unique(prepared.x[kept]))))

    def too_fine(value: float) -> bool:
        return (gap is not None and value > 0.0
                and 2.0 * np.log10(value) - 3.0 * np.log10(gap) > 290.0)

    # This runs on every fit: most data drop no row, so y is not copied, and |y| / delta is
    # formed only when its bound max|y| / min(delta) does not already settle both checks.
    all_kept = bool(kept.all())
    values = yy if all_kept else yy[kept]
    largest = largest_value
    if largest is None:
        largest = max(float(values.max()), -float(values.min()))
    if dd is not None:
        kept_delta = dd if all_kept else dd[kept]
        if smallest_delta is None:
            smallest_delta = float(kept_delta.min())
        with np.errstate(over="ignore", divide="ignore"):
            bound = largest / smallest_delta
        if bound > LARGEST_VALUE or too_fine(bound):
            with np.errstate(over="ignore"):
                largest = max(largest, float((np.abs(values) / kept_delta[:, None]).max()))
    if largest > LARGEST_VALUE:
        return (f"y is too large: |y| (or |y| / delta) reaches {largest:.3g}, beyond "
                f"{LARGEST_VALUE:.0e}, where the fit's energies overflow; divide y by a "
                "constant c and gamma by c**2, or give the smoothing and the jump penalty in "
                "natural units (bandwidth_samples, penalty)")
    if too_fine(largest):
        return (f"x is too finely spaced for the size of y: a gap of {gap:.3g} between sites, "
                f"with |y| up to {largest:.3g}, overflows the fit's energies; rescale x (for "
                "example to units of its spacing), or give the smoothing and the jump penalty "
                "in natural units (bandwidth_samples, penalty)")
    return None
