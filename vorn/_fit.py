"""One fit: the user-facing wrapper around the core's result dictionary."""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING, Any, Mapping, NamedTuple, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engine, _jumps

from ._checks import (
    check_gamma,
    check_p,
    check_precondition,
    check_pruning,
)
from ._extras import require
from ._sites import NUMBERS, Sites
from ._scoring import SEGMENTS_MESSAGE
from ._problem import Problem
from ._units import positive_number

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.axes import Axes
    from scipy.interpolate import PPoly  # type: ignore[import-untyped, unused-ignore]

__all__ = ["Fit", "PiecewisePolynomial", "SearchStats", "fit"]

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
    """

    origin: float
    spacing: float
    scale: float

    def sites(self, x: NDArray[np.float64]) -> NDArray[np.float64]:
        """Sites in standard units."""
        return np.asarray((x - self.origin) / self.spacing, dtype=np.float64)

    def user_sites(self, u: NDArray[np.float64]) -> NDArray[np.float64]:
        return np.asarray(self.origin + self.spacing * u, dtype=np.float64)

    def factor(self, power: int) -> float:
        """What a value of the `power`-th derivative in standard units is multiplied by."""
        with np.errstate(over="ignore", under="ignore"):
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
            factors = np.array([self._frame.factor(k - 1 - j) for j in range(k)])
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
    """

    # Fits pickled before there were segment models are smooth.
    segment_model: str = "smooth"

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
    ) -> None:
        super().__init__(fitted["breaks"], fitted["coefs"], one_dimensional, sites, columns,
                         frame)
        self.p = p
        self.segment_model = segments
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
        float64 values, and the bandwidth and penalty reproduce the fit."""
        return self._frame

    @property
    def x(self) -> NDArray[np.float64]:
        """Prepared sites (sorted, distinct)."""
        return self._x

    @property
    def y(self) -> NDArray[np.float64]:
        """Prepared values, 1-D for a single 1-D input series."""
        return self._y[:, 0] if self._one_dimensional else self._y

    @property
    def raw(self) -> dict[str, Any]:
        """The extension's full result dictionary for this fit (``_vorn_core.vorn``).

        Computed on first use from the arrays the fit was given, with "PELT" in place of the
        dominance search (the same optimum); kept for code written against the extension's
        dictionary (``pp_cell``, ``F``, ``partition``, ...). The fit itself does not need it.
        For a fit made in standardised units (:attr:`frame` set) it is the dictionary of the
        standardised problem.
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
        if self._frame is not None:
            unit += ", fitted in standardised units"
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


def fit(
    x: Optional[ArrayLike],
    y: ArrayLike,
    p: Optional[float] = None,
    gamma: Optional[float] = None,
    *,
    delta: Optional[ArrayLike] = None,
    pruning: str = "DOMINANCE",
    precondition: str = "none",
    bandwidth: Optional[float] = None,
    bandwidth_samples: Optional[float] = None,
    penalty: Optional[float] = None,
    segments: str = "smooth",
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
        Sample sites, shape (n,): numbers, datetimes or durations (NumPy, pandas or Python;
        the fit then works in the unit :attr:`Fit.site_unit` states), or pandas periods (read
        as the instants they start). Integers beyond 2**53 are counted from the smallest in
        exact arithmetic; sites that float64 cannot keep apart are refused. None means the
        index of a pandas `y` when it is numeric, datetime, timedelta or period (but not
        pandas' default 0, 1, ..., n - 1), else 1, 2, ..., n. Unsorted sites are sorted;
        repeated sites are merged by their weighted mean. Timezone-aware sites are read as UTC
        instants; sites with several UTC offsets are converted to UTC with a warning.
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
    pruning : {"DOMINANCE", "PELT", "FPVI"}
        How the search discards candidate segments. All three find the same optimum; see
        Notes.
    precondition : {"none", "local"}
        Column scaling inside the energy computation (affects rounding only).
    bandwidth, bandwidth_samples : float, optional
        The smoothing as a bandwidth in units of x (a timedelta for datetime sites), or in
        mean sample spacings, instead of `p`: ``p = 1 / (1 + w * b**4 * h**3)`` for b samples of mean spacing h and mean
        weight w (``1 / delta**2``).
    penalty : float, optional
        The jump penalty in noise variances instead of `gamma`: ``gamma = p * penalty *
        s**2`` with s the noise level that :func:`vorn.select` estimates (its ``noise``). A
        jump is then kept when it lowers the residual sum of squares, in units of delta, by
        more than `penalty` noise variances (less what it saves in roughness).
    segments : {"smooth", "linear", "constant"}
        What lies between jumps. "smooth": smoothing splines of `p`. "linear": straight lines,
        the same as ``p = 0`` (give no `p`, or 0, and no bandwidth). "constant": each segment's
        weighted mean, a segment costing ``sum_i (y_i - mean)**2 / delta_i**2`` (give no `p`
        and no bandwidth; `penalty` is then ``gamma / s**2``). Constant fits are found by
        their own exact search (`pruning` and `precondition` do not apply); their
        :attr:`Fit.p` is NaN and :meth:`Fit.jump_intervals`, :attr:`Fit.jump_evidence`,
        :meth:`Fit.jump_table` and :attr:`Fit.raw` are not available for them.

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
        `penalty` is given; if `segments` is unknown, or does not go with the `p` or
        bandwidth given.

    Notes
    -----
    "DOMINANCE" is the default: PELT whose list of candidate segment starts also drops the
    starts that another start dominates, so that it stays short inside long segments. It finds
    the same partition as "PELT" and "FPVI" (:attr:`Fit.search_stats` reports its work).

    "PELT" finds the same optimum as "FPVI", but when the number of
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

    Constant segments, the level of each its mean:

    >>> g = vorn.fit(None, [0.1, -0.1, 0.0, 2.1, 1.9, 2.0], gamma=1.0, segments="constant")
    >>> g.jumps, g([1, 6]).round(3)
    (array([3.5]), array([0., 2.]))
    """
    if segments not in ("smooth", "linear", "constant"):
        raise ValueError(SEGMENTS_MESSAGE)
    if segments != "smooth":
        if bandwidth is not None or bandwidth_samples is not None:
            raise ValueError(f"segments={segments!r} takes no bandwidth")
        if segments == "linear":
            if p is not None and not (isinstance(p, numbers.Real) and p == 0):
                raise ValueError(f"segments='linear' fits straight lines (p = 0), got p={p!r}")
            lines = fit(x, y, 0.0, gamma, delta=delta, pruning=pruning,
                        precondition=precondition, penalty=penalty)
            lines.segment_model = "linear"
            return lines
        if p is not None:
            raise ValueError(f"segments='constant' takes no p, got p={p!r}")
        if (gamma is None) == (penalty is None):
            raise ValueError("give exactly one of gamma and penalty")
        problem = Problem.of(x, y, delta, check_energies=False)
        pruning, precondition = check_pruning(pruning), check_precondition(precondition)
        if penalty is not None:
            level = positive_number("penalty", penalty, allow_inf=True)
            try:
                gamma = level * problem.units.scale**2
            except OverflowError:
                gamma = math.inf
        return fit_constant(problem, check_gamma(gamma), pruning, precondition)
    natural = bandwidth is not None or bandwidth_samples is not None or penalty is not None
    problem = Problem.of(x, y, delta, check_energies=not natural)
    if natural:
        if bandwidth is not None:
            bandwidth = problem.prepared.sites.length(bandwidth)
        p, gamma, standard = natural_parameters(problem, p, gamma, bandwidth,
                                                bandwidth_samples, penalty)
        if standard is not None:
            return fit_standardised(problem, *standard, check_pruning(pruning),
                                    check_precondition(precondition))
    return fit_problem(problem, check_p(p), check_gamma(gamma), check_pruning(pruning),
                       check_precondition(precondition))


def natural_parameters(
    problem: Problem,
    p: Optional[float],
    gamma: Optional[float],
    bandwidth: Optional[float],
    bandwidth_samples: Optional[float],
    penalty: Optional[float],
) -> tuple[Any, Any, Optional[tuple[float, float]]]:
    """The (p, gamma) of a fit given in any mix of raw and natural units.

    `p` and `gamma` are passed through unchecked; `bandwidth` is in units of x,
    `bandwidth_samples` in mean sample spacings, `penalty` in noise variances
    (:attr:`._units.Units.scale` squared). The third value is the (bandwidth in samples,
    penalty) to fit in standardised units when some parameters came in natural units and the
    raw pair does not give the same problem (it rounds, or the data's energies leave float64);
    None otherwise.

    Raises
    ------
    TypeError, ValueError
        When not exactly one way of giving each parameter is used, or a natural value is not
        a positive number.
    """
    given = [name for name, v in (("p", p), ("bandwidth", bandwidth),
                                  ("bandwidth_samples", bandwidth_samples)) if v is not None]
    if len(given) != 1:
        raise ValueError("give exactly one of p, bandwidth and bandwidth_samples, got "
                         + (", ".join(given) if given else "none"))
    if (gamma is None) == (penalty is None):
        raise ValueError("give exactly one of gamma and penalty")
    if p is not None and gamma is not None:
        return p, gamma, None
    units = problem.units
    if bandwidth is not None:
        b = positive_number("bandwidth", bandwidth) / units.spacing
        p = units.p(b)
    elif bandwidth_samples is not None:
        b = positive_number("bandwidth_samples", bandwidth_samples)
        p = units.p(b)
    else:
        b = units.bandwidth_samples(check_p(p))
    if penalty is not None:
        level = positive_number("penalty", penalty, allow_inf=True)
        p_value = check_p(p)
        try:
            gamma = level * (p_value if p_value > 0.0 else 1.0) * units.scale**2
        except OverflowError:
            gamma = math.inf
    else:
        level = units.penalty(check_p(p), check_gamma(gamma))
    if units.exact(b, level) and problem.energy_problem is None:
        return p, gamma, None
    return p, gamma, (b, level)


def _fit_of(fitted: Any, prepared: Any, p: float, gamma: float, pruning: str,
            precondition: str, segments: str = "smooth") -> Fit:
    """The Fit of an engine result on checked data."""
    return Fit(
        fitted,
        p=p,
        gamma=gamma,
        pruning=pruning,
        precondition=precondition,
        one_dimensional=prepared.one_dimensional,
        inputs=(prepared.x, prepared.y, prepared.delta),
        sites=prepared.sites,
        columns=prepared.columns,
        segments=segments,
    )


def fit_problem(problem: Problem, p: float, gamma: float, pruning: str = "DOMINANCE",
                precondition: str = "none") -> Fit:
    """:func:`fit` at a checked pair: from the prepared samples when the call has them, else
    from the rows, which the engine prepares inside the fit (the same fit bit for bit)."""
    rows = problem.prepared
    if problem.has_samples:
        samples = problem.samples
        fitted = _engine.fit_prepared(
            samples.x, samples.y, samples.weight, p, gamma,
            pruning,  # type: ignore[arg-type]  # checked against the engine's choices
            precondition,  # type: ignore[arg-type]
        )
    else:
        fitted = _engine.fit(
            rows.x, rows.y, rows.delta, p, gamma,
            pruning,  # type: ignore[arg-type]
            precondition,  # type: ignore[arg-type]
        )
    return _fit_of(fitted, rows, p, gamma, pruning, precondition)


def fit_constant(problem: Problem, gamma: float, pruning: str = "DOMINANCE",
                 precondition: str = "none") -> Fit:
    """:func:`fit` with constant segments at a checked gamma."""
    samples = problem.samples
    fitted = _engine.fit_constant(samples.x, samples.y, samples.weight, gamma)
    return _fit_of(fitted, problem.prepared, math.nan, gamma, pruning, precondition,
                   "constant")


def fit_natural(problem: Problem, bandwidth_samples: float, penalty: float, pruning: str,
                precondition: str = "none") -> Fit:
    """:func:`fit` with ``bandwidth_samples`` and ``penalty``: at the raw p and gamma when
    they give the same problem, else in standardised units."""
    units = problem.units
    b, level = bandwidth_samples, penalty
    p = check_p(units.p(b))
    try:
        gamma = level * (p if p > 0.0 else 1.0) * units.scale**2
    except OverflowError:
        gamma = math.inf
    if units.exact(b, level) and problem.energy_problem is None:
        return fit_problem(problem, p, check_gamma(gamma), pruning, precondition)
    return fit_standardised(problem, b, level, pruning, precondition)


def fit_standardised(problem: Problem, bandwidth_samples: float, penalty: float, pruning: str,
                     precondition: str) -> Fit:
    """The fit of a bandwidth (in samples) and a penalty (in noise variances), made in
    standardised units: sites in mean spacings from the first, values in noise standard
    deviations. The same problem as the raw p and gamma where those can be written; also
    where they cannot (they round to 0 or 1, or underflow), and where the data's own
    energies would leave float64."""
    units, samples, rows = problem.units, problem.samples, problem.prepared
    b = bandwidth_samples
    p_standard = units.p_standard(b) if not np.isinf(b) else 0.0
    gamma_standard = penalty * (p_standard if p_standard > 0.0 else 1.0)
    frame = Frame(units.origin, units.spacing, units.scale)
    n = rows.y.shape[0]
    x_user = rows.x if rows.x is not None else np.arange(1.0, n + 1.0)
    x_standard = np.ascontiguousarray(frame.sites(x_user))
    with np.errstate(over="ignore", under="ignore"):
        y_standard = np.ascontiguousarray(rows.y / units.scale)
    sites = np.ascontiguousarray(frame.sites(samples.x))
    if np.all(np.diff(sites) > 0.0):
        with np.errstate(over="ignore", under="ignore"):
            values = np.ascontiguousarray(samples.y / units.scale)
        fitted = _engine.fit_prepared(
            sites, values, samples.weight, p_standard, gamma_standard,
            pruning,  # type: ignore[arg-type]  # checked against the engine's choices
            precondition,  # type: ignore[arg-type]
        )
    else:
        # Sites that standardising rounds together: the engine merges them again.
        fitted = _engine.fit(
            x_standard, y_standard, rows.delta, p_standard, gamma_standard,
            pruning,  # type: ignore[arg-type]
            precondition,  # type: ignore[arg-type]
        )
    result = Fit(
        fitted,
        p=units.p(b),
        gamma=units.gamma(b, penalty),
        pruning=pruning,
        precondition=precondition,
        one_dimensional=rows.one_dimensional,
        inputs=(x_standard, y_standard, rows.delta),
        sites=rows.sites,
        columns=rows.columns,
        frame=frame,
        x=samples.x,
    )
    result._core_parameters = (p_standard, gamma_standard)
    return result
