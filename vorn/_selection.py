"""The result of a parameter choice, with what it rests on."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

import numpy as np
from numpy.typing import NDArray

from ._extras import require
from ._fit import Fit
from ._scoring import fit_arrays

__all__ = ["PathMaker", "Selection", "penalty_path"]

_PATH_DTYPE = [("penalty", np.float64), ("gamma", np.float64), ("jumps", np.int64)]


@dataclass
class Selection:
    """Result of :func:`vorn.select`.

    Attributes
    ----------
    p, gamma : float
        The chosen smoothing parameter and jump penalty, for the data as given.
    score : float
        The chosen point's score: for the default method the information criterion
        ``N log(RSS / N) + log(N) * edf + penalty * jumps`` (N values, RSS the residual sum
        of squares in noise units, edf the smoother's effective degrees of freedom), for
        ``method="cv"`` the cross-validation score.
    table : ndarray
        Every evaluated point as a structured array. Default method: fields
        ``bandwidth_samples``, ``penalty`` (noise variances), ``score`` and
        ``standard_error`` (0: the criterion is not a mean); ``method="cv"``: ``p``, ``gamma`` and
        ``score`` in evaluation order.
    fit : Fit
        The fit of all the data with the chosen parameters (and the outlier weights, see
        `downweighted`).
    folds : int or None
        Number of cross-validation folds; None for the default method, which holds out
        nothing.
    seed : int or None
        Seed of the random fold assignment; None when no random folds were drawn.
    scoring : str
        How held-out samples were scored ("information criterion" for the default method).
    method : str
        "priced" (the default) or "cv".
    criterion : str
        Which criterion chose each parameter.
    noise : float
        Noise standard deviation the penalty is measured in, in units of y (of ``y / delta``
        when `delta` was given; of each column over its own noise level, ``fit.column_scale``,
        for several columns).
    phi : float
        Estimated lag-one autocorrelation of the noise.
    bandwidth : float
        Smoothing bandwidth in units of x; `bandwidth_samples` in mean sample spacings.
    penalty : float
        Jump penalty in noise variances: a jump is kept when it lowers the residual sum of
        squares by more than ``penalty * noise**2``.
    downweighted : ndarray
        Indices of the input rows whose standard deviation was widened as outliers.
    searches : list of int
        Size of every partition search made, in order.
    note : str
        Empty, or why `p` and `gamma` cannot be written in the units of the data (x spaced
        far from 1, or y tiny or huge: the fit is then made in standardised units) and what
        reproduces the fit instead.
    arguments : dict
        Keyword arguments with which ``vorn.fit(x, y, **arguments)`` reproduces `fit`:
        ``p`` and ``gamma``, or ``bandwidth_samples`` and ``penalty`` when those cannot be
        written (constant segments: ``gamma`` and ``segments``); ``delta`` too when outliers
        were downweighted, ``column_scale`` for several columns.
    segments : str
        What lies between jumps: "smooth" or "constant" (then `p`, `bandwidth`,
        `bandwidth_samples` and `score` are NaN, and `table` has the one fit's ``penalty``,
        ``gamma`` and ``jumps``).
    """

    p: float
    gamma: float
    score: float
    table: NDArray[Any] = field(repr=False)
    fit: Fit = field(repr=False)
    folds: Optional[int] = None
    seed: Optional[int] = None
    scoring: str = "information criterion"
    method: str = "priced"
    criterion: str = ""
    noise: float = math.nan
    phi: float = 0.0
    bandwidth: float = math.nan
    bandwidth_samples: float = math.nan
    penalty: float = math.nan
    downweighted: NDArray[np.intp] = field(default_factory=lambda: np.zeros(0, np.intp),
                                           repr=False)
    searches: list[int] = field(default_factory=list, repr=False)
    note: str = ""
    arguments: dict[str, Any] = field(default_factory=dict, repr=False)
    segments: str = "smooth"
    _path_maker: Optional[Callable[[], NDArray[Any]]] = field(default=None, repr=False)
    _path: Optional[NDArray[Any]] = field(default=None, repr=False)

    def __post_init__(self) -> None:
        # The fit's delta only widens outliers: its jumps are measured in the noise estimated
        # from the samples, as for a fit without delta, also when the fit is asked directly.
        self.fit._jump_noise_estimated = True

    @property
    def path(self) -> NDArray[Any]:
        """Number of jumps against the penalty, at the chosen smoothing.

        A structured array with fields ``penalty`` (noise variances), ``gamma`` and
        ``jumps``, ascending in penalty, from an eighth to eight times the chosen penalty.
        The number of jumps can only fall as the penalty grows; the array holds the
        penalties where it was evaluated, bisected until every change of the count is
        located within 5 %. Computed on first use (a few more partition searches).
        """
        if self._path is None:
            if self._path_maker is None:
                self._path = np.zeros(0, dtype=_PATH_DTYPE)
            else:
                self._path = self._path_maker()
        return self._path

    def explain(self) -> str:
        """A few lines that say how the parameters were chosen."""
        jumps = self.fit.jumps.size
        smoothing = (
            "segments: constant (each segment's weighted mean, no smoothing)"
            if self.segments == "constant" else
            f"smoothing: bandwidth {self.bandwidth:.4g} in x "
            f"({self.bandwidth_samples:.3g} samples), p = {self.p!r}")
        lines = [
            f"method: {self.method} ({self.criterion})",
            f"noise: sd {self.noise:.4g}, lag-one autocorrelation {self.phi:.2f}",
            smoothing,
            f"jump penalty: {self.penalty:.3g} noise variances, gamma = {self.gamma!r}",
            f"result: {jumps} jump{'s' if jumps != 1 else ''}",
        ]
        if self.downweighted.size:
            lines.append(f"downweighted as outliers: {self.downweighted.size} rows")
        if self.note:
            lines.append(f"note: {self.note}")
        return "\n".join(lines)

    # -- how sure each jump of the fit is --------------------------------------------------

    def jump_intervals(self, level: float = 0.9) -> Any:
        """:meth:`Fit.jump_intervals` of `fit` (noise estimated from the samples)."""
        return self.fit.jump_intervals(level)

    @property
    def jump_evidence(self) -> Any:
        """:attr:`Fit.jump_evidence` of `fit` (noise estimated from the samples)."""
        return self.fit.jump_evidence

    def jump_table(self, level: float = 0.9) -> Any:
        """:meth:`Fit.jump_table` of `fit` (noise estimated from the samples)."""
        return self.fit.jump_table(level)

    def plot(self, axes: Optional[Any] = None) -> Any:
        """Draw the fit and the penalty path (number of jumps against the penalty).

        Parameters
        ----------
        axes : sequence of two matplotlib Axes, optional
            Where to draw the fit and the path; a new figure with two panels when omitted.

        Returns
        -------
        ndarray of matplotlib.axes.Axes
            The two panels.

        Raises
        ------
        ImportError
            If matplotlib is not installed (``pip install 'vorn[plot]'``).
        """
        plt = require("matplotlib.pyplot", "plot", "Selection.plot")
        if axes is None:
            _, axes = plt.subplots(1, 2, figsize=(11, 4),
                                   gridspec_kw={"width_ratios": [2, 1]})
        fit_ax, path_ax = axes[0], axes[1]
        self.fit.plot(ax=fit_ax)
        fit_ax.set_title(f"{self.fit.jumps.size} jumps, " + (
            "constant segments" if self.segments == "constant"
            else f"bandwidth {self.bandwidth:.3g}"))
        path = self.path
        if path.size:
            path_ax.step(path["penalty"], path["jumps"], where="post", color="C0")
            path_ax.plot(path["penalty"], path["jumps"], ".", color="C0")
        if self.method == "priced":
            path_ax.axvline(self.penalty, color="C3", linestyle="--", label="chosen penalty")
            path_ax.legend(loc="best", frameon=False)
        path_ax.set_xscale("log")
        path_ax.set_xlabel("penalty (noise variances)")
        path_ax.set_ylabel("number of jumps")
        path_ax.set_title("penalty path")
        return np.asarray(axes)


def penalty_path(count_jumps: Callable[[float], int], centre: float, *, spread: float = 8.0,
                 tolerance: float = 1.05, budget: int = 24) -> list[tuple[float, int]]:
    """Penalties and their jump counts, bisected where the count changes.

    The count of an optimal partition never rises with the penalty, so equal counts at two
    penalties hold everywhere between them and need no search.

    Parameters
    ----------
    count_jumps : callable
        Number of jumps of the fit at a penalty.
    centre, spread : float
        The path runs from ``centre / spread`` to ``centre * spread``.
    tolerance : float
        Stop bisecting when neighbouring penalties are within this ratio.
    budget : int
        Largest number of evaluations.
    """
    known = {centre / spread: count_jumps(centre / spread),
             centre * spread: count_jumps(centre * spread)}
    pending = [(centre / spread, centre * spread)]
    while pending and len(known) < budget:
        lo, hi = pending.pop()
        if known[lo] == known[hi] or hi / lo <= tolerance:
            continue
        mid = math.sqrt(lo * hi)
        known[mid] = count_jumps(mid)
        pending.extend([(lo, mid), (mid, hi)])
    return sorted(known.items())


class PathMaker:
    """Computes the penalty path of a Selection on demand (a plain object, so it pickles).

    Parameters
    ----------
    x, y, delta : ndarray
        The standardised samples and the deviations the choice fitted with; with `frame`, the
        samples in their own units.
    p_standard : float
        Smoothing parameter of the chosen bandwidth in standardised units.
    gamma_per_penalty : float
        Raw gamma of one noise variance of penalty: ``p * scale**2``.
    centre : float
        The chosen penalty in noise variances.
    segments : {"smooth", "constant"}
        What lies between jumps (constant: `p_standard` is 1, a level costs nothing).
    frame : (origin, spacing, scale), optional
        The standardised units of `x` and `y` (:meth:`._units.Units.standardise`), applied
        each time the path is asked for, so that a Selection keeps no standardised copy of the
        samples beside the ones the call holds (16 bytes a sample for one column).
    """

    def __init__(self, x: NDArray[np.float64], y: NDArray[np.float64],
                 delta: NDArray[np.float64], p_standard: float, gamma_per_penalty: float,
                 centre: float, segments: str = "smooth",
                 frame: Optional[tuple[float, float, float]] = None) -> None:
        self.x, self.y, self.delta = x, y, delta
        self.segments = segments
        self.p_standard = p_standard
        self.gamma_per_penalty = gamma_per_penalty
        self.centre = centre
        self.frame = frame

    # Objects pickled before frames existed have none.
    frame: Optional[tuple[float, float, float]] = None

    def count_jumps(self, level: float) -> int:
        p = self.p_standard
        x, y = self.x, self.y
        if self.frame is not None:
            origin, spacing, scale = self.frame
            x, y = (x - origin) / spacing, y / scale
        return int(fit_arrays(x, y, self.delta, p, p * level, self.segments).jump_idx.size)

    def __call__(self) -> NDArray[Any]:
        centre = self.centre if math.isfinite(self.centre) else 100.0
        points = penalty_path(self.count_jumps, centre)
        return np.array([(q, q * self.gamma_per_penalty, k) for q, k in points],
                        dtype=_PATH_DTYPE)
