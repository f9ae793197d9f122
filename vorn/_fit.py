"""One fit: the user-facing wrapper around the core's result dictionary."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

import _vorn_core

from ._checks import (
    check_gamma,
    check_p,
    check_precondition,
    check_pruning,
    prepare,
)
from ._sites import NUMBERS, Sites

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.axes import Axes
    from scipy.interpolate import PPoly  # type: ignore[import-untyped, unused-ignore]

__all__ = ["Fit", "fit"]


def _piece_index(breaks: NDArray[np.float64], xs: NDArray[np.float64]) -> NDArray[np.intp]:
    """Index of the piece that serves each site.

    The largest i with ``breaks[i] <= X`` among the inner breaks: a site on an inner break
    belongs to the piece on its right, sites left of the first inner break to piece 0, and
    sites at or right of the last inner break to the last piece.
    """
    return np.searchsorted(breaks[1:-1], xs, side="right")


def _horner(
    breaks: NDArray[np.float64],
    coefs: NDArray[np.float64],
    pieces: NDArray[np.intp],
    xs: NDArray[np.float64],
    nu: int,
) -> NDArray[np.float64]:
    """Evaluate cubic pieces (coefs of shape (P, d, 4), highest power first) at `xs`.

    The operations follow the core's own Horner order, so values agree with it bit for bit.
    """
    c = coefs[pieces]  # (m, d, 4)
    t = (xs - breaks[pieces])[:, None]
    if nu == 0:
        v = c[..., 0]
        v = v * t + c[..., 1]
        v = v * t + c[..., 2]
        return v * t + c[..., 3]
    if nu == 1:
        v = c[..., 0] * 3.0
        v = v * t + c[..., 1] * 2.0
        return v * t + c[..., 2]
    v = c[..., 0] * 6.0
    return v * t + c[..., 1] * 2.0


class Fit:
    """A cubic smoothing spline with discontinuities, as fitted by :func:`fit`.

    Calling the object evaluates the curve. Between jumps it is a cubic smoothing spline of
    the samples of one segment; outside the data it continues linearly with the end slopes.

    Attributes
    ----------
    p, gamma : float
        The smoothing parameter and the jump penalty of this fit.
    pruning, precondition : str
        The search options used (canonical spelling).
    x : ndarray, shape (n,)
        The prepared sites: sorted, distinct, finite-valued samples only.
    y : ndarray, shape (n,) or (n, d)
        The prepared values (duplicates merged by weighted mean); 1-D when the fit was given a
        single 1-D series.
    raw : dict
        The result dictionary of the core, unchanged.
    sites : vorn._sites.Sites
        How the sites passed in map to `x`: numbers map to themselves; datetimes to their
        distance from the earliest site in the unit :attr:`site_unit` names. Jumps and segment
        bounds of a fit on datetimes are datetimes, and the curve is evaluated at datetimes.
    columns : list of str or None
        Names of the value columns (from a pandas DataFrame `y`), used by :meth:`plot`.
    """

    def __init__(
        self,
        raw: dict[str, Any],
        *,
        p: float,
        gamma: float,
        pruning: str,
        precondition: str,
        one_dimensional: bool,
        sites: Sites = NUMBERS,
        columns: Optional[list[str]] = None,
    ) -> None:
        self.raw = raw
        self.sites = sites
        self.columns = columns
        self.p = p
        self.gamma = gamma
        self.pruning = pruning
        self.precondition = precondition
        self._one_dimensional = one_dimensional
        self._breaks: NDArray[np.float64] = raw["breaks"]
        dim = int(raw["dim"])
        pieces = self._breaks.shape[0] - 1
        self._dim = dim
        self._coefs: NDArray[np.float64] = raw["coefs"].reshape(pieces, dim, 4)

    # -- data -------------------------------------------------------------------------------

    @property
    def dim(self) -> int:
        """Number of value columns."""
        return self._dim

    @property
    def x(self) -> NDArray[np.float64]:
        """Prepared sites (sorted, distinct)."""
        return self.raw["x"]  # type: ignore[no-any-return]

    @property
    def y(self) -> NDArray[np.float64]:
        """Prepared values, 1-D for a single 1-D input series."""
        yy: NDArray[np.float64] = self.raw["y"]
        return yy[:, 0] if self._one_dimensional else yy

    @property
    def breaks(self) -> NDArray[np.float64]:
        """Breakpoints of the piecewise cubic (jump locations included)."""
        return self._breaks

    @property
    def coefs(self) -> NDArray[np.float64]:
        """Coefficients, shape (pieces, d, 4), highest power first, local to each piece."""
        return self._coefs

    # -- jumps and segments -----------------------------------------------------------------

    @property
    def site_unit(self) -> Optional[str]:
        """Unit of `x` for datetime sites, e.g. ``"days since 2020-01-01T00:00:00"``, else None."""
        return self.sites.describe()

    @property
    def jumps(self) -> Any:
        """Jump locations, ascending: halfway between the samples either side of a jump.

        Datetimes for a fit on datetime sites, else floats.
        """
        return self.sites.decode(self.raw["discont"])

    @property
    def segment_bounds(self) -> Any:
        """First site, jumps and last site: segment i spans bounds[i] to bounds[i + 1]."""
        x = self.x
        return self.sites.decode(np.concatenate(([x[0]], self.raw["discont"], [x[-1]])))

    @property
    def jump_indices(self) -> NDArray[np.int64]:
        """Index (into the prepared samples) of the last sample before each jump."""
        return self.raw["discont_idx"]  # type: ignore[no-any-return]

    @property
    def jump_sizes(self) -> NDArray[np.float64]:
        """Right limit minus left limit of the curve at each jump.

        Shape (k,) for a single 1-D series, else (k, d).
        """
        loc = self.raw["discont"]
        if loc.size == 0:
            sizes = np.zeros((0, self._dim))
        else:
            right = _piece_index(self._breaks, loc)
            # The jump is a break of its own; the piece ending there gives the left limit.
            left = np.searchsorted(self._breaks, loc, side="left") - 1
            sizes = _horner(self._breaks, self._coefs, right, loc, 0) - _horner(
                self._breaks, self._coefs, left, loc, 0
            )
        return sizes[:, 0] if self._one_dimensional else sizes

    @property
    def segments(self) -> list[range]:
        """Index ranges (into the prepared samples) of the segments between jumps."""
        return [range(int(cell[0]), int(cell[-1]) + 1) for cell in self.raw["interval_cell"]]

    @property
    def complexity_counter(self) -> int:
        """Number of samples the partition search fed into segment energies."""
        return int(self.raw["complexity_counter"])

    # -- evaluation -------------------------------------------------------------------------

    def __call__(self, xs: ArrayLike, nu: int = 0) -> Any:
        """Evaluate the curve or one of its derivatives.

        Parameters
        ----------
        xs : array_like
            Sites, any shape: numbers, or datetimes for a fit on datetime sites.
        nu : {0, 1, 2}
            Order of derivative: value, slope or curvature.

        Returns
        -------
        ndarray or pandas object
            Shape ``xs.shape`` for a single 1-D series, else ``xs.shape + (d,)``. For pandas
            sites (an Index or Series), a Series or DataFrame on the same index.

        Raises
        ------
        ValueError
            If `nu` is not 0, 1 or 2.
        TypeError
            If `xs` is not numeric.

        Notes
        -----
        At a jump the curve takes its right limit, like every other inner break.
        """
        if isinstance(nu, bool) or not isinstance(nu, (int, np.integer)) or nu not in (0, 1, 2):
            raise ValueError(f"nu must be 0, 1 or 2, got {nu!r}")
        sites = self.sites.encode("xs", xs)
        flat = sites.ravel()
        values = _horner(self._breaks, self._coefs, _piece_index(self._breaks, flat), flat, int(nu))
        if self._one_dimensional:
            out = values[:, 0].reshape(sites.shape)
        else:
            out = values.reshape(sites.shape + (self._dim,))
        return out[()] if out.ndim == 0 else self.sites.wrap(out, xs, self.columns)

    def to_ppoly(self) -> PPoly:
        """The curve as a :class:`scipy.interpolate.PPoly` with identical values.

        Returns
        -------
        scipy.interpolate.PPoly
            Coefficients of shape (4, pieces) for a single 1-D series, else (4, pieces, d).

        Raises
        ------
        ImportError
            If SciPy is not installed (``pip install 'vorn[scipy]'``).
        """
        try:
            from scipy.interpolate import PPoly  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            raise ImportError(
                "Fit.to_ppoly needs SciPy; install it with: pip install 'vorn[scipy]'"
            ) from None
        c = self._coefs.transpose(2, 0, 1)
        if self._one_dimensional:
            c = c[:, :, 0]
        return PPoly(np.ascontiguousarray(c), self._breaks.copy(), extrapolate=True)

    def plot(self, ax: Optional[Axes] = None, *, data: bool = True, jumps: bool = True,
             labels: Optional[list[str]] = None) -> Axes:
        """Draw the data, the fitted curve and its jumps with matplotlib.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; a new figure is made when omitted.
        data : bool
            Draw the prepared samples as dots.
        jumps : bool
            Draw a dashed vertical line at every jump.
        labels : list of str, optional
            Names of the value columns for the legend of a fit of several columns; the
            DataFrame's column names, else ``y[0]``, ``y[1]``, ... when omitted.

        Returns
        -------
        matplotlib.axes.Axes

        Raises
        ------
        ImportError
            If matplotlib is not installed (``pip install 'vorn[plot]'``).
        """
        try:
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError(
                "Fit.plot needs matplotlib; install it with: pip install 'vorn[plot]'"
            ) from None
        if ax is None:
            _, ax = plt.subplots()
        x = self.x
        yy: NDArray[np.float64] = self.raw["y"]
        span = float(x[-1] - x[0])
        bounds = np.concatenate(([x[0]], self.raw["discont"], [x[-1]]))
        names = _legend_names(self._dim, labels if labels is not None else self.columns)
        for j in range(self._dim):
            color = f"C{j}"
            if data:
                ax.plot(self.sites.decode(x), yy[:, j], ".", color=color, alpha=0.45,
                        markersize=4, label="data" if j == 0 and names is None else None)
            for k, cell in enumerate(self.raw["pp_cell"]):
                lo, hi = float(bounds[k]), float(bounds[k + 1])
                num = int(min(2000, max(24, 800 * (hi - lo) / span if span > 0 else 24)))
                grid = np.linspace(lo, hi, num)
                b = cell["breaks"]
                c = cell["coefs"].reshape(b.shape[0] - 1, self._dim, 4)
                # Each segment's own form gives the left limit at its right end.
                curve = _horner(b, c, _piece_index(b, grid), grid, 0)[:, j]
                name = "fit" if names is None else names[j]
                ax.plot(self.sites.decode(grid), curve, "-", color=color, linewidth=1.8,
                        label=name if (k == 0 and (j == 0 or names is not None)) else None)
        if jumps:
            for k, loc in enumerate(self.jumps):
                ax.axvline(loc, color="0.35", linestyle="--", linewidth=0.9,
                           label="jump" if k == 0 else None)
        ax.legend(loc="best", frameon=False)
        return ax

    def __repr__(self) -> str:
        jumps = np.array2string(self.raw["discont"], precision=6, separator=", ", threshold=8)
        unit = "" if self.site_unit is None else f", x in {self.site_unit}"
        return (
            f"Fit(n={self.x.shape[0]}, dim={self._dim}, p={self.p!r}, gamma={self.gamma!r}, "
            f"jumps={jumps}{unit})"
        )


def _legend_names(dim: int, labels: Optional[list[str]]) -> Optional[list[str]]:
    """Legend names of the value columns; None keeps the plain "data" / "fit" legend."""
    if labels is None:
        return None if dim == 1 else [f"y[{j}]" for j in range(dim)]
    if len(labels) != dim:
        raise ValueError(f"labels must name the {dim} value columns, got {len(labels)} names")
    return [str(name) for name in labels]


def fit(
    x: Optional[ArrayLike],
    y: ArrayLike,
    p: Optional[float] = None,
    gamma: Optional[float] = None,
    *,
    delta: Optional[ArrayLike] = None,
    pruning: str = "PELT",
    precondition: str = "none",
    bandwidth: Optional[float] = None,
    bandwidth_samples: Optional[float] = None,
    penalty: Optional[float] = None,
) -> Fit:
    r"""Fit a cubic smoothing spline with discontinuities.

    Among all ways to cut the sorted samples into runs of consecutive samples, the fit chooses
    the one that minimises the sum, over runs, of the smoothing-spline energy

    .. math:: p \sum_i (y_i - f(x_i))^2 / \delta_i^2 + (1 - p) \int f''(t)^2 \, dt

    plus `gamma` for every jump, and fits one smoothing spline per run. Jumps lie halfway
    between the last sample of one run and the first of the next.

    Parameters
    ----------
    x : array_like or None
        Sample sites, shape (n,): numbers or datetimes (NumPy, pandas or Python; the fit then
        works in the unit :attr:`Fit.site_unit` states). None means 1, 2, ..., n, or the
        DatetimeIndex of a pandas `y`. Unsorted sites are sorted; repeated sites are merged by
        their weighted mean.
    y : array_like
        Values, shape (n,) for one series or (n, d) for d series sharing the jumps. Rows with
        a NaN or infinite value are treated as missing and dropped.
    p : float
        Smoothing parameter in [0, 1]: 0 gives straight lines between jumps, 1 interpolating
        splines.
    gamma : float
        Penalty per jump, >= 0; ``inf`` forbids jumps.
    delta : float or array_like, optional
        Standard deviation of each sample, shape (n,), or one for all, positive; all ones
        when omitted.
    pruning : {"PELT", "FPVI"}
        How the search discards candidate segments. Both find the same optimum; see Notes.
    precondition : {"none", "local"}
        Column scaling inside the energy computation (affects rounding only).
    bandwidth, bandwidth_samples : float, optional
        The smoothing as a bandwidth in units of x, or in mean sample spacings, instead of
        `p`: ``p = 1 / (1 + w * b**4 * h**3)`` for b samples of mean spacing h and mean
        weight w (``1 / delta**2``).
    penalty : float, optional
        The jump penalty in noise variances instead of `gamma`: ``gamma = p * penalty *
        s**2`` with s the noise level that :func:`vorn.select` estimates (its ``noise``). A
        jump is then kept when it lowers the residual sum of squares, in units of delta, by
        more than `penalty` noise variances (less what it saves in roughness).

    Returns
    -------
    Fit
        The fitted curve.

    Raises
    ------
    TypeError
        If an argument has the wrong type (non-numeric data, a string for `p`, ...).
    ValueError
        If shapes or lengths do not match, `p` is outside [0, 1], `gamma` is negative or NaN,
        a site or `delta` is not finite, or fewer than two distinct sites remain; if not
        exactly one of `p`, `bandwidth`, `bandwidth_samples` or not exactly one of `gamma`,
        `penalty` is given.

    Notes
    -----
    "PELT" is the default. It finds the same optimum as "FPVI", but when the number of
    jumps grows with n its work grows linearly with n, where FPVI's grows quadratically.
    Measured with ``bench/pruning_work.py`` (levels 0 and 3 alternating every 100 samples
    on a gentle trend, noise 0.1, p = 0.9999, gamma = 5; both rules found the same
    partition and costs at every n; seconds on a shared two-core machine):

    =======  =====  =============  ======  ===============  ======
    n        jumps  PELT counter   PELT s  FPVI counter     FPVI s
    =======  =====  =============  ======  ===============  ======
    1000     9      51,278         0.03    219,130          0.04
    10000    99     514,524        0.09    26,620,489       5.2
    100000   999    5,144,014      0.97    2,704,035,091    480
    =======  =====  =============  ======  ===============  ======

    The counter is the number of samples fed into segment energies
    (:attr:`Fit.complexity_counter`). Where there are few jumps both rules do O(n**2) work.

    Examples
    --------
    >>> import numpy as np, vorn
    >>> x = np.linspace(0.0, 1.0, 200)
    >>> y = np.sin(6 * x) + (x > 0.5)
    >>> f = vorn.fit(x, y, p=0.9999, gamma=1.0)
    >>> f.jumps.round(3), f.jump_sizes.round(3)
    (array([0.5]), array([0.989]))
    >>> f([0.25, 0.75]).round(3)
    array([0.997, 0.023])
    """
    prepared = prepare(x, y, delta)
    if bandwidth is not None or bandwidth_samples is not None or penalty is not None:
        from ._units import natural_parameters

        p, gamma = natural_parameters(prepared, p, gamma, bandwidth, bandwidth_samples, penalty)
    p_value = check_p(p)
    gamma_value = check_gamma(gamma)
    pruning_choice = check_pruning(pruning)
    precondition_choice = check_precondition(precondition)
    raw = _vorn_core.vorn(
        prepared.x, prepared.y, p_value, gamma_value, prepared.delta,
        pruning_choice, precondition_choice,
    )
    return Fit(
        dict(raw),
        p=p_value,
        gamma=gamma_value,
        pruning=pruning_choice,
        precondition=precondition_choice,
        one_dimensional=prepared.one_dimensional,
        sites=prepared.sites,
        columns=prepared.columns,
    )
