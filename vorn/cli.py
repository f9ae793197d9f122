"""Command line: ``vorn fit`` on CSV files and ``vorn demo`` on the embedded data."""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import sys
from typing import IO, Any, NoReturn, Optional, Sequence

import numpy as np

__all__ = ["main"]

_MISSING = {"", "na", "nan", "n/a", "null"}


class UserError(Exception):
    """A problem with the user's input: reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse would print the whole usage first; one line is easier to act on.
        self.exit(2, f"{self.prog}: error: {message}\n")


def _build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vorn",
        description="Fit cubic smoothing splines with discontinuities to data.",
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    f = sub.add_parser(
        "fit",
        help="fit a CSV file and report the jumps found",
        description="Fit the columns of a CSV file (header row required) and report the jumps "
        "found. Empty cells and NA/NaN are missing values; such rows are left out.",
    )
    f.add_argument("file", metavar="FILE.csv", help='input file, or "-" for standard input')
    f.add_argument("--x", metavar="COL", help="column of sample sites (default: the first "
                   "column when there are two or more, else 1, 2, ..., n)")
    f.add_argument("--no-x", action="store_true", help="use sites 1, 2, ..., n")
    f.add_argument("--y", metavar="COL", nargs="+", help="value columns (default: all others)")
    f.add_argument("--delta", metavar="COL", help="column of per-sample standard deviations")
    f.add_argument("--p", type=float, metavar="P", help="smoothing parameter in [0, 1]")
    f.add_argument("--gamma", type=float, metavar="G", help="penalty per jump, >= 0")
    f.add_argument("--auto", action="store_true",
                   help="choose P and G by cross-validation")
    f.add_argument("--folds", type=int, default=10, help="folds for --auto (default 10)")
    f.add_argument("--seed", type=int, default=0, help="seed of the folds (default 0)")
    f.add_argument("--jobs", type=int, default=1, help="processes for --auto (default 1)")
    f.add_argument("--pruning", default="PELT", choices=["PELT", "FPVI"], type=str.upper,
                   help="search pruning (default PELT)")
    f.add_argument("--plot", metavar="OUT.png", help="write a picture of data, fit and jumps")
    f.add_argument("--out", metavar="FITTED.csv", help="write sites, data and fitted values")
    f.add_argument("--json", action="store_true", help="print the result as JSON")

    d = sub.add_parser(
        "demo",
        help="fit the Nile flow series with automatic parameter choice",
        description="Fit the annual Nile flow at Aswan, 1871-1970, choosing the smoothing "
        "and the jump penalty by cross-validation, and show the jumps found.",
    )
    d.add_argument("--plot", metavar="OUT.png", help="write a picture of data, fit and jumps")
    d.add_argument("--json", action="store_true", help="print the result as JSON")
    return parser


# -- CSV ------------------------------------------------------------------------------------


def _read_csv(path: str, stdin: IO[str]) -> tuple[list[str], list[list[str]], list[int]]:
    """Header, data records (as text) and the line number of each record."""
    try:
        if path == "-":
            text = stdin.read()
        else:
            with open(path, newline="", encoding="utf-8-sig") as handle:
                text = handle.read()
    except FileNotFoundError:
        raise UserError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise UserError(f"{path}: is a directory") from None
    except UnicodeDecodeError:
        raise UserError(f"{path}: not a UTF-8 text file") from None
    except OSError as exc:
        raise UserError(f"{path}: {exc.strerror or exc}") from None
    name = _display_name(path)
    reader = csv.reader(io.StringIO(text, newline=""))
    header: Optional[list[str]] = None
    records: list[list[str]] = []
    lines: list[int] = []
    try:
        for record in reader:
            line = reader.line_num
            if not record or all(not cell.strip() for cell in record):
                continue
            if header is None:
                header = [cell.strip() for cell in record]
                seen = set()
                for column in header:
                    if column in seen:
                        raise UserError(f"{name}, line {line}: column {column!r} appears twice")
                    seen.add(column)
                continue
            if len(record) != len(header):
                raise UserError(
                    f"{name}, line {line}: expected {len(header)} fields, got {len(record)}"
                )
            records.append(record)
            lines.append(line)
    except csv.Error as exc:
        raise UserError(f"{name}, line {reader.line_num}: {exc}") from None
    if header is None:
        raise UserError(f"{name}: empty file, expected a header row")
    if not records:
        raise UserError(f"{name}: no data rows after the header")
    return header, records, lines


def _numbers(records: list[list[str]], lines: list[int], header: list[str], col: int,
             name: str) -> np.ndarray:
    """One column as floats; missing cells become NaN, anything else non-numeric is an error."""
    values = np.empty(len(records))
    for i, record in enumerate(records):
        cell = record[col].strip()
        if cell.lower() in _MISSING:
            values[i] = math.nan
            continue
        try:
            values[i] = float(cell)
        except ValueError:
            raise UserError(
                f"{name}, line {lines[i]}, column {header[col]!r}: {cell!r} is not a number"
            ) from None
    return values


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


def _report(fitted: Any, names: list[str], extra: dict[str, Any], as_json: bool,
            out: IO[str]) -> None:
    sizes = np.asarray(fitted.jump_sizes).reshape(len(fitted.jumps), fitted.dim)
    if as_json:
        result = dict(extra)
        result.update({
            "n": int(fitted.x.shape[0]),
            "columns": names,
            "p": fitted.p,
            "gamma": fitted.gamma,
            "jumps": [
                {"location": float(loc), "index": int(idx),
                 "size": [float(s) for s in sizes[k]]}
                for k, (loc, idx) in enumerate(zip(fitted.jumps, fitted.jump_indices))
            ],
        })
        json.dump(result, out, indent=2)
        out.write("\n")
        return
    if "title" in extra:
        out.write(f"{extra['title']}\n")
    settings = f"p = {_number(fitted.p)}, gamma = {_number(fitted.gamma)}"
    if "score" in extra:
        settings += f" (chosen by {extra['folds']}-fold cross-validation, score "
        settings += f"{_number(extra['score'])})"
    out.write(f"{fitted.x.shape[0]} samples, {settings}\n")
    count = len(fitted.jumps)
    out.write(f"{count} jump{'s' if count != 1 else ''} found\n")
    if count == 0:
        return
    headers = ["location", "index"] + [f"size[{name}]" for name in names]
    table = [
        [_number(float(loc)), str(int(idx))] + [_number(float(s)) for s in sizes[k]]
        for k, (loc, idx) in enumerate(zip(fitted.jumps, fitted.jump_indices))
    ]
    widths = [max(len(h), *(len(row[i]) for row in table)) for i, h in enumerate(headers)]
    out.write("  ".join(h.rjust(w) for h, w in zip(headers, widths)) + "\n")
    for row in table:
        out.write("  ".join(c.rjust(w) for c, w in zip(row, widths)) + "\n")


def _write_fitted(fitted: Any, xname: str, names: list[str], path: str) -> None:
    values = np.asarray(fitted(fitted.x)).reshape(fitted.x.shape[0], -1)
    data = np.asarray(fitted.y).reshape(fitted.x.shape[0], -1)
    try:
        with open(path, "w", newline="", encoding="utf-8") as handle:
            writer = csv.writer(handle)
            writer.writerow([xname] + names + [f"{name}_fit" for name in names])
            for i, site in enumerate(fitted.x):
                writer.writerow([repr(float(site))] + [repr(float(v)) for v in data[i]]
                                + [repr(float(v)) for v in values[i]])
    except OSError as exc:
        raise UserError(f"{path}: {exc.strerror or exc}") from None


def _write_plot(fitted: Any, path: str, title: str, xlabel: str, ylabel: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise UserError(
            "--plot needs matplotlib; install it with: pip install 'vorn[plot]'"
        ) from None
    fig, ax = plt.subplots(figsize=(8.0, 4.2), dpi=110)
    fitted.plot(ax=ax)
    ax.set_title(title)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    fig.tight_layout()
    try:
        fig.savefig(path)
    except (OSError, ValueError) as exc:
        raise UserError(f"{path}: {getattr(exc, 'strerror', None) or exc}") from None
    finally:
        plt.close(fig)


# -- commands -------------------------------------------------------------------------------


def _cmd_fit(args: argparse.Namespace, stdin: IO[str], out: IO[str]) -> None:
    from . import _checks
    from ._fit import fit
    from ._select import select

    if args.auto and (args.p is not None or args.gamma is not None):
        raise UserError("give either --auto or --p and --gamma, not both")
    if not args.auto and (args.p is None or args.gamma is None):
        raise UserError("give --p and --gamma, or --auto")
    if args.x is not None and args.no_x:
        raise UserError("give either --x or --no-x, not both")
    for flag, value in (("--p", args.p), ("--gamma", args.gamma)):
        if value is not None and math.isnan(value):
            raise UserError(f"{flag} must be a number, got nan")
    if args.p is not None:
        _checks_call(_checks.check_p, args.p, "--p")
    if args.gamma is not None:
        _checks_call(_checks.check_gamma, args.gamma, "--gamma")

    header, records, lines = _read_csv(args.file, stdin)
    name = _display_name(args.file)
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
    x = _numbers(records, lines, header, xcol, name) if xcol is not None else None
    y = np.column_stack([_numbers(records, lines, header, col, name) for col in ycols])
    delta = _numbers(records, lines, header, dcol, name) if dcol is not None else None
    names = [header[i] for i in ycols]

    extra: dict[str, Any] = {}
    try:
        if args.auto:
            chosen = select(x, y, delta=delta, folds=args.folds, seed=args.seed,
                            n_jobs=args.jobs)
            fitted = chosen.fit
            extra = {"score": chosen.score, "folds": chosen.folds}
        else:
            fitted = fit(x, y, args.p, args.gamma, delta=delta, pruning=args.pruning)
    except (TypeError, ValueError) as exc:
        raise UserError(str(exc)) from None
    # Files first: a file that cannot be written leaves nothing half-reported on stdout.
    xname = header[xcol] if xcol is not None else "x"
    if args.out:
        _write_fitted(fitted, xname, names, args.out)
    if args.plot:
        _write_plot(fitted, args.plot, name, xname, ", ".join(names))
    _report(fitted, names, extra, args.json, out)


def _checks_call(check: Any, value: float, flag: str) -> None:
    try:
        check(value)
    except ValueError as exc:
        raise UserError(f"{flag}: {exc}") from None


def _cmd_demo(args: argparse.Namespace, out: IO[str]) -> None:
    from . import datasets
    from ._select import select

    years, flow, truth = datasets.nile()
    chosen = select(years, flow)
    fitted = chosen.fit
    title = "Annual flow of the Nile at Aswan, 1871-1970 (10^8 m^3)"
    extra = {"title": title, "score": chosen.score, "folds": chosen.folds,
             "known_change": float(truth[0])}
    _report(fitted, ["flow"], extra, args.json, out)
    if not args.json:
        out.write("The known change lies between 1898 and 1899 (the first Aswan dam was begun "
                  "in 1898).\n")
    if args.plot:
        _write_plot(fitted, args.plot, "Annual flow of the Nile at Aswan, 1871\u20131970",
                    "year", r"flow ($10^8\ \mathrm{m}^3$ per year)")
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
