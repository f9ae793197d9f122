"""Reading the CSV files of the command line into the arrays a fit takes.

Two readers give the same arrays: pandas' (fast, used when pandas is installed and the file
is plain) and our own, line by line, which also words every error with its file line and
column. Whenever the fast reader meets anything it is not sure of, the file is read again
by our own, so that both accept, refuse and report the same files in the same words.
"""

from __future__ import annotations

import csv
import io
import math
import re
import warnings
from typing import IO, Any, NamedTuple, Optional, Sequence

import numpy as np

from ._memory import return_freed_memory

__all__ = ["UserError", "Columns", "MISSING_TOKENS", "load"]

# pandas' default list of missing-value markers; matched without regard to case.
MISSING_TOKENS = ("", "#N/A", "#N/A N/A", "#NA", "-1.#IND", "-1.#QNAN", "-NaN", "-nan",
                  "1.#IND", "1.#QNAN", "<NA>", "N/A", "NA", "NULL", "NaN", "None", "n/a",
                  "nan", "null")
_MISSING = frozenset(token.lower() for token in MISSING_TOKENS)
# Integers up to this magnitude convert to float64 exactly.
_EXACT_INTEGERS = 2**53
# A time of day followed by a UTC offset ("Z", "+01:00", "+0100", "-05").
_ZONED = re.compile(r"^(\d{4}-\d{2}-\d{2}[T ]\d{2}(?::\d{2}(?::\d{2}(?:\.\d+)?)?)?)"
                    r"(Z|[+-]\d{2}(?::?\d{2})?)$")
# Slow-path switch for tests: both readers must give the same answers.
USE_PANDAS = True


class UserError(Exception):
    """A problem with the user's input: reported as one line, exit status 2."""


class _Fallback(Exception):
    """The fast reader is not sure: read the file again line by line."""


class Columns(NamedTuple):
    """The columns a fit uses, as arrays, with what the report needs to know about them."""

    name: str  # the file as shown in messages
    header: list[str]
    rows: int
    x: Optional[np.ndarray]  # float64, or datetime64 (UTC instants for zoned times)
    y: np.ndarray  # (rows, columns)
    delta: Optional[np.ndarray]
    xcol: Optional[int]
    ycols: list[int]
    zones: tuple[str, ...]  # UTC offsets the site times were written with


class _Picks(NamedTuple):
    x: Optional[str]
    no_x: bool
    y: Optional[list[str]]
    delta: Optional[str]


def load(path: str, stdin: IO[str], header: Optional[bool], delimiter: Optional[str],
         x: Optional[str], no_x: bool, y: Optional[list[str]],
         delta: Optional[str]) -> Columns:
    """Read a CSV file and pick its site, value and delta columns.

    `header` None means: the first row is a header unless all its cells are numbers,
    missing values or dates.
    """
    name = "<stdin>" if path == "-" else path
    text = _read_text(path, stdin)
    picks = _Picks(x, no_x, y, delta)
    if USE_PANDAS:
        try:
            import pandas  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
        except ImportError:
            pass
        else:
            try:
                return _fast(text, name, header, delimiter, picks)
            except _Fallback:
                pass
    return _slow(text, name, header, delimiter, picks)


def _read_text(path: str, stdin: IO[str]) -> str:
    try:
        if path == "-":
            return stdin.read()
        with open(path, newline="", encoding="utf-8-sig") as handle:
            return handle.read()
    except FileNotFoundError:
        raise UserError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise UserError(f"{path}: is a directory") from None
    except UnicodeDecodeError:
        raise UserError(f"{path}: not a UTF-8 text file") from None
    except OSError as exc:
        raise UserError(f"{path}: {exc.strerror or exc}") from None


_COMMENT = re.compile(r"^[ \t]*#[^\r\n]*", re.MULTILINE)


def _without_comments(text: str) -> str:
    """`text` with comment lines emptied, so that line numbers stay those of the file."""
    return _COMMENT.sub("", text) if "#" in text else text


def _sniff_delimiter(lines: Sequence[str]) -> str:
    """A tab or a semicolon when every line has one, else a comma."""
    sample = [line for line in lines if line.strip()][:50]
    for candidate in ("\t", ";"):
        if sample and all(candidate in line for line in sample):
            return candidate
    return ","


def is_missing(cell: str) -> bool:
    return cell.strip().lower() in _MISSING


def _is_number(cell: str) -> bool:
    text = cell.strip()
    if text.lower() in _MISSING:
        return True
    try:
        float(text)
    except ValueError:
        return False
    return True


def _datetime64(text: str) -> np.datetime64:
    """NumPy's reading of an ISO date, with its warnings (about time zones) as errors."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            return np.datetime64(text)
        except Warning:
            raise ValueError(text) from None


def is_date(cell: str) -> bool:
    text = cell.strip()
    if len(text) < 8 or not text[:4].isdigit() or text[4] != "-":
        return False
    zoned = _ZONED.match(text)
    try:
        _datetime64(zoned.group(1) if zoned else text)
    except ValueError:
        return False
    return True


def _is_datum(cell: str) -> bool:
    """A number, a missing value or a date: what a first row of data holds."""
    return _is_number(cell) or is_date(cell)


def _offset_minutes(zone: str) -> int:
    if zone == "Z":
        return 0
    digits = zone[1:].replace(":", "")
    minutes = int(digits[:2]) * 60 + (int(digits[2:]) if len(digits) > 2 else 0)
    return -minutes if zone[0] == "-" else minutes


def zone_text(zone: str) -> str:
    """An offset as written in output: "Z" stays, the others as +HH:MM."""
    if zone == "Z":
        return "Z"
    minutes = _offset_minutes(zone)
    sign = "-" if minutes < 0 else "+"
    return f"{sign}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"


# -- the header -----------------------------------------------------------------------------


class _Head(NamedTuple):
    sep: str
    names: list[str]  # trailing unnamed empty columns left out
    fields: int  # fields of the header (or first) row as written
    header_line: int  # file line of the header, 0 when the first row is data


def _head(lines: Sequence[str], name: str, header: Optional[bool],
          delimiter: Optional[str]) -> tuple[_Head, Any]:
    """Separator and column names, and the reader positioned after the header."""
    sep = delimiter or _sniff_delimiter(lines)
    reader = csv.reader(lines, delimiter=sep)
    try:
        for record in reader:
            if not record or all(not cell.strip() for cell in record):
                continue
            if header or (header is None and not all(map(_is_datum, record))):
                names = [cell.strip() for cell in record]
                kept = _without_trailing_empty(names)
                _check_unique(kept, name, reader.line_num)
                return _Head(sep, kept, len(names), reader.line_num), reader
            kept = _without_trailing_empty([cell.strip() for cell in record])
            return _Head(sep, [str(i) for i in range(len(kept))], len(record), 0), reader
    except csv.Error as exc:
        raise UserError(f"{name}, line {reader.line_num}: {exc}") from None
    raise UserError(f"{name}: empty file")


def _without_trailing_empty(cells: list[str]) -> list[str]:
    """A trailing separator ("t,v,") makes an empty last field, not a column."""
    end = len(cells)
    while end > 1 and not cells[end - 1]:
        end -= 1
    return cells[:end]


def _check_unique(names: list[str], name: str, line: int) -> None:
    seen = set()
    for column in names:
        if column in seen:
            raise UserError(
                f"{name}, line {line}: column {column!r} appears twice "
                "(--no-header if the first row is data)"
            )
        seen.add(column)


def _delimiter_hint(used: str, given: Optional[str]) -> str:
    if given is not None:
        return ""
    shown = "tab" if used == "\t" else repr(used)
    return f" (separator {shown}; --delimiter sets another)"


def _column(header: list[str], name: str, path: str) -> int:
    try:
        return header.index(name)
    except ValueError:
        shown = ", ".join(header)
        raise UserError(f"{path}: no column {name!r} (columns: {shown})") from None


def _pick(header: list[str], name: str,
          picks: _Picks) -> tuple[Optional[int], list[int], Optional[int]]:
    used: set[int] = set()
    xcol: Optional[int] = None
    if picks.x is not None:
        xcol = _column(header, picks.x, name)
    elif not picks.no_x and len(header) >= 2:
        xcol = 0
    if xcol is not None:
        used.add(xcol)
    dcol: Optional[int] = None
    if picks.delta is not None:
        dcol = _column(header, picks.delta, name)
        if dcol in used:
            raise UserError(f"column {picks.delta!r} cannot be both sites and delta")
        used.add(dcol)
    if picks.y:
        ycols = [_column(header, col, name) for col in picks.y]
        for col in ycols:
            if col in used:
                raise UserError(f"column {header[col]!r} is already used for sites or delta")
    else:
        ycols = [i for i in range(len(header)) if i not in used]
        if not ycols:
            raise UserError(f"{name}: no value column left (columns: {', '.join(header)})")
    return xcol, ycols, dcol


# -- our own reader -------------------------------------------------------------------------


class _Table(NamedTuple):
    """The cells of a CSV file as text, with the file line of each data row."""

    name: str
    header: list[str]
    records: list[list[str]]
    lines: list[int]


def _slow(text: str, name: str, header: Optional[bool], delimiter: Optional[str],
          picks: _Picks) -> Columns:
    lines = _without_comments(text).splitlines(keepends=True)
    head, reader = _head(lines, name, header, delimiter)
    width = len(head.names)
    records: list[list[str]] = []
    numbers: list[int] = []
    if head.header_line == 0:
        # The first row is data: read it again.
        reader = csv.reader(lines, delimiter=head.sep)
    try:
        for record in reader:
            line = reader.line_num
            if not record or all(not cell.strip() for cell in record):
                continue
            if len(record) > width and not any(cell.strip() for cell in record[width:]):
                record = record[:width]
            if len(record) != width:
                raise UserError(
                    f"{name}, line {line}: expected {width} fields, got {len(record)}"
                    + _delimiter_hint(head.sep, delimiter)
                )
            records.append(record)
            numbers.append(line)
    except csv.Error as exc:
        raise UserError(f"{name}, line {reader.line_num}: {exc}") from None
    if not records:
        raise UserError(f"{name}: no data rows after the header")
    table = _Table(name, head.names, records, numbers)
    xcol, ycols, dcol = _pick(table.header, name, picks)
    x, zones = _sites(table, xcol) if xcol is not None else (None, ())
    y = np.column_stack([_numbers(table, col) for col in ycols])
    delta = _numbers(table, dcol) if dcol is not None else None
    kept = np.all(np.isfinite(y), axis=1)
    if x is not None and xcol is not None:
        _require_cells(table, xcol, x, kept, "site")
    if delta is not None and dcol is not None:
        _require_cells(table, dcol, delta, kept, "delta")
    return Columns(name, table.header, len(records), x, y, delta, xcol, ycols, zones)


def _numbers(table: _Table, col: int) -> np.ndarray:
    """One column as floats; missing cells become NaN, anything else non-numeric is an error."""
    values = np.empty(len(table.records))
    for i, record in enumerate(table.records):
        cell = record[col].strip()
        if cell.lower() in _MISSING:
            values[i] = math.nan
            continue
        try:
            values[i] = float(cell)
        except ValueError:
            raise UserError(
                f"{table.name}, line {table.lines[i]}, column {table.header[col]!r}: "
                f"{cell!r} is not a number"
            ) from None
    return values


def _sites(table: _Table, col: int) -> tuple[np.ndarray, tuple[str, ...]]:
    """The site column: numbers, or ISO dates (as datetime64) when its first cell is one.

    Times with a UTC offset become UTC instants; the offsets they carried are returned.
    """
    first = next((r[col] for r in table.records if not is_missing(r[col])), "").strip()
    if not is_date(first):
        values = _numbers(table, col)
        _check_integer_sites(table, col, values)
        return values, ()
    zoned = _ZONED.match(first) is not None
    stamps: list[Any] = []
    offsets: list[int] = []
    zones: dict[int, str] = {}
    for i, record in enumerate(table.records):
        cell = record[col].strip()
        if cell.lower() in _MISSING:
            stamps.append(np.datetime64("NaT"))
            offsets.append(0)
            continue
        where = f"{table.name}, line {table.lines[i]}, column {table.header[col]!r}"
        match = _ZONED.match(cell)
        if not is_date(cell):
            raise UserError(f"{where}: {cell!r} is not a date like the column's first, "
                            f"{first!r}")
        if (match is not None) != zoned:
            has = "has no UTC offset" if zoned else "has a UTC offset"
            raise UserError(f"{where}: {cell!r} {has}, unlike the column's first, {first!r}")
        if match is None:
            stamps.append(_datetime64(cell))
            offsets.append(0)
        else:
            stamps.append(_datetime64(match.group(1)))
            minutes = _offset_minutes(match.group(2))
            zones.setdefault(minutes, zone_text(match.group(2)))
            offsets.append(minutes)
    local = np.array(stamps)
    if not zones:
        return local, ()
    return _to_utc(local, np.array(offsets)), tuple(zones[m] for m in sorted(zones))


def _check_integer_sites(table: _Table, col: int, values: np.ndarray) -> None:
    """Refuse integer sites that float64 would merge (nanosecond stamps written as numbers):
    merged, their samples would be averaged without a word."""
    finite = values[np.isfinite(values)]
    if finite.size == 0 or float(np.max(np.abs(finite))) <= _EXACT_INTEGERS:
        return
    exact = set()
    for record in table.records:
        cell = record[col].strip()
        if cell.lower() in _MISSING:
            continue
        try:
            exact.add(int(cell))
        except ValueError:
            return  # not all integers: float64 numbers as written
    kept = np.unique(finite).size
    if kept < len(exact):
        raise UserError(
            f"{table.name}, column {table.header[col]!r}: {len(exact)} distinct integer sites, "
            f"but float64 keeps only {kept} of them apart; write them as ISO times "
            "(2024-01-31T12:00:00.000000001) or as offsets from the first site")


def _to_utc(local: np.ndarray, minutes: np.ndarray) -> np.ndarray:
    # Exact: offsets are whole minutes, and the stamps keep at least minutes.
    unit = np.datetime_data(local.dtype)[0]
    if unit in ("D", "h"):
        local = local.astype("datetime64[m]")
    return local - minutes.astype("timedelta64[m]")


def _present(values: np.ndarray) -> np.ndarray:
    return ~np.isnat(values) if values.dtype.kind == "M" else np.isfinite(values)


def _require_cells(table: _Table, col: int, values: np.ndarray, rows: np.ndarray,
                   what: str) -> None:
    """Every row in `rows` needs a finite (and, for delta, positive) number in `col`."""
    bad = _bad_cells(values, rows, what)
    if not bad.any():
        return
    i = int(np.flatnonzero(bad)[0])
    cell = table.records[i][col].strip()
    where = f"{table.name}, line {table.lines[i]}, column {table.header[col]!r}"
    positive = what == "delta"
    if cell.lower() in _MISSING:
        shown = "empty cell" if not cell else f"missing value {cell!r}"
        raise UserError(f"{where}: {shown} in a row with values (every such row needs a "
                        f"{'delta' if positive else 'site'})")
    if positive:
        raise UserError(f"{where}: delta must be positive and finite, got {cell!r}")
    raise UserError(f"{where}: a site must be a finite number, got {cell!r}")


def _bad_cells(values: np.ndarray, rows: np.ndarray, what: str) -> np.ndarray:
    with np.errstate(invalid="ignore"):
        good = _present(values) & ((values > 0) if what == "delta" else True)
    return np.asarray(rows & ~good)


# -- pandas' reader -------------------------------------------------------------------------

# The markers in the spellings pandas matches exactly; others go to our own reader.
_PANDAS_MISSING = sorted({variant for token in MISSING_TOKENS
                          for variant in (token, token.lower(), token.upper(), token.title())})


def _fast(text: str, name: str, header: Optional[bool], delimiter: Optional[str],
          picks: _Picks) -> Columns:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    text = _without_comments(text)
    head_text = text[:1 << 16]
    head_lines = head_text.splitlines(keepends=True)
    if len(head_text) < len(text):
        head_lines = head_lines[:-1]  # the last one may be cut
        if sum(1 for line in head_lines if line.strip()) < 50:
            raise _Fallback
    head, _ = _head(head_lines, name, header, delimiter)
    if head.header_line > 1 and any(line.strip() for line in head_lines[:head.header_line - 1]):
        raise _Fallback  # a header record over several lines
    body_start = sum(len(line) for line in head_lines[:head.header_line])
    # Bytes: pandas reads them without the four-byte-per-character copy a StringIO makes.
    body = text[body_start:].encode("utf-8")
    if b'"' in body or body.count(b"\r") != body.count(b"\r\n"):
        raise _Fallback  # quoted cells, or line ends that the line count below would miss
    fields = _fields_per_line(body, head.sep)
    if fields is None:
        raise _Fallback
    width = len(head.names)
    if fields < width:
        raise _Fallback
    xcol, ycols, dcol = _pick(head.names, name, picks)
    extra = list(range(width, fields))
    wanted = sorted({c for c in [xcol, dcol, *ycols] if c is not None})
    # Read as float64 from the start: integers would lose the sign of "-0".
    types: dict[int, Any] = {c: np.float64 for c in wanted}
    types.update({c: str for c in extra})
    if xcol is not None and _dates_in(head_lines[head.header_line:], head.sep, xcol):
        types[xcol] = str
    try:
        frame = pd.read_csv(
            io.BytesIO(body), sep=head.sep, header=None, names=range(fields),
            usecols=wanted + extra, dtype=types,
            na_values={c: _PANDAS_MISSING for c in wanted},
            keep_default_na=False, skip_blank_lines=True, engine="c", quoting=csv.QUOTE_NONE)
    except (ValueError, pd.errors.ParserError):
        raise _Fallback from None
    rows = frame.shape[0]
    if rows == 0:
        raise _Fallback
    for c in extra:
        if (frame[c].fillna("").str.strip() != "").any():
            raise _Fallback
    y = np.column_stack([_float_column(frame[c]) for c in ycols])
    delta = _float_column(frame[dcol]) if dcol is not None else None
    x: Optional[np.ndarray] = None
    zones: tuple[str, ...] = ()
    if xcol is not None:
        x, zones = _fast_sites(frame[xcol])
    kept = np.all(np.isfinite(y), axis=1)
    if x is not None and _bad_cells(x, kept, "site").any():
        raise _Fallback
    if delta is not None and _bad_cells(delta, kept, "delta").any():
        raise _Fallback
    del frame
    # pandas' tokenizer leaves tens of megabytes of freed heap behind a large file.
    return_freed_memory()
    return Columns(name, head.names, rows, x, y, delta, xcol, ycols, zones)


def _dates_in(lines: Sequence[str], sep: str, col: int) -> bool:
    """Whether the first present cell of column `col` is a date."""
    for record in csv.reader(lines, delimiter=sep):
        if len(record) > col and not is_missing(record[col]):
            return is_date(record[col])
    raise _Fallback


def _fields_per_line(body: bytes, sep: str) -> Optional[int]:
    """The number of fields every non-blank line has, or None when they differ or a line
    holds nothing but blanks and separators (pandas and our reader disagree on those)."""
    data = np.frombuffer(body, dtype=np.uint8)
    if data.size == 0:
        return None
    ends = np.flatnonzero(data == 10)
    if ends.size == 0 or ends[-1] != data.size - 1:
        ends = np.append(ends, data.size)
    starts = np.concatenate(([0], ends[:-1] + 1))

    def per_line(positions: np.ndarray) -> np.ndarray:
        # Counted through the positions of the few special bytes: a running count over every
        # byte of a large file costs seconds and hundreds of megabytes.
        # (no special byte is a line end, so counts up to each end are counts per line).
        return np.diff(np.searchsorted(positions, ends), prepend=0)

    seps = per_line(np.flatnonzero(data == ord(sep)))
    crs = per_line(np.flatnonzero(data == 13))
    blank = [32] if sep == "\t" else [32, 9]
    blanks = sum(per_line(np.flatnonzero(data == byte)) for byte in blank)
    length = ends - starts - crs
    empty = length == 0
    if np.any(~empty & (seps + blanks == length)):
        return None
    counts = seps[~empty]
    if counts.size == 0 or counts.min() != counts.max():
        return None
    return int(counts[0]) + 1


def _float_column(column: Any) -> np.ndarray:
    if column.dtype != np.float64:
        raise _Fallback
    # A copy: a view would keep the whole frame alive through the fit.
    return np.array(column.to_numpy(dtype=np.float64), copy=True)


def _fast_sites(column: Any) -> tuple[np.ndarray, tuple[str, ...]]:
    if column.dtype.kind == "f":
        values = _float_column(column)
        with np.errstate(invalid="ignore"):
            if np.any(np.abs(values) > _EXACT_INTEGERS):
                raise _Fallback  # integers float64 may merge: our own reader tells
        return values, ()
    cells = column.to_numpy(dtype=object)
    present = column.notna().to_numpy()
    first = str(cells[present][0]) if present.any() else ""
    if not is_date(first) or _ZONED.match(first.strip()) is not None:
        raise _Fallback  # zoned times and anything odd: our own reader words it
    text = np.where(present, cells, "NaT").astype(str)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            stamps = np.array(text, dtype="datetime64")
        except (ValueError, Warning):
            raise _Fallback from None
    if np.any(np.isnat(stamps) & present):
        raise _Fallback
    return stamps, ()
