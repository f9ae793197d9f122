"""Command line: ``vorn fit`` on CSV files and ``vorn demo`` on the embedded data."""

from __future__ import annotations

import argparse
import csv
import json
import math
import os
import re
import sys
import textwrap
from typing import IO, Any, NoReturn, Optional, Sequence

import numpy as np

from . import __version__, _checks, datasets
from ._csv import MISSING_TOKENS, UserError, _offset_minutes, load
from ._extras import missing_message
from ._problem import fit
from ._select import select

__all__ = ["main"]


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
  vorn fit steps.csv --auto --segments constant   levels between jumps, for step signals
  vorn fit readings.tsv --no-header --x 0 --y 2 --p 0.9 --gamma 1
  cat data.csv | vorn fit - --p 0.5 --gamma 2

The first row is a header unless every cell of it is a number (--header / --no-header say
so); without a header the columns are named 0, 1, 2, ... as in pandas. The separator is a
tab or a semicolon when every line has one, else a comma (--delimiter says so); a separator
at the end of every line is ignored. Lines starting with # are comments. Sites may be ISO
dates (2024-01-31, 2024-01-31T12:00, 2024-01-31T12:00+01:00); jumps are then reported as
dates, in the UTC offset the sites were written with (in UTC, with a note, when they mix
offsets). --json writes strict JSON: an infinite or undefined number (e.g. --gamma inf) is
written as null.
Each jump's interval holds the places it could be with the other jumps fixed; its
significance is the chance that noise alone saves as much energy (see the README).
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
            "Fit the columns of a CSV file and report the jumps found. Missing values are "
            "empty cells and pandas' markers, in any case: "
            + ", ".join(MISSING_TOKENS[1:]) + ". A row with a missing value in a value "
            "column is left out of the fit (and gets empty fitted values in --out); so is a "
            "row with inf or -inf there, as vorn.fit leaves out infinite values. Every other "
            "row needs a site (and a delta with --delta), finite.", width=_WIDTH),
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
    f.add_argument("--segments", default="smooth", choices=["smooth", "constant"],
                   help="with --auto: 'constant' fits levels between jumps, for signals known "
                   "to be steps (default smooth)")
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


# -- output ---------------------------------------------------------------------------------


def _number(value: float) -> str:
    return f"{value:.6g}"


def _json_number(value: float) -> Optional[float]:
    """Strict JSON has no infinity or NaN: such numbers are written as null."""
    number = float(value)
    return number if math.isfinite(number) else None


def _report(fitted: Any, names: list[str], extra: dict[str, Any], as_json: bool,
            out: IO[str], rows: Optional[int] = None, zone: Optional[str] = None) -> None:
    locations = np.asarray(fitted.jumps)
    sizes = np.asarray(fitted.jump_sizes).reshape(len(locations), fitted.dim)
    samples = int(fitted.x.shape[0])
    # Intervals and evidence are measured for smooth segments only.
    smooth = fitted.segment_model != "constant"
    if as_json:
        count = len(locations)
        if smooth:
            bounds = fitted.jump_intervals(0.9)
            found = fitted.jump_evidence
            measured = [{"interval": [_json_site(bounds[k, 0], zone),
                                      _json_site(bounds[k, 1], zone)],
                         "saved": _json_number(found.saved[k]),
                         "significance": _json_number(found.significance[k])}
                        for k in range(count)]
        else:
            measured = [{"interval": None, "saved": None, "significance": None}] * count
        result = {key: _json_number(value) if isinstance(value, float) else value
                  for key, value in extra.items()}
        result.update({
            "n": samples,
            "columns": names,
            "p": _json_number(fitted.p),
            "gamma": _json_number(fitted.gamma),
            "segments": fitted.segment_model,
            "jumps": [
                {"location": _json_site(loc, zone), "index": int(idx),
                 "size": [_json_number(s) for s in sizes[k]], **measured[k]}
                for k, (loc, idx) in enumerate(zip(locations, fitted.jump_indices))
            ],
        })
        if rows is not None:
            result["rows"] = rows
        if getattr(fitted, "site_unit", None):
            result["site_unit"] = _site_unit(fitted, zone)
        json.dump(result, out, indent=2, allow_nan=False)
        out.write("\n")
        return
    if "title" in extra:
        out.write(f"{extra['title']}\n")
    settings = (f"p = {_number(fitted.p)}, gamma = {_number(fitted.gamma)}" if smooth
                else f"constant segments, gamma = {_number(fitted.gamma)}")
    if "criterion" in extra:
        settings += f" (chosen by vorn.select: {extra['criterion']})"
    left_out = "" if rows is None or rows == samples else f" from {rows} rows"
    out.write(f"{samples} samples{left_out}, {settings}\n")
    if getattr(fitted, "site_unit", None):
        out.write(f"sites in {_site_unit(fitted, zone)}\n")
    count = len(locations)
    out.write(f"{count} jump{'s' if count != 1 else ''} found\n")
    if count == 0:
        return
    headers = ["location", "index"] + [f"size[{name}]" for name in names]
    table = [
        [_site(loc, zone), str(int(idx))] + [_number(float(s)) for s in sizes[k]]
        for k, (loc, idx) in enumerate(zip(locations, fitted.jump_indices))
    ]
    widths = [max(len(h), *(len(row[i]) for row in table)) for i, h in enumerate(headers)]
    out.write("  ".join(h.rjust(w) for h, w in zip(headers, widths)) + "\n")
    for row in table:
        out.write("  ".join(c.rjust(w) for c, w in zip(row, widths)) + "\n")


def _site_unit(fitted: Any, zone: Optional[str]) -> str:
    """The unit of the sites, its origin in the offset the input was written with."""
    if zone is None or fitted.sites.origin is None:
        return str(fitted.site_unit)
    name = fitted.site_unit.split(" since ")[0]
    return f"{name} since {_time(fitted.sites.origin.astype('datetime64[s]'), zone)}"


def _time(value: Any, zone: Optional[str]) -> str:
    """A datetime in ISO form, in the UTC offset the input was written with (if any)."""
    if zone is None:
        return str(np.datetime_as_string(value))
    return _times(np.asarray([value]), zone)[0]


def _times(values: np.ndarray, zone: Optional[str]) -> list[str]:
    """Datetimes in ISO form ("" for NaT), shifted to the offset `zone` and marked with it."""
    suffix = ""
    if zone is not None:
        if np.datetime_data(values.dtype)[0] in ("D", "h"):
            values = values.astype("datetime64[m]")
        values = values + np.timedelta64(_offset_minutes(zone), "m")
        suffix = zone
    texts = np.datetime_as_string(values).tolist()
    return ["" if text == "NaT" else text + suffix for text in texts]


def _site(value: Any, zone: Optional[str] = None) -> str:
    if isinstance(value, np.datetime64):
        return _time(value, zone)
    return _number(float(value))


def _json_site(value: Any, zone: Optional[str] = None) -> Any:
    return _time(value, zone) if isinstance(value, np.datetime64) else _json_number(value)


def _cells(values: np.ndarray, zone: Optional[str] = None) -> list[str]:
    """Cells of one output column: shortest round-trip numbers, "" where missing."""
    if values.dtype.kind == "M":
        return _times(values, zone)
    texts = list(map(float.__repr__, values.tolist()))
    for i in np.flatnonzero(~np.isfinite(values)).tolist():
        texts[i] = ""
    return texts


_BLOCK = 65536


def _write_jumps(fitted: Any, names: list[str], path: str,
                 zone: Optional[str] = None) -> None:
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
            where = [_cells(column, zone) for column in (locations, bounds[:, 0], bounds[:, 1])]
            numbers = [_cells(np.asarray(column, dtype=float))
                       for column in (*sizes.T, found.saved, found.significance)]
            for k, idx in enumerate(fitted.jump_indices):
                writer.writerow([where[0][k], str(int(idx)), where[1][k], where[2][k]]
                                + [column[k] for column in numbers])
    except OSError as exc:
        raise UserError(f"{path}: {exc.strerror or exc}") from None


def _write_fitted(fitted: Any, sites: np.ndarray, y: np.ndarray, kept: np.ndarray,
                  xname: str, names: list[str], path: str, zone: Optional[str] = None) -> None:
    """One row per input row: site, data and fitted values (empty where a row was left out)."""
    values = np.full(y.shape, math.nan)
    values[kept] = np.asarray(fitted(sites[kept])).reshape(int(kept.sum()), -1)
    try:
        with open(path, "w", newline="", encoding="utf-8") as handle:
            csv.writer(handle).writerow([xname] + names + [f"{name}_fit" for name in names])
            # Column by column in blocks of rows: cell by cell through csv.writer a million
            # rows take ten seconds, and all at once their strings take hundreds of megabytes.
            # Numbers and dates need no quoting; rows end as csv.writer ends them.
            for start in range(0, sites.shape[0], _BLOCK):
                block = slice(start, start + _BLOCK)
                columns = [_cells(sites[block], zone)]
                columns += [_cells(column) for column in y[block].T]
                columns += [_cells(column) for column in values[block].T]
                handle.write("\r\n".join(map(",".join, zip(*columns))))
                handle.write("\r\n")
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
    if args.segments == "constant" and not args.auto:
        raise UserError("--segments constant needs --auto")
    if args.segments == "constant" and args.bandwidth_samples is not None:
        raise UserError("--segments constant takes no --bandwidth-samples")
    if args.segments == "constant" and args.jumps:
        raise UserError("--jumps needs smooth segments: intervals and evidence are measured "
                        "for smooth fits only")


def _cmd_fit(args: argparse.Namespace, stdin: IO[str], out: IO[str]) -> None:
    _check_options(args)
    table = load(args.file, stdin, args.header, args.delimiter, args.x, args.no_x, args.y,
                 args.delta)
    name, header, xcol, rows = table.name, table.header, table.xcol, table.rows
    x, y, delta = table.x, table.y, table.delta
    kept = np.all(np.isfinite(y), axis=1)
    names = [header[i] for i in table.ycols]
    zone = table.zones[0] if len(table.zones) == 1 else ("Z" if table.zones else None)
    if len(table.zones) > 1 and xcol is not None:
        sys.stderr.write(f"vorn fit: note: the times in column {header[xcol]!r} carry "
                         f"{len(table.zones)} UTC offsets ({', '.join(table.zones)}); "
                         "times are written in UTC\n")

    extra: dict[str, Any] = {}
    try:
        if args.auto:
            chosen = select(x, y, delta=delta, bandwidth_samples=args.bandwidth_samples,
                            penalty=args.penalty, pruning=args.pruning,
                            segments=args.segments)
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
        _write_fitted(fitted, sites, y, kept, xname, names, args.out, zone)
    if args.jumps:
        _write_jumps(fitted, names, args.jumps, zone)
    if args.plot:
        _write_plot(fitted, args.plot, name, xname, names)
    _report(fitted, names, extra, args.json, out, rows, zone)


def _choice(chosen: Any) -> dict[str, Any]:
    """What --auto reports about the choice besides p and gamma."""
    own_units = chosen.fit.column_scale
    return {"criterion": chosen.criterion, "score": chosen.score,
            "bandwidth_samples": chosen.bandwidth_samples, "penalty": chosen.penalty,
            "noise": chosen.noise,
            **({} if own_units is None else {"column_scale": [float(v) for v in own_units]})}


def _cmd_demo(args: argparse.Namespace, out: IO[str]) -> None:
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
    except BrokenPipeError:
        # The reader went away (`vorn fit ... | head`); flushing at exit would fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    return 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
