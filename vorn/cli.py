"""Command line: ``vorn fit`` on CSV files and ``vorn demo`` on the embedded data."""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import re
import sys
import textwrap
from typing import IO, Any, NamedTuple, NoReturn, Optional, Sequence

import numpy as np

from ._extras import missing_message

__all__ = ["main"]

_MISSING = {"", "na", "nan", "n/a", "null"}


class UserError(Exception):
    """A problem with the user's input: reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse would print the whole usage first; one line is easier to act on.
        self.exit(2, f"{self.prog}: error: {message}\n")


# Descriptions keep their own line breaks so that the examples below them keep theirs.
_WIDTH = 78

_FIT_EXAMPLES = """\
examples:
  vorn fit data.csv --x year --y flow --auto    p and gamma chosen from the data
  vorn fit data.csv --auto --bandwidth-samples 8 --penalty 16
                      smoothing over about 8 samples, a jump priced at 16 noise variances
  vorn fit data.csv --auto --out fitted.csv --plot fit.png --json
  vorn fit data.csv --auto --jumps jumps.csv    each jump with its 90 % interval and evidence
  vorn fit readings.tsv --no-header --x 0 --y 2 --p 0.9 --gamma 1
  cat data.csv | vorn fit - --p 0.5 --gamma 2

The first row is a header unless every cell of it is a number (--header / --no-header say
so); without a header the columns are named 0, 1, 2, ... as in pandas. The separator is a
tab or a semicolon when every line has one, else a comma (--delimiter says so). Lines
starting with # are comments. Sites may be ISO dates (2024-01-31, 2024-01-31T12:00); jumps
are then reported as dates. --json writes strict JSON: an infinite or undefined number
(e.g. --gamma inf) is written as null. Each jump's interval holds the places it could be with
the other jumps fixed; its significance is the chance that noise alone saves as much energy
(see the README).
"""

_DEMO_EXAMPLES = """\
examples:
  vorn demo                     print the jumps found in the Nile's annual flow
  vorn demo --plot demo.png     and draw data, fit and jumps
"""

_MAIN_EXAMPLES = """\
examples:
  vorn demo --plot demo.png
  vorn fit data.csv --x year --y flow --auto --plot fit.png --out fitted.csv
  vorn fit data.csv --auto --bandwidth-samples 8 --penalty 16 --json

Run "vorn COMMAND --help" for the options of a command.
"""


def _build_parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = _Parser(
        prog="vorn",
        description="Fit cubic smoothing splines with discontinuities to data.",
        epilog=_MAIN_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    f = sub.add_parser(
        "fit",
        help="fit a CSV file and report the jumps found",
        description=textwrap.fill(
            "Fit the columns of a CSV file and report the jumps found. Empty cells and NA/NaN "
            "in value columns are missing values: such rows are left out of the fit (and get "
            "empty fitted values in --out). Every other row needs a site (and a delta with "
            "--delta).", width=_WIDTH),
        epilog=_FIT_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    f.add_argument("file", metavar="FILE.csv", help='input file, or "-" for standard input')
    f.add_argument("--x", metavar="COL", help="column of sample sites (default: the first "
                   "column when there are two or more, else 1, 2, ..., n)")
    f.add_argument("--no-x", action="store_true", help="use sites 1, 2, ..., n")
    f.add_argument("--y", metavar="COL", nargs="+", help="value columns (default: all others)")
    f.add_argument("--delta", metavar="COL", help="column of per-sample standard deviations")
    header = f.add_mutually_exclusive_group()
    header.add_argument("--header", dest="header", action="store_true", default=None,
                        help="the first row names the columns")
    header.add_argument("--no-header", dest="header", action="store_false",
                        help="the first row is data; columns are named 0, 1, 2, ...")
    f.add_argument("--delimiter", metavar="SEP", type=_delimiter,
                   help="field separator: a character, or 'tab' (default: detected)")
    f.add_argument("--p", type=float, metavar="P", help="smoothing parameter in [0, 1]")
    f.add_argument("--gamma", type=float, metavar="G", help="penalty per jump, >= 0")
    f.add_argument("--auto", action="store_true",
                   help="choose P and G from the data (as vorn.select: noise from second "
                   "differences, a priced jump, the smoothing by an information criterion)")
    f.add_argument("--bandwidth-samples", type=float, metavar="B",
                   help="with --auto: fix the smoothing bandwidth, in samples")
    f.add_argument("--penalty", type=float, metavar="C",
                   help="with --auto: fix the jump penalty, in noise variances")
    f.add_argument("--pruning", default="DOMINANCE", choices=["DOMINANCE", "PELT", "FPVI"],
                   type=str.upper,
                   help="search pruning (default DOMINANCE)")
    f.add_argument("--plot", metavar="OUT.png", help="write a picture of data, fit and jumps")
    f.add_argument("--out", metavar="FITTED.csv",
                   help="write sites, data and fitted values, one row per input row")
    f.add_argument("--json", action="store_true", help="print the result as (strict) JSON")
    f.add_argument("--jumps", metavar="JUMPS.csv",
                   help="write one row per jump: location, 90%% interval, sizes, saved energy "
                   "and significance")

    d = sub.add_parser(
        "demo",
        help="fit the Nile flow series with automatic parameter choice",
        description=textwrap.fill(
            "Fit the annual Nile flow at Aswan, 1871-1970, choosing the smoothing and the jump "
            "penalty from the data (vorn.select), and show the jumps found.", width=_WIDTH),
        epilog=_DEMO_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    d.add_argument("--plot", metavar="OUT.png", help="write a picture of data, fit and jumps")
    d.add_argument("--json", action="store_true", help="print the result as JSON")
    d.add_argument("--jumps", metavar="JUMPS.csv",
                   help="write one row per jump: location, 90%% interval, sizes, saved energy "
                   "and significance")
    return parser


def _delimiter(text: str) -> str:
    if text.lower() in ("tab", "\\t", "\t"):
        return "\t"
    if len(text) != 1 or text in "\"\r\n" or text.isalnum() or text in ".-+":
        raise argparse.ArgumentTypeError(
            f"expected one separator character or 'tab', got {text!r}"
        )
    return text


# -- CSV ------------------------------------------------------------------------------------


class _Table(NamedTuple):
    """The cells of a CSV file as text, with the file line of each data row."""

    name: str  # the file as shown in messages
    header: list[str]
    records: list[list[str]]
    lines: list[int]


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


def _without_comments(text: str) -> list[str]:
    """Lines of `text`, comment lines blanked so that line numbers stay those of the file."""
    lines = text.splitlines(keepends=True)
    return ["\n" if line.lstrip().startswith("#") else line for line in lines]


def _sniff_delimiter(lines: list[str]) -> str:
    """A tab or a semicolon when every line has one, else a comma."""
    sample = [line for line in lines if line.strip()][:50]
    for candidate in ("\t", ";"):
        if sample and all(candidate in line for line in sample):
            return candidate
    return ","


def _is_datum(cell: str) -> bool:
    """A number, a missing value or a date: what a first row of data holds."""
    return _is_number(cell) or _is_date(cell)


def _is_number(cell: str) -> bool:
    text = cell.strip()
    if text.lower() in _MISSING:
        return True
    try:
        float(text)
    except ValueError:
        return False
    return True


def _read_csv(path: str, stdin: IO[str], header: Optional[bool] = None,
              delimiter: Optional[str] = None) -> _Table:
    """Read a CSV file; `header` None means: a first row of numbers is data."""
    name = _display_name(path)
    lines = _without_comments(_read_text(path, stdin))
    sep = delimiter or _sniff_delimiter(lines)
    reader = csv.reader(lines, delimiter=sep)
    names: Optional[list[str]] = None
    records: list[list[str]] = []
    numbers: list[int] = []
    try:
        for record in reader:
            line = reader.line_num
            if not record or all(not cell.strip() for cell in record):
                continue
            if names is None:
                if header or (header is None and not all(map(_is_datum, record))):
                    names = [cell.strip() for cell in record]
                    _check_unique(names, name, line)
                    continue
                names = [str(i) for i in range(len(record))]
            if len(record) != len(names):
                raise UserError(
                    f"{name}, line {line}: expected {len(names)} fields, got {len(record)}"
                    + _delimiter_hint(sep, delimiter)
                )
            records.append(record)
            numbers.append(line)
    except csv.Error as exc:
        raise UserError(f"{name}, line {reader.line_num}: {exc}") from None
    if names is None:
        raise UserError(f"{name}: empty file")
    if not records:
        raise UserError(f"{name}: no data rows after the header")
    return _Table(name, names, records, numbers)


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


def _is_date(cell: str) -> bool:
    text = cell.strip()
    if len(text) < 8 or not text[:4].isdigit() or text[4] != "-":
        return False
    try:
        np.datetime64(text)
    except ValueError:
        return False
    return True


def _sites(table: _Table, col: int) -> np.ndarray:
    """The site column: numbers, or ISO dates (as datetime64) when its first cell is one."""
    first = next((r[col] for r in table.records if r[col].strip().lower() not in _MISSING), "")
    if not _is_date(first):
        return _numbers(table, col)
    stamps = []
    for i, record in enumerate(table.records):
        cell = record[col].strip()
        if cell.lower() in _MISSING:
            stamps.append(np.datetime64("NaT"))
        elif _is_date(cell):
            stamps.append(np.datetime64(cell))
        else:
            raise UserError(
                f"{table.name}, line {table.lines[i]}, column {table.header[col]!r}: "
                f"{cell!r} is not a date like the column's first, {first.strip()!r}"
            )
    return np.array(stamps)


def _present(values: np.ndarray) -> np.ndarray:
    return ~np.isnat(values) if values.dtype.kind == "M" else np.isfinite(values)


def _require_cells(table: _Table, col: int, values: np.ndarray, rows: np.ndarray,
                   what: str) -> None:
    """Every row in `rows` needs a finite (and, for delta, positive) number in `col`."""
    positive = what == "delta"
    bad = rows & ~(_present(values) & ((values > 0) if positive else True))
    if not bad.any():
        return
    i = int(np.flatnonzero(bad)[0])
    cell = table.records[i][col].strip()
    where = f"{table.name}, line {table.lines[i]}, column {table.header[col]!r}"
    if cell.lower() in _MISSING:
        shown = "empty cell" if not cell else f"missing value {cell!r}"
        raise UserError(f"{where}: {shown} in a row with values (every such row needs a "
                        f"{'delta' if positive else 'site'})")
    if positive:
        raise UserError(f"{where}: delta must be positive and finite, got {cell!r}")
    raise UserError(f"{where}: a site must be a finite number, got {cell!r}")


def _display_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def _column(header: list[str], name: str, path: str) -> int:
    try:
        return header.index(name)
    except ValueError:
        shown = ", ".join(header)
        raise UserError(f"{path}: no column {name!r} (columns: {shown})") from None


# -- output ---------------------------------------------------------------------------------


def _number(value: float) -> str:
    return f"{value:.6g}"


def _json_number(value: float) -> Optional[float]:
    """Strict JSON has no infinity or NaN: such numbers are written as null."""
    number = float(value)
    return number if math.isfinite(number) else None


def _report(fitted: Any, names: list[str], extra: dict[str, Any], as_json: bool,
            out: IO[str], rows: Optional[int] = None) -> None:
    locations = np.asarray(fitted.jumps)
    sizes = np.asarray(fitted.jump_sizes).reshape(len(locations), fitted.dim)
    samples = int(fitted.x.shape[0])
    if as_json:
        bounds = fitted.jump_intervals(0.9)
        found = fitted.jump_evidence
        result = {key: _json_number(value) if isinstance(value, float) else value
                  for key, value in extra.items()}
        result.update({
            "n": samples,
            "columns": names,
            "p": _json_number(fitted.p),
            "gamma": _json_number(fitted.gamma),
            "jumps": [
                {"location": _json_site(loc), "index": int(idx),
                 "size": [_json_number(s) for s in sizes[k]],
                 "interval": [_json_site(bounds[k, 0]), _json_site(bounds[k, 1])],
                 "saved": _json_number(found.saved[k]),
                 "significance": _json_number(found.significance[k])}
                for k, (loc, idx) in enumerate(zip(locations, fitted.jump_indices))
            ],
        })
        if rows is not None:
            result["rows"] = rows
        if getattr(fitted, "site_unit", None):
            result["site_unit"] = fitted.site_unit
        json.dump(result, out, indent=2, allow_nan=False)
        out.write("\n")
        return
    if "title" in extra:
        out.write(f"{extra['title']}\n")
    settings = f"p = {_number(fitted.p)}, gamma = {_number(fitted.gamma)}"
    if "criterion" in extra:
        settings += f" (chosen by vorn.select: {extra['criterion']})"
    left_out = "" if rows is None or rows == samples else f" from {rows} rows"
    out.write(f"{samples} samples{left_out}, {settings}\n")
    if getattr(fitted, "site_unit", None):
        out.write(f"sites in {fitted.site_unit}\n")
    count = len(locations)
    out.write(f"{count} jump{'s' if count != 1 else ''} found\n")
    if count == 0:
        return
    headers = ["location", "index"] + [f"size[{name}]" for name in names]
    table = [
        [_site(loc), str(int(idx))] + [_number(float(s)) for s in sizes[k]]
        for k, (loc, idx) in enumerate(zip(locations, fitted.jump_indices))
    ]
    widths = [max(len(h), *(len(row[i]) for row in table)) for i, h in enumerate(headers)]
    out.write("  ".join(h.rjust(w) for h, w in zip(headers, widths)) + "\n")
    for row in table:
        out.write("  ".join(c.rjust(w) for c, w in zip(row, widths)) + "\n")


def _site(value: Any) -> str:
    if isinstance(value, np.datetime64):
        return str(np.datetime_as_string(value))
    return _number(float(value))


def _json_site(value: Any) -> Any:
    return str(np.datetime_as_string(value)) if isinstance(value, np.datetime64) else (
        _json_number(value))


def _cell(value: Any) -> str:
    if isinstance(value, np.datetime64):
        return "" if np.isnat(value) else str(np.datetime_as_string(value))
    return repr(float(value)) if math.isfinite(value) else ""


def _write_jumps(fitted: Any, names: list[str], path: str) -> None:
    """One row per jump: where it is, where it could be (90 %), its sizes and its evidence."""
    bounds = fitted.jump_intervals(0.9)
    found = fitted.jump_evidence
    locations = np.asarray(fitted.jumps)
    sizes = np.asarray(fitted.jump_sizes).reshape(len(locations), fitted.dim)
    header = (["location", "index", "lower_90", "upper_90"]
              + [f"size[{name}]" for name in names] + ["saved", "significance"])
    try:
        with open(path, "w", newline="", encoding="utf-8") as handle:
            writer = csv.writer(handle)
            writer.writerow(header)
            for k, (loc, idx) in enumerate(zip(locations, fitted.jump_indices)):
                writer.writerow([_cell(loc), str(int(idx)), _cell(bounds[k, 0]),
                                 _cell(bounds[k, 1])] + [_cell(v) for v in sizes[k]]
                                + [_cell(found.saved[k]), _cell(found.significance[k])])
    except OSError as exc:
        raise UserError(f"{path}: {exc.strerror or exc}") from None


def _write_fitted(fitted: Any, sites: np.ndarray, y: np.ndarray, kept: np.ndarray,
                  xname: str, names: list[str], path: str) -> None:
    """One row per input row: site, data and fitted values (empty where a row was left out)."""
    values = np.full(y.shape, math.nan)
    values[kept] = np.asarray(fitted(sites[kept])).reshape(int(kept.sum()), -1)
    try:
        with open(path, "w", newline="", encoding="utf-8") as handle:
            writer = csv.writer(handle)
            writer.writerow([xname] + names + [f"{name}_fit" for name in names])
            for i, site in enumerate(sites):
                writer.writerow([_cell(site)] + [_cell(v) for v in y[i]]
                                + [_cell(v) for v in values[i]])
    except OSError as exc:
        raise UserError(f"{path}: {exc.strerror or exc}") from None


def _write_plot(fitted: Any, path: str, title: str, xlabel: str, names: list[str]) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise UserError(missing_message("plot", "--plot")) from None
    fig, ax = plt.subplots(figsize=(8.0, 4.2), dpi=110)
    fitted.plot(ax=ax, labels=names if len(names) > 1 else None)
    ax.set_title(title)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(", ".join(names))
    fig.tight_layout()
    try:
        fig.savefig(path)
    except (OSError, ValueError) as exc:
        raise UserError(f"{path}: {getattr(exc, 'strerror', None) or exc}") from None
    finally:
        plt.close(fig)


# -- commands -------------------------------------------------------------------------------

# Parameter names of the library as the command line spells them.
_FLAGS = {"p": "--p", "gamma": "--gamma", "bandwidth_samples": "--bandwidth-samples",
          "penalty": "--penalty", "pruning": "--pruning"}


def _in_cli_words(message: str) -> str:
    """A library message with its leading parameter name replaced by the flag."""
    return re.sub(r"^(p|gamma|bandwidth_samples|penalty|pruning)\b",
                  lambda m: _FLAGS[m.group(1)],
                  message)


def _check_options(args: argparse.Namespace) -> None:
    from . import _checks

    if args.auto and (args.p is not None or args.gamma is not None):
        raise UserError("give either --auto or --p and --gamma, not both")
    if not args.auto and (args.p is None or args.gamma is None):
        raise UserError("give --p and --gamma, or --auto")
    if args.x is not None and args.no_x:
        raise UserError("give either --x or --no-x, not both")
    for flag, value, check in (("--p", args.p, _checks.check_p),
                               ("--gamma", args.gamma, _checks.check_gamma)):
        if value is None:
            continue
        if math.isnan(value):
            raise UserError(f"{flag} must be a number, got nan")
        try:
            check(value)
        except ValueError as exc:
            raise UserError(_in_cli_words(str(exc))) from None
    if not args.auto and (args.bandwidth_samples is not None or args.penalty is not None):
        raise UserError("--bandwidth-samples and --penalty need --auto")


def _cmd_fit(args: argparse.Namespace, stdin: IO[str], out: IO[str]) -> None:
    from ._fit import fit
    from ._select import select

    _check_options(args)
    table = _read_csv(args.file, stdin, args.header, args.delimiter)
    name, header = table.name, table.header
    used: set[int] = set()
    xcol: Optional[int] = None
    if args.x is not None:
        xcol = _column(header, args.x, name)
    elif not args.no_x and len(header) >= 2:
        xcol = 0
    if xcol is not None:
        used.add(xcol)
    dcol: Optional[int] = None
    if args.delta is not None:
        dcol = _column(header, args.delta, name)
        if dcol in used:
            raise UserError(f"column {args.delta!r} cannot be both sites and delta")
        used.add(dcol)
    if args.y:
        ycols = [_column(header, col, name) for col in args.y]
        for col in ycols:
            if col in used:
                raise UserError(f"column {header[col]!r} is already used for sites or delta")
    else:
        ycols = [i for i in range(len(header)) if i not in used]
        if not ycols:
            raise UserError(f"{name}: no value column left (columns: {', '.join(header)})")
    x = _sites(table, xcol) if xcol is not None else None
    y = np.column_stack([_numbers(table, col) for col in ycols])
    delta = _numbers(table, dcol) if dcol is not None else None
    kept = np.all(np.isfinite(y), axis=1)
    rows = len(table.records)
    if x is not None and xcol is not None:
        _require_cells(table, xcol, x, kept, "site")
    if delta is not None and dcol is not None:
        _require_cells(table, dcol, delta, kept, "delta")
    names = [header[i] for i in ycols]

    extra: dict[str, Any] = {}
    try:
        if args.auto:
            chosen = select(x, y, delta=delta, bandwidth_samples=args.bandwidth_samples,
                            penalty=args.penalty, pruning=args.pruning)
            fitted = chosen.fit
            extra = _choice(chosen)
        else:
            fitted = fit(x, y, args.p, args.gamma, delta=delta, pruning=args.pruning)
    except (TypeError, ValueError) as exc:
        raise UserError(_in_cli_words(str(exc))) from None
    # Files first: a file that cannot be written leaves nothing half-reported on stdout.
    xname = header[xcol] if xcol is not None else "x"
    if args.out:
        sites = x if x is not None else np.arange(1.0, rows + 1.0)
        _write_fitted(fitted, sites, y, kept, xname, names, args.out)
    if args.jumps:
        _write_jumps(fitted, names, args.jumps)
    if args.plot:
        _write_plot(fitted, args.plot, name, xname, names)
    _report(fitted, names, extra, args.json, out, rows)


def _choice(chosen: Any) -> dict[str, Any]:
    """What --auto reports about the choice besides p and gamma."""
    return {"criterion": chosen.criterion, "score": chosen.score,
            "bandwidth_samples": chosen.bandwidth_samples, "penalty": chosen.penalty,
            "noise": chosen.noise}


def _cmd_demo(args: argparse.Namespace, out: IO[str]) -> None:
    from . import datasets
    from ._select import select

    years, flow, truth = datasets.nile()
    chosen = select(years, flow)
    fitted = chosen.fit
    title = "Annual flow of the Nile at Aswan, 1871-1970 (10^8 m^3)"
    extra = {"title": title, **_choice(chosen), "known_change": float(truth[0])}
    if args.jumps:
        _write_jumps(fitted, ["flow"], args.jumps)
    _report(fitted, ["flow"], extra, args.json, out)
    if not args.json:
        out.write("The known change lies between 1898 and 1899 (the first Aswan dam was begun "
                  "in 1898).\n")
    if args.plot:
        _write_plot(fitted, args.plot, "Annual flow of the Nile at Aswan, 1871\u20131970",
                    "year", [r"flow ($10^8\ \mathrm{m}^3$ per year)"])
        if not args.json:
            out.write(f"picture written to {args.plot}\n")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status.

    Parameters
    ----------
    argv : sequence of str, optional
        Arguments without the program name; ``sys.argv[1:]`` when omitted.

    Returns
    -------
    int
        0 on success, 2 for a usage or input error (reported as one line on stderr).
    """
    parser = _build_parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "fit":
            _cmd_fit(args, sys.stdin, sys.stdout)
        elif args.command == "demo":
            _cmd_demo(args, sys.stdout)
        else:
            sys.stderr.write("vorn: error: choose a command, fit or demo (see vorn --help)\n")
            return 2
    except UserError as exc:
        sys.stderr.write(f"vorn {args.command}: error: {exc}\n")
        return 2
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
