"""Sample data with known jumps: one real series and seeded synthetic signals.

Every loader returns a :class:`Signal` ``(x, y, jumps)`` that unpacks like a tuple.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

__all__ = ["Signal", "nile", "heavisine", "blocks_trend"]


class Signal(NamedTuple):
    """Sample sites, values and the locations of the true jumps."""

    x: NDArray[np.float64]
    y: NDArray[np.float64]
    jumps: NDArray[np.float64]


# Annual flow volume of the Nile at Aswan, 1871-1970, in 10^8 m^3 (one row per decade).
_NILE = (
    1120, 1160, 963, 1210, 1160, 1160, 813, 1230, 1370, 1140,
    995, 935, 1110, 994, 1020, 960, 1180, 799, 958, 1140,
    1100, 1210, 1150, 1250, 1260, 1220, 1030, 1100, 774, 840,
    874, 694, 940, 833, 701, 916, 692, 1020, 1050, 969,
    831, 726, 456, 824, 702, 1120, 1100, 832, 764, 821,
    768, 845, 864, 862, 698, 845, 744, 796, 1040, 759,
    781, 865, 845, 944, 984, 897, 822, 1010, 771, 676,
    649, 846, 812, 742, 801, 1040, 860, 874, 848, 890,
    744, 749, 838, 1050, 918, 986, 797, 923, 975, 815,
    1020, 906, 901, 1170, 912, 746, 919, 718, 714, 740,
)  # fmt: skip


def nile() -> Signal:
    """Annual flow of the Nile at Aswan, 1871-1970.

    100 yearly volumes in 10^8 m^3 (mean 919.35). The mean level drops by about a quarter
    after 1898: 1097.75 over 1871-1898, 849.97 over 1899-1970. The drop is commonly linked to
    the start of work on the first Aswan dam in 1898 and to a drier climate; the series is a
    standard test case for change-point methods.

    Source: Cobb, G. W. (1978), "The problem of the Nile: conditional solution to a
    changepoint problem", Biometrika 65(2), 243-251; Balke, N. S. (1993), "Detecting level
    shifts in time series", Journal of Business & Economic Statistics 11(1), 81-92. The data
    are public domain.

    Returns
    -------
    Signal
        ``x``: the years 1871.0 ... 1970.0; ``y``: the flows; ``jumps``: ``[1898.5]``, the
        change between 1898 and 1899 at the midpoint where a fit places it.

    Examples
    --------
    >>> from vorn import datasets
    >>> years, flow, jumps = datasets.nile()
    >>> len(flow), float(flow.mean())
    (100, 919.35)
    """
    x = np.arange(1871.0, 1971.0)
    y = np.array(_NILE, dtype=np.float64)
    return Signal(x, y, np.array([1898.5]))


def _sites(n: int) -> NDArray[np.float64]:
    # Cell midpoints of [0, 1]: no site falls on a jump, and jumps sit between samples.
    return (np.arange(n, dtype=np.float64) + 0.5) / n


def _check(n: int, noise: float) -> None:
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 8:
        raise ValueError(f"n must be an integer >= 8, got {n!r}")
    if not noise >= 0.0:
        raise ValueError(f"noise must be >= 0, got {noise!r}")


def heavisine(n: int = 512, noise: float = 0.3, seed: int = 0) -> Signal:
    """A sine with two jumps, plus Gaussian noise.

    ``f(t) = 4 sin(4 pi t) - sign(t - 0.3) - sign(0.72 - t)`` on ``n`` sites
    ``t = (i + 0.5) / n`` in (0, 1): a smooth oscillation with a jump of -2 at 0.3 and of +2
    at 0.72 (the "HeaviSine" test function of Donoho and Johnstone).

    Parameters
    ----------
    n : int
        Number of samples, at least 8.
    noise : float
        Standard deviation of the added noise.
    seed : int
        Seed of ``numpy.random.default_rng``.

    Returns
    -------
    Signal
        Sites, noisy values and the true jump locations ``[0.3, 0.72]``.
    """
    _check(n, noise)
    x = _sites(n)
    clean = 4.0 * np.sin(4.0 * np.pi * x) - np.sign(x - 0.3) - np.sign(0.72 - x)
    y = clean + noise * np.random.default_rng(seed).standard_normal(n)
    return Signal(x, y, np.array([0.3, 0.72]))


_BLOCK_JUMPS = np.array([0.13, 0.27, 0.46, 0.62, 0.81])
_BLOCK_LEVELS = np.array([0.0, 2.5, -1.0, 1.5, -2.0, 1.0])


def blocks_trend(n: int = 512, noise: float = 0.3, seed: int = 0) -> Signal:
    """Piecewise-constant blocks on a smooth trend, plus Gaussian noise.

    Six levels (0, 2.5, -1, 1.5, -2, 1) changing at 0.13, 0.27, 0.46, 0.62 and 0.81, added to
    the trend ``2 t + 0.5 sin(2 pi t)``, on ``n`` sites ``t = (i + 0.5) / n`` in (0, 1).

    Parameters
    ----------
    n : int
        Number of samples, at least 8.
    noise : float
        Standard deviation of the added noise.
    seed : int
        Seed of ``numpy.random.default_rng``.

    Returns
    -------
    Signal
        Sites, noisy values and the five true jump locations.
    """
    _check(n, noise)
    x = _sites(n)
    levels = _BLOCK_LEVELS[np.searchsorted(_BLOCK_JUMPS, x, side="right")]
    clean = levels + 2.0 * x + 0.5 * np.sin(2.0 * np.pi * x)
    y = clean + noise * np.random.default_rng(seed).standard_normal(n)
    return Signal(x, y, _BLOCK_JUMPS.copy())
