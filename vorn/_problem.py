"""One data set as a public call sees it: checked once, prepared once, measured once."""

from __future__ import annotations

from functools import cached_property
from typing import Any, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._checks import Prepared, energy_problem, prepare
from ._noise import first_difference_sd
from ._units import Samples, Units, reweighted, samples_of, units_of

__all__ = ["Problem", "noise_level"]


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
        The checked rows.
    """

    def __init__(self, prepared: Prepared, samples: Optional[Samples] = None,
                 units: Optional[Units] = None) -> None:
        self.prepared = prepared
        self._samples = samples
        self._units = units

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

    def rows_in_site_order(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Every kept row's values and deviation in the order of its site, rows that share a
        site unmerged and in input order."""
        rows = self.prepared
        site = self.samples.site_of_row
        kept = np.flatnonzero(site >= 0)
        kept = kept[np.argsort(site[kept], kind="stable")]
        deltas = rows.delta if rows.delta is not None else np.ones(rows.y.shape[0])
        return rows.y[kept], deltas[kept]

    def with_delta(self, delta: NDArray[np.float64]) -> Problem:
        """The same rows with other deviations `delta` (shape (n,)): the same sites merged
        again with them, as the engine merges, without preparing again."""
        return Problem(self.prepared._replace(delta=delta),
                       reweighted(self.samples, self.prepared.y, delta))

    def with_row_factors(self, factors: NDArray[np.float64]) -> Problem:
        """Every row's deviation (1 when none was given) multiplied by its site's factor."""
        base = self.prepared.delta
        row_factor = self.per_row(factors)
        return self.with_delta(row_factor if base is None else base * row_factor)


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
    return first_difference_sd(*Problem.of(x, y, delta, check_energies=False).rows_in_site_order())
