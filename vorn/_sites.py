"""Sites given as dates: the mapping between datetimes and the float64 sites a fit works on.

A fit on datetime sites works in a stated unit, counted from the earliest site: the largest of
days, hours, minutes, seconds, milliseconds, microseconds and nanoseconds that does not exceed
the median spacing of the sites (so neighbouring samples lie at least about one unit apart, and
the smoothing parameter keeps the range it has on sites 1, 2, ..., n). Jumps and segment bounds
come back as datetimes of the kind that came in: a :class:`pandas.DatetimeIndex` (with its time
zone) for pandas input, a NumPy ``datetime64`` array otherwise.

Durations (``timedelta64``, pandas ``Timedelta``) map the same way, from the shortest one;
pandas periods map to the instants at which they start. Integer sites beyond 2**53, which
float64 cannot all hold, are counted from the smallest one in exact integer arithmetic.
Sites that float64 still cannot keep apart are refused, never merged.

Plain numbers, for sites as for values, become float64 arrays through :func:`as_float_array`.
pandas is never imported here unless pandas objects are passed in.
"""

from __future__ import annotations

import datetime
import numbers
import sys
import warnings
from typing import Any, Optional

import numpy as np
from numpy.typing import NDArray

__all__ = ["Sites", "NUMBERS", "sites_of", "length_in_site_units", "is_datetime_like",
           "is_timedelta_like"]

# Integers up to this magnitude convert to float64 exactly.
_EXACT_INTEGERS = 2**53

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


def as_float_array(name: str, value: Any) -> NDArray[np.float64]:
    """Return `value` as a float64 array, or raise an error naming `name`."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be an array of numbers, got {type(value).__name__}")
    try:
        arr = np.asarray(value)
    except ValueError:
        # NumPy refuses ragged nested sequences with a long message about shapes.
        raise ValueError(
            f"{name} must be a rectangular array of numbers (rows of different lengths)"
        ) from None
    if arr.dtype.kind == "c":
        raise TypeError(f"{name} must be real, got complex values")
    if arr.dtype.kind not in "biuf":
        try:
            arr = arr.astype(np.float64)
        except (TypeError, ValueError):
            raise TypeError(
                f"{name} must be an array of numbers, got elements of type {_element_type(arr)}"
            ) from None
    return np.asarray(arr, dtype=np.float64, order="C")


def _element_type(arr: NDArray[Any]) -> str:
    if arr.dtype.kind == "O" and arr.size:
        for item in arr.flat:
            if not isinstance(item, numbers.Real):
                return type(item).__name__
    if arr.dtype.kind == "U":
        return "str"
    return str(arr.dtype)


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


def is_timedelta_like(value: Any) -> bool:
    """True for durations (NumPy, pandas or Python) and array-likes of them."""
    if isinstance(value, (datetime.timedelta, np.timedelta64)):
        return True
    dtype = getattr(value, "dtype", None)
    if dtype is not None and not isinstance(value, np.generic):
        if str(dtype).startswith("timedelta64"):
            return True
        if getattr(dtype, "kind", None) != "O":
            return False
    if isinstance(value, (list, tuple, np.ndarray)) or _from_pandas(value):
        return isinstance(_first_element(value), (datetime.timedelta, np.timedelta64))
    return False


def _is_period(value: Any) -> bool:
    return _from_pandas(value) and str(getattr(value, "dtype", "")).startswith("period")


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
    if isinstance(value, (list, tuple)) or (isinstance(value, np.ndarray)
                                             and value.dtype.kind == "O"):
        # Any aware element counts: NumPy would convert the rest silently, with a warning.
        for item in np.asarray(value, dtype=object).ravel():
            if isinstance(item, datetime.datetime) and item.tzinfo is not None:
                return item.tzinfo
    return None


def _offset_text(offset: datetime.timedelta) -> str:
    minutes = int(offset.total_seconds()) // 60
    sign = "-" if minutes < 0 else "+"
    return f"{sign}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"


def _caller_level() -> int:
    """The stack level of the first frame outside this package, for warnings."""
    level, frame = 1, sys._getframe(1)
    while frame is not None and str(frame.f_globals.get("__name__", "")).split(".")[0] == "vorn":
        level += 1
        frame = frame.f_back  # type: ignore[assignment]
    return level


def _mixed_zones(name: str, flat: Any, pd: Any) -> Any:
    """Datetimes that pandas will not put in one index: several UTC offsets become UTC."""
    items = [v for v in np.asarray(flat, dtype=object).ravel()
             if isinstance(v, datetime.datetime) and not pd.isna(v)]
    aware = {v.tzinfo is not None and v.utcoffset() is not None for v in items}
    if aware == {True, False}:
        raise ValueError(f"{name} mixes naive and timezone-aware datetimes; give every one a "
                         "time zone, or none")
    offsets = sorted({v.utcoffset() or datetime.timedelta(0) for v in items
                      if v.tzinfo is not None})
    if len(offsets) < 2:
        raise ValueError(f"{name} holds datetimes that cannot be read as one time scale")
    shown = ", ".join(_offset_text(o) for o in offsets[:4]) + (", ..." if len(offsets) > 4
                                                               else "")
    warnings.warn(
        f"{name} holds datetimes with {len(offsets)} different UTC offsets ({shown}); they are "
        "read as UTC instants, and jumps come back in UTC",
        UserWarning, stacklevel=_caller_level())
    return pd.DatetimeIndex(pd.to_datetime(flat, utc=True))


def _as_datetime64(name: str, value: Any) -> tuple[NDArray[np.datetime64], Any]:
    """Any datetime-like as a naive datetime64 array (aware values as UTC instants), with
    its time zone (None for naive values)."""
    if _timezone(value) is not None or _from_pandas(value):
        try:
            import pandas as pd  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            raise TypeError(
                f"{name} holds timezone-aware datetimes, which need pandas "
                "(pip install pandas)"
            ) from None
        shape = np.shape(value)
        flat = np.ravel(np.asarray(value, dtype=object)) if np.ndim(value) != 1 else value
        if _is_period(flat):
            flat = pd.PeriodIndex(flat).to_timestamp()
        try:
            index = pd.DatetimeIndex(flat)
        except ValueError:
            index = _mixed_zones(name, flat, pd)
        tz = index.tz
        if tz is not None:
            index = index.tz_convert(None)
        return np.asarray(index.to_numpy(dtype="datetime64[ns]")).reshape(shape), tz
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
    return _fixed_length(arr), None


def _fixed_length(arr: Any) -> Any:
    """Datetimes or durations in a unit of fixed length (days or finer)."""
    kind = "datetime64" if arr.dtype.kind == "M" else "timedelta64"
    unit = np.datetime_data(arr.dtype)[0]
    if unit in ("Y", "M", "W"):
        if kind == "timedelta64":
            raise TypeError("durations in years or months have no fixed length; give them "
                            "in days or finer")
        # Months and years are not of fixed length; days are.
        arr = arr.astype("datetime64[D]")
    elif unit == "generic":
        arr = arr.astype(f"{kind}[s]")
    elif unit in ("ps", "fs", "as"):
        arr = arr.astype(f"{kind}[ns]")
    return arr


def _as_timedelta64(name: str, value: Any) -> NDArray[np.timedelta64]:
    """Any duration-like as a timedelta64 array."""
    if _from_pandas(value) or (isinstance(value, (list, tuple)) and _from_pandas(
            _first_element(value))):
        import pandas as pd  # type: ignore[import-untyped, unused-ignore]

        shape = np.shape(value)
        flat = np.ravel(np.asarray(value, dtype=object)) if np.ndim(value) != 1 else value
        index = pd.TimedeltaIndex(flat)
        return np.asarray(index.to_numpy(dtype="timedelta64[ns]")).reshape(shape)
    if isinstance(value, np.ndarray) and value.dtype.kind == "m":
        arr = value
    else:
        try:
            arr = np.asarray(value, dtype="timedelta64[us]")
        except (TypeError, ValueError):
            raise TypeError(f"{name} mixes durations with other values") from None
    return _fixed_length(arr)


def _check_distinct(name: str, exact: Any, floats: NDArray[np.float64]) -> None:
    """Refuse sites that float64 cannot keep apart: merging them would lose samples."""
    known = np.isfinite(floats)
    distinct = np.unique(exact[known]).size
    kept = np.unique(floats[known]).size
    if kept < distinct:
        raise ValueError(
            f"{name} has {distinct} distinct sites, but float64 keeps only {kept} of them "
            f"apart ({distinct - kept} would merge with a neighbour): their span is too long "
            "for their spacing; split the series or drop the far-off sites"
        )


class Sites:
    """How the sites a user passes map to the float64 sites of a fit.

    Plain numbers map to themselves (:data:`NUMBERS`); datetimes and durations map to their
    distance from `origin` in `unit`; integers beyond 2**53 to their distance from `origin`.
    Build one with :func:`sites_of`.

    Attributes
    ----------
    origin : numpy.datetime64, numpy.timedelta64, int or None
        The earliest site (a naive UTC instant for timezone-aware input); None for numbers
        that map to themselves.
    unit : str or None
        NumPy code of the unit the fit works in (``"D"``, ``"h"``, ``"m"``, ``"s"``,
        ``"ms"``, ``"us"``, ``"ns"``); None for numbers.
    from_index : bool
        True when the sites are the index of a pandas `y` (``x=None``).
    """

    def __init__(self, origin: Any = None, unit: Optional[str] = None,
                 resolution: str = "ns", pandas: bool = False, tz: Any = None,
                 from_index: bool = False) -> None:
        self.origin = origin
        self.unit = unit
        self._resolution = resolution
        self._pandas = pandas
        self._tz = tz
        self.from_index = from_index

    @property
    def is_datetime(self) -> bool:
        """True for datetime or duration sites (the fit works in a unit of time)."""
        return self.unit is not None

    @property
    def is_timedelta(self) -> bool:
        return self.unit is not None and isinstance(self.origin, np.timedelta64)

    @property
    def is_identity(self) -> bool:
        """True when the fit's sites are the numbers passed in."""
        return self.origin is None

    @property
    def tz(self) -> Any:
        """Time zone of timezone-aware datetime sites, else None."""
        return self._tz

    def describe(self) -> Optional[str]:
        """The unit in words, e.g. ``"days since 2020-01-01T00:00:00"``; None for numbers."""
        if self.origin is None:
            return None
        if self.unit is None:
            return f"offsets from {self.origin}"
        name = dict(_UNITS)[self.unit]
        if self.is_timedelta:
            return f"{name} since a duration of {_duration_text(self.origin)}"
        origin = np.datetime_as_string(self.origin, unit="s")  # type: ignore[call-overload]
        return f"{name} since {origin}" + (" UTC" if self._tz is not None else "")

    def encode(self, name: str, value: Any) -> NDArray[np.float64]:
        """`value` as float64 sites in this unit (NaT becomes NaN)."""
        if self.unit is None:
            if is_datetime_like(value) or is_timedelta_like(value):
                kind = "datetimes" if is_datetime_like(value) else "durations"
                raise TypeError(f"{name} holds {kind}, but the fit's sites are numbers")
            if self.origin is None:
                return as_float_array(name, value)
            return _integer_offsets(name, value, self.origin)
        if self.is_timedelta:
            if not is_timedelta_like(value):
                raise TypeError(
                    f"{name} must be durations like the fit's sites, got "
                    f"{type(value).__name__} of {_kind_of(value)}"
                )
            return self._offsets(_as_timedelta64(name, value))
        if not is_datetime_like(value) and not _is_period(value):
            raise TypeError(
                f"{name} must be datetimes like the fit's sites, got "
                f"{type(value).__name__} of {_kind_of(value)}"
            )
        stamps, tz = _as_datetime64(name, value)
        if (tz is None) != (self._tz is None) and not np.all(np.isnat(stamps)):
            if tz is None:
                raise TypeError(
                    f"{name} holds naive datetimes, but the fit's sites are timezone-aware "
                    f"({self._tz}); give {name} a time zone (e.g. tz_localize)")
            raise TypeError(
                f"{name} holds timezone-aware datetimes ({tz}), but the fit's sites are "
                f"naive; make {name} naive in the fit's time scale (e.g. tz_localize(None))")
        return self._offsets(stamps)

    def _offsets(self, stamps: Any) -> NDArray[np.float64]:
        # The difference is exact integer arithmetic; only the distance becomes a float.
        offsets = (stamps - self.origin) / _one(str(self.unit))  # type: ignore[operator]
        return np.asarray(offsets, dtype=np.float64)

    def decode(self, sites: NDArray[np.float64]) -> Any:
        """Float64 sites in this unit back as datetimes (numbers are returned unchanged)."""
        if self.origin is None:
            return sites
        if self.unit is None:
            return np.asarray(sites, dtype=np.float64) + float(self.origin)
        per_unit = _one(self.unit) / _one(self._resolution)
        ticks = np.round(np.asarray(sites, dtype=np.float64) * per_unit).astype(np.int64)
        kind = "timedelta64" if self.is_timedelta else "datetime64"
        stamps = self.origin.astype(f"{kind}[{self._resolution}]") + ticks.astype(
            f"timedelta64[{self._resolution}]")
        if not self._pandas:
            return stamps
        import pandas as pd  # type: ignore[import-untyped, unused-ignore]

        if self.is_timedelta:
            return pd.TimedeltaIndex(stamps.astype("timedelta64[ns]"))
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
        return "Sites(numbers)" if self.origin is None else f"Sites({self.describe()})"


NUMBERS = Sites()


def _duration_text(value: np.timedelta64) -> str:
    """A duration in the largest unit that holds it exactly, e.g. "90 minutes"."""
    for code, _ in _UNITS:
        if value % _one(code) == _one(code) * 0:
            return str(value.astype(f"timedelta64[{code}]"))
    return str(value)


def _kind_of(value: Any) -> str:
    if is_datetime_like(value):
        return "datetimes"
    return "durations" if is_timedelta_like(value) else "numbers"


def _integer_offsets(name: str, value: Any, origin: int) -> NDArray[np.float64]:
    """Integers as float64 distances from `origin`, subtracted exactly; other numbers as
    float64 distances."""
    arr = np.asarray(value) if not isinstance(value, (str, bytes)) else value
    if not isinstance(arr, np.ndarray) or arr.dtype.kind not in "iu":
        return as_float_array(name, value) - float(origin)
    if arr.dtype.kind == "i" and origin >= -(2**62) and origin <= 2**62 and (
            arr.size == 0 or (int(arr.max()) - origin < 2**63 and
                              int(arr.min()) - origin >= -(2**63))):
        return (arr.astype(np.int64) - np.int64(origin)).astype(np.float64)
    # Beyond int64: Python integers are exact at any size, and float() rounds correctly.
    return np.array([float(int(v) - origin) for v in arr.ravel()],
                    dtype=np.float64).reshape(arr.shape)


def sites_of(name: str, value: Any) -> tuple[Sites, NDArray[np.float64]]:
    """The mapping for the sites `value` and the sites as float64 in its unit.

    Parameters
    ----------
    name : str
        Name of the argument, for messages.
    value : array_like
        Numbers, or datetimes: NumPy ``datetime64``, pandas ``Timestamp`` /
        ``DatetimeIndex`` / Series of datetimes or periods, Python ``datetime`` or ``date``;
        or durations: ``timedelta64``, pandas ``Timedelta``, Python ``timedelta``.

    Returns
    -------
    sites : Sites
    floats : ndarray of float64
        Same shape as `value`; NaT becomes NaN.

    Raises
    ------
    ValueError
        If float64 cannot keep the distinct sites apart.
    """
    pandas = _from_pandas(value) or (
        isinstance(value, (list, tuple)) and _from_pandas(_first_element(value)))
    if is_timedelta_like(value):
        stamps: Any = _as_timedelta64(name, value)
        tz = None
    elif is_datetime_like(value) or _is_period(value):
        stamps, tz = _as_datetime64(name, value)
    else:
        arr = np.asarray(value) if not isinstance(value, (str, bytes)) else None
        if arr is not None and arr.dtype.kind in "iu" and arr.size and (
                int(arr.max()) > _EXACT_INTEGERS or int(arr.min()) < -_EXACT_INTEGERS):
            origin = int(arr.min())
            sites = Sites(origin)
            floats = _integer_offsets(name, arr, origin)
            _check_distinct(name, arr, floats)
            return sites, floats
        return NUMBERS, as_float_array(name, value)
    unit = np.datetime_data(stamps.dtype)[0]
    known = stamps[~np.isnat(stamps)]
    if known.size == 0:
        kind = "durations" if stamps.dtype.kind == "m" else "datetimes"
        raise ValueError(f"{name} holds no {kind}, only NaT")
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
    sites = Sites(origin, chosen, resolution, pandas, tz)
    floats = sites._offsets(stamps)
    _check_distinct(name, stamps.view(np.int64), floats)
    return sites, floats


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
