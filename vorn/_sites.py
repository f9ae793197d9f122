"""Sites given as dates: the mapping between datetimes and the float64 sites a fit works on.

A fit on datetime sites works in a stated unit, counted from the earliest site: the largest of
days, hours, minutes, seconds, milliseconds, microseconds and nanoseconds that does not exceed
the median spacing of the sites (so neighbouring samples lie at least about one unit apart, and
the smoothing parameter keeps the range it has on sites 1, 2, ..., n). Jumps and segment bounds
come back as datetimes of the kind that came in: a :class:`pandas.DatetimeIndex` (with its time
zone) for pandas input, a NumPy ``datetime64`` array otherwise.

pandas is never imported here unless pandas objects are passed in.
"""

from __future__ import annotations

import datetime
import numbers
from typing import Any, Optional

import numpy as np
from numpy.typing import NDArray

__all__ = ["Sites", "NUMBERS", "sites_of", "length_in_site_units", "is_datetime_like"]

# (numpy unit code, name in the stated unit), largest first.
_UNITS = (
    ("D", "days"),
    ("h", "hours"),
    ("m", "minutes"),
    ("s", "seconds"),
    ("ms", "milliseconds"),
    ("us", "microseconds"),
    ("ns", "nanoseconds"),
)
_FINEST_FIRST = ("ns", "us", "ms", "s", "m", "h", "D")


def _one(unit: str) -> Any:
    """One `unit` as a timedelta64 (the unit is only known at run time)."""
    return np.timedelta64(1, unit)  # type: ignore[call-overload]


def _from_pandas(value: Any) -> bool:
    return type(value).__module__.split(".")[0] == "pandas"


def is_datetime_like(value: Any) -> bool:
    """True for datetimes (NumPy, pandas or Python) and array-likes of them."""
    if isinstance(value, (datetime.date, np.datetime64)):
        return True
    dtype = getattr(value, "dtype", None)
    if dtype is not None and not isinstance(value, np.generic):
        if str(dtype).startswith("datetime64"):
            return True
        if getattr(dtype, "kind", None) != "O":
            return False
    if isinstance(value, (list, tuple, np.ndarray)) or _from_pandas(value):
        first = _first_element(value)
        return isinstance(first, (datetime.date, np.datetime64))
    return False


def _first_element(value: Any) -> Any:
    try:
        flat = np.asarray(value, dtype=object).ravel()
    except (TypeError, ValueError):
        return None
    for item in flat:
        if item is not None:
            return item
    return None


def _timezone(value: Any) -> Any:
    """The time zone of pandas datetimes or aware Python datetimes, else None."""
    tz = getattr(getattr(value, "dtype", None), "tz", None)
    if tz is not None:
        return tz
    if isinstance(value, datetime.datetime):
        return value.tzinfo
    first = _first_element(value) if isinstance(value, (list, tuple, np.ndarray)) else None
    return first.tzinfo if isinstance(first, datetime.datetime) else None


def _as_datetime64(name: str, value: Any) -> NDArray[np.datetime64]:
    """Any datetime-like as a naive datetime64 array (aware values as UTC instants)."""
    if _timezone(value) is not None or _from_pandas(value):
        try:
            import pandas as pd  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            raise TypeError(
                f"{name} holds timezone-aware datetimes, which need pandas "
                "(pip install pandas)"
            ) from None
        shape = np.shape(value)
        index = pd.DatetimeIndex(np.ravel(np.asarray(value, dtype=object))
                                 if np.ndim(value) != 1 else value)
        if index.tz is not None:
            index = index.tz_convert(None)
        return np.asarray(index.to_numpy(dtype="datetime64[ns]")).reshape(shape)
    if isinstance(value, np.ndarray) and value.dtype.kind == "M":
        arr = value
    else:
        first = value if isinstance(value, (datetime.date, np.datetime64)) else (
            _first_element(value))
        exact = isinstance(first, datetime.date) and not isinstance(first, datetime.datetime)
        try:
            arr = np.asarray(value, dtype="datetime64[D]" if exact else "datetime64[us]")
        except (TypeError, ValueError):
            raise TypeError(f"{name} mixes datetimes with other values") from None
    unit = np.datetime_data(arr.dtype)[0]
    if unit in ("Y", "M", "W"):
        # Months and years are not of fixed length; days are.
        arr = arr.astype("datetime64[D]")
    elif unit == "generic":
        arr = arr.astype("datetime64[s]")
    elif unit in ("ps", "fs", "as"):
        arr = arr.astype("datetime64[ns]")
    return arr


class Sites:
    """How the sites a user passes map to the float64 sites of a fit.

    Plain numbers map to themselves (:data:`NUMBERS`); datetimes map to their distance from
    `origin` in `unit`. Build one with :func:`sites_of`.

    Attributes
    ----------
    origin : numpy.datetime64 or None
        The earliest site (a naive UTC instant for timezone-aware input); None for numbers.
    unit : str or None
        NumPy code of the unit the fit works in (``"D"``, ``"h"``, ``"m"``, ``"s"``,
        ``"ms"``, ``"us"``, ``"ns"``); None for numbers.
    """

    def __init__(self, origin: Optional[np.datetime64] = None, unit: Optional[str] = None,
                 resolution: str = "ns", pandas: bool = False, tz: Any = None) -> None:
        self.origin = origin
        self.unit = unit
        self._resolution = resolution
        self._pandas = pandas
        self._tz = tz

    @property
    def is_datetime(self) -> bool:
        return self.unit is not None

    def describe(self) -> Optional[str]:
        """The unit in words, e.g. ``"days since 2020-01-01T00:00:00"``; None for numbers."""
        if self.unit is None:
            return None
        name = dict(_UNITS)[self.unit]
        origin = np.datetime_as_string(self.origin, unit="s")  # type: ignore[call-overload]
        return f"{name} since {origin}" + (" UTC" if self._tz is not None else "")

    def encode(self, name: str, value: Any) -> NDArray[np.float64]:
        """`value` as float64 sites in this unit (NaT becomes NaN)."""
        from ._checks import as_float_array

        if self.unit is None:
            if is_datetime_like(value):
                raise TypeError(f"{name} holds datetimes, but the fit's sites are numbers")
            return as_float_array(name, value)
        if not is_datetime_like(value):
            raise TypeError(
                f"{name} must be datetimes like the fit's sites, got "
                f"{type(value).__name__} of numbers"
            )
        stamps = _as_datetime64(name, value)
        offsets = (stamps - self.origin) / _one(self.unit)  # type: ignore[operator]
        return np.asarray(offsets, dtype=np.float64)

    def decode(self, sites: NDArray[np.float64]) -> Any:
        """Float64 sites in this unit back as datetimes (numbers are returned unchanged)."""
        if self.unit is None:
            return sites
        assert self.origin is not None
        per_unit = _one(self.unit) / _one(self._resolution)
        ticks = np.round(np.asarray(sites, dtype=np.float64) * per_unit).astype(np.int64)
        stamps = self.origin.astype(f"datetime64[{self._resolution}]") + ticks.astype(
            f"timedelta64[{self._resolution}]")
        if not self._pandas:
            return stamps
        import pandas as pd  # type: ignore[import-untyped, unused-ignore]

        index = pd.DatetimeIndex(stamps.astype("datetime64[ns]"))  # pandas' own unit
        return index.tz_localize("UTC").tz_convert(self._tz) if self._tz is not None else index

    def length(self, value: Any, name: str = "bandwidth") -> float:
        """A length along the sites (a number, or a timedelta for datetime sites) as a float."""
        return length_in_site_units(value, self, name)

    def wrap(self, values: NDArray[np.float64], at: Any, columns: Optional[list[str]]) -> Any:
        """pandas in, pandas out: values at pandas sites as a Series or DataFrame."""
        if not _from_pandas(at) or values.ndim not in (1, 2):
            return values
        import pandas as pd  # type: ignore[import-untyped, unused-ignore]

        index = at if isinstance(at, pd.Index) else getattr(at, "index", None)
        if index is None or len(index) != values.shape[0]:
            return values
        if values.ndim == 1:
            return pd.Series(values, index=index)
        return pd.DataFrame(values, index=index, columns=columns)

    def __repr__(self) -> str:
        return "Sites(numbers)" if self.unit is None else f"Sites({self.describe()})"


NUMBERS = Sites()


def sites_of(name: str, value: Any) -> tuple[Sites, NDArray[np.float64]]:
    """The mapping for the sites `value` and the sites as float64 in its unit.

    Parameters
    ----------
    name : str
        Name of the argument, for messages.
    value : array_like
        Numbers, or datetimes: NumPy ``datetime64``, pandas ``Timestamp`` /
        ``DatetimeIndex`` / Series of datetimes, Python ``datetime`` or ``date``.

    Returns
    -------
    sites : Sites
    floats : ndarray of float64
        Same shape as `value`; NaT becomes NaN.
    """
    from ._checks import as_float_array

    if not is_datetime_like(value):
        return NUMBERS, as_float_array(name, value)
    stamps = _as_datetime64(name, value)
    unit = np.datetime_data(stamps.dtype)[0]
    known = stamps[~np.isnat(stamps)]
    if known.size == 0:
        raise ValueError(f"{name} holds no datetimes, only NaT")
    origin = known.min()
    distinct = np.unique(known)
    # In the array's own unit first: converting long spans to nanoseconds would overflow.
    own = float(np.median(np.diff(distinct) / _one(unit))) if distinct.size > 1 else np.inf
    spacing = own * float(_one(unit) / _one("ns"))
    chosen = "ns"
    for code, _ in _UNITS:
        if float(_one(code) / _one("ns")) <= spacing:
            chosen = code
            break
    # Jumps sit halfway between samples: keep at least millisecond resolution when decoding.
    resolution = unit if _FINEST_FIRST.index(unit) < _FINEST_FIRST.index("ms") else "ms"
    pandas = _from_pandas(value) or (
        isinstance(value, (list, tuple)) and _from_pandas(_first_element(value)))
    sites = Sites(origin, chosen, resolution, pandas, _timezone(value))
    return sites, sites.encode(name, stamps)


def length_in_site_units(value: Any, sites: Sites, name: str = "bandwidth") -> float:
    """Convert a length along the sites, such as a smoothing bandwidth, to the fit's unit.

    For sites given as datetimes a length is a timedelta (``datetime.timedelta``,
    ``numpy.timedelta64`` or ``pandas.Timedelta``) and is divided by the fit's unit; for
    numeric sites it is a plain number and is returned as a float.

    Parameters
    ----------
    value : float or timedelta
        The length.
    sites : Sites
        The mapping of the fit's sites (``Fit.sites`` or the one :func:`sites_of` returns).
    name : str
        Name of the argument, for messages.

    Returns
    -------
    float

    Raises
    ------
    TypeError
        For a timedelta with numeric sites, a number with datetime sites, or anything else.

    Examples
    --------
    >>> import numpy as np
    >>> sites, _ = sites_of("x", np.arange("2024-01-01", "2024-03-01", dtype="datetime64[D]"))
    >>> sites.describe()
    'days since 2024-01-01T00:00:00'
    >>> length_in_site_units(np.timedelta64(36, "h"), sites)
    1.5
    """
    is_timedelta = isinstance(value, (datetime.timedelta, np.timedelta64)) or (
        _from_pandas(value) and "Timedelta" in type(value).__name__)
    if sites.unit is None:
        if is_timedelta:
            raise TypeError(f"{name} is a timedelta, but the sites are numbers")
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
        return float(value)
    if not is_timedelta:
        raise TypeError(
            f"{name} must be a timedelta for datetime sites, got {type(value).__name__}"
        )
    if hasattr(value, "to_timedelta64"):
        value = value.to_timedelta64()  # pandas: keep nanoseconds
    delta = np.timedelta64(value) if not isinstance(value, np.timedelta64) else value
    if np.isnat(delta):
        raise ValueError(f"{name} must be a duration, got NaT")
    return float(delta / _one(sites.unit))
