"""One data set as a public call sees it (checked once, prepared once, measured once), the
fits made of it, and the public calls that start from it alone: vorn.fit, vorn.noise_level."""

from __future__ import annotations

import math
import numbers
from functools import cached_property
from typing import Any, NamedTuple, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engine
from ._checks import (Prepared, check_column_scale, check_gamma, check_p, check_precondition,
                      check_pruning, energy_problem, prepare)
from ._fit import Fit, Frame
from ._noise import first_difference_sd
from ._scoring import SEGMENTS_MESSAGE
from ._units import Samples, Units, positive_number, reweighted, samples_of, units_of

__all__ = ["FinalFit", "Problem", "fit", "noise_level"]


class FinalFit(NamedTuple):
    """The fit of all the data at a chosen pair (:meth:`Problem.fit_chosen`), and what
    reproduces it."""

    fit: Fit
    p: float
    gamma: float
    arguments: dict[str, Any]
    note: str
    row_factor: NDArray[np.float64]  # how much each row's deviation was widened


class Problem:
    """The caller's data and everything measured on them, made once per public call.

    The checked rows (:func:`._checks.prepare`: the sites and their unit, the columns, the
    caller's deviations) come first; the engine's prepared samples (sorted, distinct, finite,
    rows that share a site merged), the standardised units and the noise estimate follow
    when first asked for, so that a plain fit at a given p and gamma lets the engine prepare
    its rows inside the fit itself. Every fit, score and noise estimate of the call reads
    them from here; nothing prepares the data a second time.

    Attributes
    ----------
    prepared : Prepared
        The checked rows (values divided by `column_scale` when it is set).
    column_scale : ndarray, shape (d,), or None
        The unit of each value column (:meth:`with_column_scale`); the fits come back in the
        caller's units.
    """

    def __init__(self, prepared: Prepared, samples: Optional[Samples] = None,
                 units: Optional[Units] = None,
                 column_scale: Optional[NDArray[np.float64]] = None) -> None:
        self.prepared = prepared
        self._samples = samples
        self._units = units
        self.column_scale = column_scale
        self._unscaled: Optional[Problem] = None

    @classmethod
    def of(cls, x: Any, y: Any, delta: Any = None, *, check_energies: bool = True) -> Problem:
        """Check the caller's `x`, `y` and `delta` (as :func:`vorn.fit` takes them)."""
        return cls(prepare(x, y, delta, check_energies=check_energies))

    @property
    def samples(self) -> Samples:
        """The engine's prepared samples, made on first use."""
        if self._samples is None:
            rows = self.prepared
            self._samples = samples_of(rows.x, rows.y, rows.delta)
        return self._samples

    @property
    def has_samples(self) -> bool:
        """Whether the samples are prepared already."""
        return self._samples is not None

    @property
    def units(self) -> Units:
        """Standardised units and the noise estimate (:func:`._units.units_of`)."""
        if self._units is None:
            self._units = units_of(self.samples)
        return self._units

    @cached_property
    def energy_problem(self) -> Optional[str]:
        """Why the fit's energies overflow in the data's own units, or None."""
        return energy_problem(self.prepared)

    @property
    def y(self) -> NDArray[np.float64]:
        """The checked values, 1-D when the caller gave one 1-D series."""
        rows = self.prepared
        return rows.y[:, 0] if rows.one_dimensional else rows.y

    def per_row(self, per_site: NDArray[np.float64]) -> NDArray[np.float64]:
        """A value per site spread to the rows merged into it (1 for missing rows)."""
        values = np.ones(self.prepared.y.shape[0])
        site = self.samples.site_of_row
        known = site >= 0
        values[known] = per_site[site[known]]
        return values

    @property
    def row_sites(self) -> NDArray[np.float64]:
        """Each row's site as checked, or 1, 2, ..., n when no sites were given."""
        rows = self.prepared
        return rows.x if rows.x is not None else np.arange(1.0, rows.y.shape[0] + 1.0)

    @property
    def row_deltas(self) -> NDArray[np.float64]:
        """Each row's deviation as checked, or ones when none were given."""
        rows = self.prepared
        return rows.delta if rows.delta is not None else np.ones(rows.y.shape[0])

    def rows_in_site_order(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Every kept row's values and deviation in the order of its site, rows that share a
        site unmerged and in input order."""
        site = self.samples.site_of_row
        kept = np.flatnonzero(site >= 0)
        kept = kept[np.argsort(site[kept], kind="stable")]
        return self.prepared.y[kept], self.row_deltas[kept]

    def with_delta(self, delta: NDArray[np.float64]) -> Problem:
        """The same rows with other deviations `delta` (shape (n,)): the same sites merged
        again with them, as the engine merges, without preparing again."""
        if self._unscaled is not None:
            # Merged in the caller's units, then scaled: as vorn.fit(column_scale=) does.
            return self._unscaled.with_delta(delta).with_column_scale(self.column_scale)
        return Problem(self.prepared._replace(delta=delta),
                       reweighted(self.samples, self.prepared.y, delta))

    def with_column_scale(self, scale: Any) -> Problem:
        """Every value column measured in its own unit `scale` (shape (d,), positive): the
        energies, the noise and the penalty are those of ``y[:, j] / scale[j]``, so that a
        noisy column does not drown a quiet one. Fits come back in the caller's units."""
        base = self if self._unscaled is None else self._unscaled
        rows, samples = base.prepared, base.samples
        scaled = Problem(rows._replace(y=rows.y / scale),
                         Samples(samples.x, samples.y / scale, samples.delta,
                                 samples.site_of_row, samples.weight),
                         column_scale=scale)
        scaled._unscaled = base
        return scaled

    def with_row_factors(self, factors: NDArray[np.float64]) -> Problem:
        """Every row's deviation (1 when none was given) multiplied by its site's factor."""
        base = self.prepared.delta
        row_factor = self.per_row(factors)
        return self.with_delta(row_factor if base is None else base * row_factor)

    def widened_by(self, factors: NDArray[np.float64]) -> Problem:
        """:meth:`with_row_factors` for outlier factors (at least 1): this problem itself when
        none widens a row."""
        return self.with_row_factors(factors) if np.any(factors > 1.0) else self


    # -- fits -------------------------------------------------------------------------------

    def fit(self, p: float, gamma: float, pruning: str = "DOMINANCE",
            precondition: str = "none") -> Fit:
        """The fit at a checked pair: from the prepared samples when the call has them, else
        from the rows, which the engine prepares inside the fit (the same fit bit for bit)."""
        rows = self.prepared
        if self.has_samples:
            samples = self.samples
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
        return self._fit_of(fitted, p, gamma, pruning, precondition)

    def _frame(self) -> Optional[Frame]:
        """The frame of a fit in the data's own sites: none, or each column's unit."""
        return None if self.column_scale is None else Frame(0.0, 1.0, self.column_scale)

    def fit_constant(self, gamma: float, pruning: str = "DOMINANCE",
                     precondition: str = "none") -> Fit:
        """The fit with constant segments at a checked gamma."""
        samples = self.samples
        fitted = _engine.fit_constant(samples.x, samples.y, samples.weight, gamma)
        return self._fit_of(fitted, math.nan, gamma, pruning, precondition, "constant")

    def writes_constant_gamma(self, units: Units, penalty: float) -> bool:
        """Whether a constant fit of `penalty` variances of the noise of `units` can be made
        at its raw gamma: that gamma is a float64 number as for straight lines
        (:meth:`._units.Units.inexact`), and so is a bound on the data's weighted squares."""
        samples = self.samples
        largest = max(float(samples.y.max()), -float(samples.y.min()))
        return (units.inexact(math.inf, penalty) is None
                and math.isfinite(largest * largest * float(np.sum(samples.weight))))

    def fit_constant_in_noise_units(self, penalty: float, scale: float, gamma: float,
                                    pruning: str = "DOMINANCE", precondition: str = "none"
                                    ) -> Fit:
        """The fit with constant segments of `penalty` variances of noise of sd `scale`, made
        with the values in units of `scale` (the fit's frame carries them back); `gamma` is
        the penalty in the units of the data as far as float64 can say it."""
        samples, rows = self.samples, self.prepared
        with np.errstate(over="ignore", under="ignore"):
            values = np.ascontiguousarray(samples.y / scale)
        fitted = _engine.fit_constant(samples.x, values, samples.weight, penalty)
        frame_scale = scale if self.column_scale is None else scale * self.column_scale
        result = Fit(fitted, p=math.nan, gamma=gamma, pruning=pruning, precondition=precondition,
                     one_dimensional=rows.one_dimensional, inputs=(rows.x, rows.y, rows.delta),
                     sites=rows.sites, columns=rows.columns, segments="constant",
                     frame=Frame(0.0, 1.0, frame_scale), x=samples.x,
                     column_scale=self.column_scale)
        result._core_parameters = (math.nan, penalty)
        result._in_standard_units = True
        return result

    def fit_natural(self, bandwidth_samples: float, penalty: float, pruning: str = "DOMINANCE",
                    precondition: str = "none") -> Fit:
        """The fit of a bandwidth (in samples) and a penalty (in noise variances): at the raw
        p and gamma when they give the same problem, else in standardised units
        (:meth:`fit_standardised`)."""
        units = self.units
        b, level = bandwidth_samples, penalty
        p = check_p(units.p(b))
        try:
            gamma = level * (p if p > 0.0 else 1.0) * units.scale**2
        except OverflowError:
            gamma = math.inf
        if units.exact(b, level) and self.energy_problem is None:
            return self.fit(p, check_gamma(gamma), pruning, precondition)
        return self.fit_standardised(b, level, pruning, precondition)

    def fit_chosen(self, bandwidth_samples: float, penalty: float,
                   factors: NDArray[np.float64], caller_delta: Optional[NDArray[np.float64]],
                   *, p_exact: Optional[float] = None, gamma_exact: Optional[float] = None,
                   pruning: str = "DOMINANCE", precondition: str = "none") -> FinalFit:
        """Fit all the data at a chosen bandwidth (samples) and penalty (noise variances),
        each site's rows widened by its outlier `factors`, on the caller's sites (dates stay
        dates): at the raw p and gamma when they carry the choice, else in standardised units
        through the natural arguments of :func:`vorn.fit`. These data are those the choice was
        made on (the caller's, or with the local noise level as deviations); the arguments that
        reproduce the fit name the deviations unless they are the caller's, `caller_delta`. A p
        or gamma the caller gave (`p_exact`, `gamma_exact`) is kept to the last bit rather than
        rebuilt."""
        units = self.units
        b, pen = bandwidth_samples, penalty
        p_raw = units.p(b) if p_exact is None else p_exact
        try:
            gamma_raw = (pen * (p_raw if p_raw > 0.0 else 1.0) * units.scale**2
                         if gamma_exact is None else gamma_exact)
        except OverflowError:
            gamma_raw = math.inf
        row_factor = self.per_row(factors)
        # Widened deviations: the same sites merged again with them, not prepared again.
        target = self.widened_by(factors)
        given = p_exact is not None and gamma_exact is not None
        why = None if given else units.inexact(b, pen)
        if why is None and not given and self.energy_problem is not None:
            why = "the data's energies overflow in their own units"
        if why is None:
            if target.energy_problem is not None:
                raise ValueError(target.energy_problem)
            refit = target.fit(check_p(p_raw), check_gamma(gamma_raw), pruning, precondition)
            arguments: dict[str, Any] = {"p": p_raw, "gamma": gamma_raw}
        else:
            if target is not self:
                # With widened deviations the data have another mean weight and noise level:
                # the same roughness weight and jump price take another bandwidth and penalty.
                widened = target.units
                b = b * (units.mean_weight / widened.mean_weight) ** 0.25
                pen = pen * (units.scale / widened.scale) ** 2
            refit = target.fit_natural(b, pen, pruning, precondition)
            p_raw, gamma_raw = refit.p, refit.gamma
            arguments = {"bandwidth_samples": b} if b < math.inf else {"p": 0.0}
            arguments.update({"penalty": pen} if pen > 0.0 else {"gamma": 0.0})
        note = "" if refit.frame is None else (
            f"p and gamma cannot be written in the units of the data ({why}); "
            "vorn.fit(x, y, **selection.arguments), with "
            + ", ".join(f"{k}={v!r}" for k, v in arguments.items()) + ", reproduces the fit")
        if target.prepared.delta is not caller_delta:
            arguments["delta"] = target.prepared.delta
        if target.column_scale is not None:
            arguments["column_scale"] = target.column_scale
        return FinalFit(refit, p_raw, gamma_raw, arguments, note, row_factor)

    def fit_levels(self, units: Units, penalty: float, gamma: float,
                   factors: NDArray[np.float64], *, gamma_given: bool = False) -> FinalFit:
        """The fit with constant segments at `penalty` variances of the noise of `units`
        (`gamma` in the units of the data, as far as float64 can say it), each site's rows
        widened by its outlier `factors`, and the arguments of :func:`vorn.fit` that reproduce
        it: at `gamma` where that can be written (or the caller gave it, `gamma_given`), else
        in the noise level vorn.fit measures on the same arguments, as a smooth choice's fit
        is (:meth:`fit_chosen`): the same levels from the same arithmetic."""
        target = self.widened_by(factors)
        arguments: dict[str, Any] = {"gamma": gamma, "segments": "constant"}
        note = ""
        if gamma_given or target.writes_constant_gamma(units, penalty):
            refit = target.fit_constant(check_gamma(gamma))
        else:
            fit_scale = target.units.scale
            level = penalty * (units.scale / fit_scale) ** 2
            refit = target.fit_constant_in_noise_units(level, fit_scale, gamma)
            arguments = {"penalty": level, "segments": "constant"}
            note = ("gamma cannot be written in the units of the data (the noise variance "
                    "leaves float64); vorn.fit(x, y, **selection.arguments) reproduces the fit")
        if target is not self:
            arguments["delta"] = target.prepared.delta
        if self.column_scale is not None:
            arguments["column_scale"] = self.column_scale
        return FinalFit(refit, math.nan, gamma, arguments, note, self.per_row(factors))

    def fit_standardised(self, bandwidth_samples: float, penalty: float, pruning: str,
                         precondition: str) -> Fit:
        """The fit of a bandwidth (in samples) and a penalty (in noise variances), made in
        standardised units: sites in mean spacings from the first, values in noise standard
        deviations. The same problem as the raw p and gamma where those can be written; also
        where they cannot (they round to 0 or 1, or underflow), and where the data's own
        energies would leave float64."""
        units, samples, rows = self.units, self.samples, self.prepared
        b = bandwidth_samples
        p_standard = units.p_standard(b) if not np.isinf(b) else 0.0
        gamma_standard = penalty * (p_standard if p_standard > 0.0 else 1.0)
        scale = units.scale if self.column_scale is None else units.scale * self.column_scale
        frame = Frame(units.origin, units.spacing, scale)
        x_standard = np.ascontiguousarray(frame.sites(self.row_sites))
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
            column_scale=self.column_scale,
        )
        result._core_parameters = (p_standard, gamma_standard)
        result._in_standard_units = True
        return result

    def _fit_of(self, fitted: Any, p: float, gamma: float, pruning: str, precondition: str,
                segments: str = "smooth") -> Fit:
        """The Fit of an engine result on these data."""
        rows = self.prepared
        return Fit(
            fitted,
            p=p,
            gamma=gamma,
            pruning=pruning,
            precondition=precondition,
            one_dimensional=rows.one_dimensional,
            inputs=(rows.x, rows.y, rows.delta),
            sites=rows.sites,
            columns=rows.columns,
            segments=segments,
            frame=self._frame(),
            column_scale=self.column_scale,
        )

    def natural_parameters(
        self,
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
        penalty) to fit in standardised units when some parameters came in natural units and
        the raw pair does not give the same problem (it rounds, or the data's energies leave
        float64); None otherwise.

        Raises
        ------
        TypeError, ValueError
            When not exactly one way of giving each parameter is used, or a natural value is
            not a positive number.
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
        units = self.units
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
        if units.exact(b, level) and self.energy_problem is None:
            return p, gamma, None
        return p, gamma, (b, level)


def noise_level(
    x: Optional[ArrayLike], y: ArrayLike, delta: Optional[ArrayLike] = None
) -> NDArray[np.float64]:
    """Robust estimate of the noise standard deviation of each column, in units of `delta`.

    The median absolute deviation of first differences (taken in the order of the sites)
    divided by 0.6745 * sqrt(2): jumps and a smooth trend move only a few differences, so
    they barely affect it.

    Parameters
    ----------
    x, y, delta : array_like
        As for :func:`vorn.fit`.

    Returns
    -------
    ndarray, shape (d,)
        Estimated standard deviation of ``y / delta`` per column.

    Examples
    --------
    >>> import numpy as np, vorn
    >>> rng = np.random.default_rng(0)
    >>> y = np.r_[np.zeros(500), np.full(500, 4.0)] + 0.5 * rng.standard_normal(1000)
    >>> vorn.noise_level(None, y).round(1)
    array([0.5])
    """
    # The differences see every sample, rows that share a site included.
    problem = Problem.of(x, y, delta, check_energies=False)
    return first_difference_sd(*problem.rows_in_site_order())


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
    column_scale: Optional[ArrayLike] = None,
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
        mean sample spacings, instead of `p`: ``p = 1 / (1 + w * b**4 * h**3)`` for b samples
        of mean spacing h and mean weight w (``1 / delta**2``).
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
    column_scale : float or array_like, optional
        The unit of each value column, shape (d,) or one for all, positive: the search
        measures the energies of ``y[:, j] / column_scale[j]`` (so `gamma` and `penalty` are
        in those units), and the curve comes back in the units of y. :func:`vorn.select` of
        several columns sets it to their noise levels, so that a noisy column does not drown
        a jump in a quiet one. Default: the values as given.

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
                        precondition=precondition, penalty=penalty, column_scale=column_scale)
            lines.segment_model = "linear"
            return lines
        if p is not None:
            raise ValueError(f"segments='constant' takes no p, got p={p!r}")
        if (gamma is None) == (penalty is None):
            raise ValueError("give exactly one of gamma and penalty")
        problem = _scaled(Problem.of(x, y, delta, check_energies=False), column_scale, False)
        pruning, precondition = check_pruning(pruning), check_precondition(precondition)
        if penalty is not None:
            level = positive_number("penalty", penalty, allow_inf=True)
            scale = problem.units.scale
            try:
                gamma = level * scale**2
            except OverflowError:
                gamma = math.inf
            if not problem.writes_constant_gamma(problem.units, level):
                return problem.fit_constant_in_noise_units(level, scale, gamma, pruning,
                                                           precondition)
        return problem.fit_constant(check_gamma(gamma), pruning, precondition)
    natural = bandwidth is not None or bandwidth_samples is not None or penalty is not None
    problem = Problem.of(x, y, delta, check_energies=not natural and column_scale is None)
    problem = _scaled(problem, column_scale, not natural)
    if natural:
        if bandwidth is not None:
            bandwidth = problem.prepared.sites.length(bandwidth)
        p, gamma, standard = problem.natural_parameters(p, gamma, bandwidth, bandwidth_samples,
                                                        penalty)
        if standard is not None:
            return problem.fit_standardised(*standard, check_pruning(pruning),
                                            check_precondition(precondition))
    return problem.fit(check_p(p), check_gamma(gamma), check_pruning(pruning),
                       check_precondition(precondition))


def _scaled(problem: Problem, column_scale: Any, check_energies: bool) -> Problem:
    """`problem` with the caller's `column_scale`, its energies checked in those units."""
    if column_scale is None:
        return problem
    scaled = problem.with_column_scale(check_column_scale(column_scale,
                                                          problem.prepared.y.shape[1]))
    if check_energies and scaled.energy_problem is not None:
        raise ValueError(scaled.energy_problem)
    return scaled
