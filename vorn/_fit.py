"""A fitted curve: the user-facing wrapper around the engine's result arrays."""

from __future__ import annotations

import numbers
from typing import TYPE_CHECKING, Any, Mapping, NamedTuple, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engine, _jumps
from ._extras import require
from ._sites import NUMBERS, Sites

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.axes import Axes
    from scipy.interpolate import PPoly  # type: ignore[import-untyped, unused-ignore]

__all__ = ["Fit", "Frame", "PiecewisePolynomial", "SearchStats"]

class SearchStats(NamedTuple):
    """What the partition search did besides :attr:`Fit.complexity_counter`.

    Attributes
    ----------
    extensions : int
        One-sample extensions of segment states.
    dropped : int
        Candidate segment starts dropped because another start dominates them (the
        dominance search only).
    max_active : int
        The longest the list of live segment starts became.
    """

    extensions: int
    dropped: int
    max_active: int


def _engine_layout(a: NDArray[np.float64]) -> NDArray[np.float64]:
    """`a` itself when the engine can read it in place (C order, aligned), else a copy.

    Arrays of a fit are made by the engine in that layout; unpickling (protocol 5 buffers)
    and user sites may hand over others.
    """
    return np.require(a, np.float64, ["C", "A"])


def _derivative_order(nu: Any, highest: int) -> int:
    """`nu` as an int in [0, highest], or an error naming `nu`."""
    if isinstance(nu, (bool, np.bool_)) or not isinstance(nu, numbers.Real):
        raise TypeError(f"nu must be an integer, got {type(nu).__name__}")
    value = float(nu)
    if not (value.is_integer() and 0 <= value <= highest):
        raise ValueError(f"nu must be a whole number from 0 to {highest}, got {nu!r}")
    return int(value)


def _bound(name: str, value: Any) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return float(value)


class Frame(NamedTuple):
    """Standardised units of a fit: ``x = origin + spacing * u`` and ``y = scale * v``.

    A fit made in these units keeps its polynomial pieces in them, so that neither the
    coefficients nor the energies leave the range of float64 however x and y are scaled.
    `scale` is one number, or one per value column when each column is measured in its own
    unit (:attr:`Fit.column_scale`).
    """

    origin: float
    spacing: float
    scale: Any

    def sites(self, x: NDArray[np.float64]) -> NDArray[np.float64]:
        """Sites in standard units."""
        return np.asarray((x - self.origin) / self.spacing, dtype=np.float64)

    def user_sites(self, u: NDArray[np.float64]) -> NDArray[np.float64]:
        return np.asarray(self.origin + self.spacing * u, dtype=np.float64)

    def factor(self, power: int) -> Any:
        """What a value of the `power`-th derivative in standard units is multiplied by (one
        number per column when each column has its own unit)."""
        with np.errstate(over="ignore", under="ignore"):
            if np.ndim(self.scale):
                return np.asarray(self.scale, dtype=np.float64) / np.float64(self.spacing) ** power
            return float(np.float64(self.scale) / np.float64(self.spacing) ** power)


class PiecewisePolynomial:
    """A piecewise polynomial in the layout of the fit: what :meth:`Fit.derivative` and
    :meth:`Fit.antiderivative` return.

    Calling the object evaluates it; a site on an inner break takes the piece on its right,
    and the first and last pieces extend beyond the outer breaks.

    Attributes
    ----------
    breaks : ndarray, shape (P + 1,)
        Breakpoints, ascending.
    coefs : ndarray, shape (P, d, k)
        Coefficients per piece and column, highest power first, in the variable measured from
        the piece's left break.
    """

    def __init__(
        self,
        breaks: NDArray[np.float64],
        coefs: NDArray[np.float64],
        one_dimensional: bool,
        sites: Sites = NUMBERS,
        columns: Optional[list[str]] = None,
        frame: Optional[Frame] = None,
    ) -> None:
        self._breaks = breaks
        self._coefs = coefs
        self._one_dimensional = one_dimensional
        self.sites = sites
        self.columns = columns
        self._frame = frame

    # Objects pickled before frames existed have none.
    _frame: Optional[Frame] = None

    @property
    def breaks(self) -> NDArray[np.float64]:
        """Breakpoints of the piecewise polynomial (jump locations included)."""
        if self._frame is not None:
            return self._frame.user_sites(self._breaks)
        return self._breaks

    @property
    def coefs(self) -> NDArray[np.float64]:
        """Coefficients, shape (pieces, d, k), highest power first, local to each piece.

        For a fit made in standardised units (see :func:`fit`) a coefficient beyond the range
        of float64 is inf; evaluation does not use them."""
        if self._frame is not None:
            k = self.order
            factors = np.stack([self._frame.factor(k - 1 - j) for j in range(k)], axis=-1)
            with np.errstate(over="ignore", invalid="ignore"):
                return self._coefs * factors
        return self._coefs

    @property
    def dim(self) -> int:
        """Number of value columns."""
        return int(self._coefs.shape[1])

    @property
    def order(self) -> int:
        """Coefficients per piece and column (degree + 1)."""
        return int(self._coefs.shape[2])

    def _form(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        return _engine_layout(self._breaks), _engine_layout(self._coefs)

    def _values(self, sites: NDArray[np.float64], nu: int = 0,
                left: bool = False) -> NDArray[np.float64]:
        """Values (or derivatives) at float sites in the units of x, shape (len, d)."""
        if self._frame is None:
            return _engine.evaluate(*self._form(), _engine_layout(sites), nu, left)
        u = _engine_layout(self._frame.sites(sites))
        values = _engine.evaluate(*self._form(), u, nu, left)
        with np.errstate(over="ignore", invalid="ignore"):
            return values * self._frame.factor(nu)

    def _columns(self, values: NDArray[np.float64], shape: tuple[int, ...]) -> Any:
        if self._one_dimensional:
            out = values[:, 0].reshape(shape)
        else:
            out = values.reshape(shape + (self.dim,))
        return out[()] if out.ndim == 0 else out

    def __call__(self, xs: ArrayLike, nu: Any = 0) -> Any:
        """Evaluate the curve or one of its derivatives.

        Parameters
        ----------
        xs : array_like
            Sites, any shape: numbers, or datetimes for a fit on datetime sites. NaN sites
            give NaN.
        nu : int
            Order of derivative, 0 (values) to ``order - 1`` (3 for a fit); an integer-valued
            float is accepted.

        Returns
        -------
        ndarray or pandas object
            Shape ``xs.shape`` for a single 1-D series, else ``xs.shape + (d,)``. For pandas
            sites (an Index or Series), a Series or DataFrame on the same index.

        Raises
        ------
        TypeError
            If `xs` is not numeric or `nu` is not a number.
        ValueError
            If `nu` is not a whole number from 0 to ``order - 1``.

        Notes
        -----
        At a jump the curve takes its right limit, like every other inner break.
        """
        order = _derivative_order(nu, self.order - 1)
        sites = self.sites.encode("xs", xs)
        values = self._values(sites.ravel(), order)
        out = self._columns(values, sites.shape)
        return out if np.ndim(out) == 0 else self.sites.wrap(out, xs, self.columns)

    def integrate(self, a: float, b: float) -> Any:
        """Definite integral from `a` to `b`.

        Parameters
        ----------
        a, b : float
            Bounds; ``b < a`` gives the negative of the integral from `b` to `a`. Beyond the
            outer breaks the first and last pieces continue.

        Returns
        -------
        float or ndarray
            A float for a single 1-D series, else one value per column, shape (d,).

        Raises
        ------
        TypeError
            If a bound is not a real number.
        """
        lower = _bound("a", a if self.sites.is_identity else self.sites.encode("a", a)[()])
        upper = _bound("b", b if self.sites.is_identity else self.sites.encode("b", b)[()])
        if self._frame is None:
            values = _engine.integrate(*self._form(), lower, upper)
        else:
            frame = self._frame
            bounds = frame.sites(np.array([lower, upper]))
            values = _engine.integrate(*self._form(), float(bounds[0]), float(bounds[1]))
            values = values * frame.factor(-1)
        return self._columns(values.reshape(1, -1), ())

    def derivative(self, nu: Any = 1) -> PiecewisePolynomial:
        """The `nu`-th derivative as a :class:`PiecewisePolynomial` over the same breaks.

        Raises
        ------
        TypeError, ValueError
            As for calling the object with `nu`.
        """
        order = _derivative_order(nu, self.order - 1)
        coefs = _engine.derivative(*self._form(), order)
        return PiecewisePolynomial(
            self._breaks, coefs, self._one_dimensional, self.sites, self.columns,
            self._rescaled(order),
        )

    def antiderivative(self) -> PiecewisePolynomial:
        """The antiderivative that is 0 at ``breaks[0]`` and continuous everywhere (also
        across jumps), as a :class:`PiecewisePolynomial` of one order more."""
        coefs = _engine.antiderivative(*self._form())
        return PiecewisePolynomial(
            self._breaks, coefs, self._one_dimensional, self.sites, self.columns,
            self._rescaled(-1),
        )

    def _rescaled(self, power: int) -> Optional[Frame]:
        """The frame of the `power`-th derivative (-1: the antiderivative)."""
        if self._frame is None:
            return None
        return self._frame._replace(scale=self._frame.factor(power))

    def to_ppoly(self) -> PPoly:
        """The curve as a :class:`scipy.interpolate.PPoly` with identical values.

        Returns
        -------
        scipy.interpolate.PPoly
            Coefficients of shape (k, pieces) for a single 1-D series, else (k, pieces, d).

        Raises
        ------
        ImportError
            If SciPy is not installed (``pip install 'vorn[scipy]'``).
        """
        PPoly = require("scipy.interpolate", "scipy", "to_ppoly").PPoly
        c = self.coefs.transpose(2, 0, 1)
        if self._one_dimensional:
            c = c[:, :, 0]
        return PPoly(np.ascontiguousarray(c), self.breaks.copy(), extrapolate=True)

    def __repr__(self) -> str:
        return (
            f"PiecewisePolynomial(pieces={self._breaks.shape[0] - 1}, dim={self.dim}, "
            f"order={self.order})"
        )


class Fit(PiecewisePolynomial):
    """A cubic smoothing spline with discontinuities, as fitted by :func:`fit`.

    Calling the object evaluates the curve. Between jumps it is a cubic smoothing spline of
    the samples of one segment (a straight line for ``segments="linear"``, the segment's
    weighted mean for ``segments="constant"``); outside the data it continues linearly with
    the end slopes (constant segments stay constant).

    Attributes
    ----------
    p, gamma : float
        The smoothing parameter and the jump penalty of this fit; `p` is NaN for constant
        segments, which have none.
    segment_model : str
        What lies between jumps: "smooth", "linear" or "constant" (the `segments` argument of
        :func:`fit`).
    pruning, precondition : str
        The search options used (canonical spelling).
    x : ndarray, shape (n,)
        The prepared sites: sorted, distinct, finite-valued samples only.
    y : ndarray, shape (n,) or (n, d)
        The prepared values (duplicates merged by weighted mean); 1-D when the fit was given a
        single 1-D series.
    search_stats : SearchStats
        What the partition search did.
    sites : vorn._sites.Sites
        How the sites passed in map to `x`: numbers map to themselves; datetimes and
        durations to their distance from the earliest site in the unit :attr:`site_unit`
        names; integers beyond 2**53 to their exact distance from the smallest. Jumps and
        segment bounds of a fit on datetimes are datetimes, and the curve is evaluated at
        datetimes; for such integers they are float64 in the units of the integers (the
        nearest float64 to the true location: add the origin to `x` for exact sites).
    columns : list of str or None
        Names of the value columns (from a pandas DataFrame `y`), used by :meth:`plot`.
    column_scale : ndarray, shape (d,), or None
        The unit each value column was measured in for the search (the `column_scale` of
        :func:`fit`; :func:`vorn.select` of several columns sets it to their noise levels);
        None when the values count as given. The curve is in the units of y either way.
    """

    # Fits pickled before there were segment models are smooth, and before column scales
    # had none.
    segment_model: str = "smooth"
    column_scale: Optional[NDArray[np.float64]] = None

    def __init__(
        self,
        fitted: Mapping[str, Any],
        *,
        p: float,
        gamma: float,
        pruning: str,
        precondition: str,
        one_dimensional: bool,
        inputs: tuple[Any, ...] = (),
        sites: Sites = NUMBERS,
        columns: Optional[list[str]] = None,
        frame: Optional[Frame] = None,
        x: Optional[NDArray[np.float64]] = None,
        segments: str = "smooth",
        column_scale: Optional[NDArray[np.float64]] = None,
    ) -> None:
        super().__init__(fitted["breaks"], fitted["coefs"], one_dimensional, sites, columns,
                         frame)
        self.p = p
        self.segment_model = segments
        self.column_scale = column_scale
        self.gamma = gamma
        self.pruning = pruning
        self.precondition = precondition
        self._x: NDArray[np.float64] = fitted["x"]
        self._y: NDArray[np.float64] = fitted["y"]
        self._jumps: NDArray[np.float64] = fitted["jumps"]
        self._standard_jumps = self._jumps
        if frame is not None:
            same = x is not None and x.shape == self._x.shape
            self._x = x if same else frame.user_sites(self._x)  # type: ignore[assignment]
            with np.errstate(over="ignore", under="ignore"):
                self._y = self._y * frame.scale
            self._jumps = frame.user_sites(self._jumps)
        self._jump_indices: NDArray[np.int64] = fitted["jump_indices"]
        self._complexity_counter = int(fitted["complexity_counter"])
        self.search_stats = SearchStats(
            int(fitted["extensions"]), int(fitted["dropped"]), int(fitted["max_active"])
        )
        self._inputs = inputs
        self._raw: Optional[dict[str, Any]] = None
        # The p and gamma the core works with: those of the standardised problem when the fit
        # is made in standard units.
        self._core_parameters = (p, gamma)
        self._jump_reports: dict[Any, Any] = {}
        # The jumps are measured in the noise estimated from the samples unless the caller
        # gave delta; a Selection, whose delta only widens outliers, estimates it always.
        self._jump_noise_estimated = False

    # -- data -------------------------------------------------------------------------------

    @property
    def frame(self) -> Optional[Frame]:
        """The standardised units the fit was made in, or None for a fit in the units of the
        data. Set when the smoothing and the penalty were given in natural units and the raw
        `p` and `gamma` cannot express them: then `p` and `gamma` are only the nearest
        float64 values, and the bandwidth and penalty reproduce the fit. (A fit whose columns
        are only measured in their own units, :attr:`column_scale`, has none.)"""
        return self._frame if self._standardised else None

    @property
    def _standardised(self) -> bool:
        # Fits pickled before column scales existed were standardised whenever they had a
        # frame; a column scale alone makes a frame of unit sites.
        if getattr(self, "column_scale", None) is None:
            return self._frame is not None
        return bool(getattr(self, "_in_standard_units", False))

    @property
    def x(self) -> NDArray[np.float64]:
        """Prepared sites (sorted, distinct)."""
        return self._x

    @property
    def y(self) -> NDArray[np.float64]:
        """Prepared values, 1-D for a single 1-D input series."""
        return self._y[:, 0] if self._one_dimensional else self._y

    @property
    def _searched_y(self) -> NDArray[np.float64]:
        """Prepared values, shape (n, d), in the units the search measured them in."""
        scale = getattr(self, "column_scale", None)
        return self._y if scale is None else self._y / scale

    @property
    def raw(self) -> dict[str, Any]:
        """The extension's full result dictionary for this fit (``_vorn_core.vorn``).

        Computed on first use from the arrays the fit was given, with "PELT" in place of the
        dominance search (the same optimum); kept for code written against the extension's
        dictionary (``pp_cell``, ``F``, ``partition``, ...). The fit itself does not need it.
        For a fit made in standardised units (:attr:`frame` set), or with its columns in their
        own units (:attr:`column_scale` set), it is the dictionary of that problem.
        The extension searches the values as given, the fit their deviations from each
        column's midrange: for values far from zero, whose rounding can outweigh `gamma`, the
        two may split differently, and the fit's own partition is the one to trust.
        """
        if self.segment_model == "constant":
            raise NotImplementedError("the extension has no constant segments: a constant fit "
                                      "has no raw dictionary")
        if self._raw is None:
            # Loaded here, not with the package: nothing but this dictionary needs the
            # extension, and most sessions never ask for it.
            import _vorn_core

            x, y, delta = self._inputs
            p, gamma = getattr(self, "_core_parameters", (self.p, self.gamma))  # old pickles
            pruning = "PELT" if self.pruning == "DOMINANCE" else self.pruning
            self._raw = dict(
                _vorn_core.vorn(x, y, p, gamma, delta, pruning, self.precondition)
            )
        return self._raw

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
        return self.sites.decode(self._jumps)

    @property
    def segment_bounds(self) -> Any:
        """First site, jumps and last site: segment i spans bounds[i] to bounds[i + 1]."""
        x = self._x
        return self.sites.decode(np.concatenate(([x[0]], self._jumps, [x[-1]])))

    @property
    def jump_indices(self) -> NDArray[np.int64]:
        """Index (into the prepared samples) of the last sample before each jump."""
        return self._jump_indices

    @property
    def jump_sizes(self) -> NDArray[np.float64]:
        """Right limit minus left limit of the curve at each jump.

        Shape (k,) for a single 1-D series, else (k, d).
        """
        # At the jumps of the fit itself, in its own units: no site falls on the wrong side.
        jumps = _engine_layout(getattr(self, "_standard_jumps", self._jumps))
        right = _engine.evaluate(*self._form(), jumps, 0)
        left = _engine.evaluate(*self._form(), jumps, 0, True)
        sizes = right - left
        if self._frame is not None:
            with np.errstate(over="ignore"):
                sizes = sizes * self._frame.scale
        return sizes[:, 0] if self._one_dimensional else sizes

    @property
    def segments(self) -> list[range]:
        """Index ranges (into the prepared samples) of the segments between jumps."""
        bounds = [0] + [int(i) + 1 for i in self._jump_indices] + [int(self._x.shape[0])]
        return [range(a, b) for a, b in zip(bounds[:-1], bounds[1:])]

    @property
    def complexity_counter(self) -> int:
        """Number of samples the partition search fed into segment energies."""
        return self._complexity_counter

    # -- how sure each jump is ---------------------------------------------------------------

    def jump_intervals(self, level: float = 0.9) -> Any:
        """Where each jump could be, the other jumps held fixed.

        The interval holds every place between the jump's two neighbouring jumps at which the
        fit's cost (the energies of the two segments) is within ``c * rho`` noise variances of
        the cheapest: c is the `level` quantile of the cost of the true place for a jump of
        the fitted size less one standard error (a found small jump looks larger than it is;
        the cost is a two-sided random walk, simulated; ``-2 log(1 - sqrt(level))`` in the
        limit of small jumps), ``rho = (1 + phi) / (1 - phi)`` for noise with lag-one
        correlation phi. A place between two samples stands for the whole gap between them.

        Parameters
        ----------
        level : float
            Coverage aimed at, strictly between 0 and 1.

        Returns
        -------
        ndarray, shape (k, 2)
            Lower and upper end of each jump's interval in units of x; datetimes for a fit on
            datetime sites.

        Raises
        ------
        TypeError, ValueError
            If `level` is not a number strictly between 0 and 1.

        Notes
        -----
        Computed when first asked for (one pass over the segments next to the jumps) and kept.
        The noise is estimated as :func:`vorn.select` does (its autocorrelation as estimated,
        not pulled towards 0), or taken as 1 (in units of delta) when the fit was given
        `delta`. Measured coverage: ``bench/jumps/RESULTS.md``.

        Examples
        --------
        >>> import numpy as np, vorn
        >>> rng = np.random.default_rng(3)
        >>> y = np.r_[np.zeros(100), np.ones(100)] + 0.4 * rng.standard_normal(200)
        >>> f = vorn.fit(None, y, bandwidth_samples=30, penalty=10)
        >>> f.jumps, f.jump_intervals()
        (array([100.5]), array([[100., 101.]]))
        """
        return _jumps.intervals(self, level)

    @property
    def jump_evidence(self) -> Any:
        """Energy each jump saves and its significance, a :class:`vorn.JumpEvidence`.

        `saved` is the energy of the jump's two segments merged into one and refitted, less
        their energies apart, in noise variances (comparable with the `penalty` of
        :func:`fit`); `significance` the probability that a segment without any jump shows a
        saving at least as large at some split (a law tabulated by simulation). Both hold
        the other jumps fixed and rest on the noise estimate.
        """
        return _jumps.evidence(self)

    def jump_table(self, level: float = 0.9) -> Any:
        """Everything about the jumps, one row each.

        Columns: location, lower and upper (:meth:`jump_intervals` at `level`), size, left
        and right (the limits of the curve; one of each per value column, suffixed with the
        column name, when there are several), saved and significance
        (:attr:`jump_evidence`).

        Returns
        -------
        pandas.DataFrame or numpy.recarray
            A DataFrame when pandas is installed, else a NumPy record array.
        """
        return _jumps.table(self, level)

    # -- evaluation -------------------------------------------------------------------------

    def plot(self, ax: Optional[Axes] = None, *, data: bool = True, jumps: bool = True,
             labels: Optional[list[str]] = None, intervals: Optional[float] = 0.9) -> Axes:
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
            Legend names of the value columns; by default the DataFrame's column names, or
            ``y[0]``, ``y[1]``, ... when there are several columns.
        intervals : float or None
            Shade every jump's location interval at this level (:meth:`jump_intervals`);
            None shades nothing.

        Returns
        -------
        matplotlib.axes.Axes

        Raises
        ------
        ImportError
            If matplotlib is not installed (``pip install 'vorn[plot]'``).
        """
        plt = require("matplotlib.pyplot", "plot", "Fit.plot")
        if ax is None:
            _, ax = plt.subplots()
        x = self._x
        span = float(x[-1] - x[0])
        bounds = np.concatenate(([x[0]], self._jumps, [x[-1]]))
        names = _legend_names(self.dim, labels if labels is not None else self.columns)
        if data:
            for j in range(self.dim):
                ax.plot(self.sites.decode(x), self._y[:, j], ".", color=f"C{j}", alpha=0.45,
                        markersize=4, label="data" if j == 0 and names is None else None)
        for k in range(bounds.shape[0] - 1):
            lo, hi = float(bounds[k]), float(bounds[k + 1])
            num = int(min(2000, max(24, 800 * (hi - lo) / span if span > 0 else 24)))
            grid = np.linspace(lo, hi, num)
            # The segment's own end: the left limit at the jump that closes it.
            curve = np.concatenate([
                self._values(grid[:-1], 0),
                self._values(grid[-1:], 0, True),
            ])
            for j in range(self.dim):
                name = "fit" if names is None else names[j]
                ax.plot(self.sites.decode(grid), curve[:, j], "-", color=f"C{j}", linewidth=1.8,
                        label=name if (k == 0 and (j == 0 or names is not None)) else None)
        if jumps:
            for k, loc in enumerate(self.jumps):
                ax.axvline(loc, color="0.35", linestyle="--", linewidth=0.9,
                           label="jump" if k == 0 else None)
        if intervals is not None and self._jumps.size and self.segment_model != "constant":
            bounds = self.jump_intervals(intervals)
            for lo, hi in bounds:
                ax.axvspan(lo, hi, color="0.5", alpha=0.18, linewidth=0)
        ax.legend(loc="best", frameon=False)
        return ax

    def __repr__(self) -> str:
        jumps = np.array2string(self._jumps, precision=6, separator=", ", threshold=8)
        unit = "" if self.site_unit is None else f", x in {self.site_unit}"
        if self.sites.from_index:
            unit = ", x from y.index" + (f" in {self.site_unit}" if self.site_unit else "")
        if self._standardised:
            unit += ", fitted in standardised units"
        if getattr(self, "column_scale", None) is not None:
            unit += ", each column in its own unit"
        smoothing = {"constant": "segments='constant'",
                     "linear": "segments='linear'"}.get(self.segment_model, f"p={self.p!r}")
        return (
            f"Fit(n={self._x.shape[0]}, dim={self.dim}, {smoothing}, gamma={self.gamma!r}, "
            f"jumps={jumps}{unit})"
        )


def _legend_names(dim: int, labels: Optional[list[str]]) -> Optional[list[str]]:
    """Legend names of the value columns; None keeps the plain "data" / "fit" legend."""
    if labels is None:
        return None if dim == 1 else [f"y[{j}]" for j in range(dim)]
    if len(labels) != dim:
        raise ValueError(f"labels must name the {dim} value columns, got {len(labels)} names")
    return [str(name) for name in labels]
