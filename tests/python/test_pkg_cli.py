"""The command line, run as a separate process the way users run it."""

from __future__ import annotations

import csv
import io
import json
import shutil
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import vorn
from vorn import datasets


def run(*args, stdin=None, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "vorn", *args],
        input=stdin, capture_output=True, text=True, cwd=cwd, timeout=120,
    )


def _write(path: Path, header, rows):
    with open(path, "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(header)
        writer.writerows(rows)
    return path


@pytest.fixture(scope="module")
def step_csv(tmp_path_factory):
    x, y, _ = datasets.heavisine(n=120, noise=0.1, seed=2)
    path = tmp_path_factory.mktemp("cli") / "signal.csv"
    other = np.cos(x)
    _write(path, ["t", "value", "other"],
           [[repr(float(a)), repr(float(b)), repr(float(c))] for a, b, c in zip(x, y, other)])
    return path, x, y, other


def _assert_user_error(result, message):
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0] == message
    assert result.stdout == ""


def test_fit_prints_the_jumps(step_csv):
    path, x, y, _ = step_csv
    result = run("fit", str(path), "--y", "value", "--p", "0.99999", "--gamma", "1")
    assert result.returncode == 0, result.stderr
    f = vorn.fit(x, y, 0.99999, 1.0)
    lines = result.stdout.splitlines()
    assert lines[0] == "120 samples, p = 0.99999, gamma = 1"
    assert lines[1] == f"{len(f.jumps)} jumps found"
    assert lines[2].split() == ["location", "index", "size[value]"]
    rows = [line.split() for line in lines[3:]]
    assert len(rows) == len(f.jumps) == 2
    for row, loc, idx, size in zip(rows, f.jumps, f.jump_indices, f.jump_sizes):
        assert float(row[0]) == pytest.approx(loc, rel=1e-5)
        assert int(row[1]) == idx
        assert float(row[2]) == pytest.approx(size, rel=1e-5)


def test_fit_json_and_fitted_values(step_csv, tmp_path):
    path, x, y, other = step_csv
    out = tmp_path / "fitted.csv"
    result = run("fit", str(path), "--p", "0.99999", "--gamma", "1", "--json", "--out", str(out))
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    # Both value columns by default, sharing the jumps.
    f = vorn.fit(x, np.column_stack([y, other]), 0.99999, 1.0)
    assert data["columns"] == ["value", "other"]
    assert data["n"] == 120 and data["p"] == 0.99999 and data["gamma"] == 1.0
    assert len(data["jumps"]) == 2
    assert [j["location"] for j in data["jumps"]] == f.jumps.tolist()
    assert [j["index"] for j in data["jumps"]] == f.jump_indices.tolist()
    assert [j["size"] for j in data["jumps"]] == f.jump_sizes.tolist()
    table = np.genfromtxt(out, delimiter=",", names=True)
    assert table.dtype.names == ("t", "value", "other", "value_fit", "other_fit")
    np.testing.assert_array_equal(table["t"], f.x)
    np.testing.assert_array_equal(table["value"], y)
    fitted = f(f.x)
    np.testing.assert_array_equal(table["value_fit"], fitted[:, 0])
    np.testing.assert_array_equal(table["other_fit"], fitted[:, 1])


def test_fit_reads_stdin_with_missing_cells_and_delta():
    text = "x,y,sd\n1,0.0,1\n2,0.1,1\n3,,1\n4,0.05,2\n5,3.0,1\n6,3.1,1\n7,NA,1\n8,3.05,1\n"
    result = run("fit", "-", "--delta", "sd", "--p", "0.5", "--gamma", "0.5", "--json",
                 stdin=text)
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    f = vorn.fit([1, 2, 4, 5, 6, 8], [0.0, 0.1, 0.05, 3.0, 3.1, 3.05], 0.5, 0.5,
                 delta=[1, 1, 2, 1, 1, 1])
    assert data["n"] == 6
    assert [j["location"] for j in data["jumps"]] == f.jumps.tolist() == [4.5]


def test_fit_auto(step_csv):
    path, x, y, _ = step_csv
    result = run("fit", str(path), "--y", "value", "--auto", "--json")
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    s = vorn.select(x, y)
    assert (data["p"], data["gamma"], data["score"]) == (s.p, s.gamma, s.score)
    assert (data["criterion"], data["penalty"], data["bandwidth_samples"]) == (
        s.criterion, s.penalty, s.bandwidth_samples)
    assert [j["location"] for j in data["jumps"]] == s.fit.jumps.tolist()


def test_fit_auto_with_constant_segments(tmp_path):
    rng = np.random.default_rng(7)
    y = np.repeat(rng.choice([-1.0, 1.0], 12), 10) + 0.2 * rng.standard_normal(120)
    x = np.arange(120.0)
    path = _write(tmp_path / "steps.csv", ["t", "v"],
                  [[repr(float(a)), repr(float(b))] for a, b in zip(x, y)])
    s = vorn.select(x, y, segments="constant")
    data = json.loads(run("fit", str(path), "--auto", "--segments", "constant", "--json").stdout)
    assert (data["segments"], data["gamma"], data["p"]) == ("constant", s.gamma, None)
    assert [j["location"] for j in data["jumps"]] == s.fit.jumps.tolist()
    assert all(j["interval"] is None and j["significance"] is None for j in data["jumps"])
    text = run("fit", str(path), "--auto", "--segments", "constant").stdout.splitlines()
    assert text[0].startswith("120 samples, constant segments, gamma = ")
    assert text[1] == f"{s.fit.jumps.size} jumps found"


@pytest.mark.parametrize("flag, keyword", [("--bandwidth-samples", "bandwidth_samples"),
                                           ("--penalty", "penalty")])
def test_fit_auto_with_one_half_fixed(step_csv, flag, keyword):
    path, x, y, _ = step_csv
    result = run("fit", str(path), "--y", "value", "--auto", flag, "40", "--json")
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    s = vorn.select(x, y, **{keyword: 40.0})
    assert data[keyword] == 40.0
    assert (data["p"], data["gamma"]) == (s.p, s.gamma)
    assert [j["location"] for j in data["jumps"]] == s.fit.jumps.tolist()


def test_fit_auto_names_the_criterion(step_csv):
    path, x, y, _ = step_csv
    result = run("fit", str(path), "--y", "value", "--auto")
    assert result.returncode == 0, result.stderr
    s = vorn.select(x, y)
    assert f"(chosen by vorn.select: {s.criterion})" in result.stdout.splitlines()[0]
    assert "cross-validation" not in result.stdout


def test_fit_without_sites_uses_sample_numbers():
    result = run("fit", "-", "--p", "0.5", "--gamma", "0.5", "--json",
                 stdin="level\n0\n0.1\n0\n5\n5.1\n5\n")
    assert result.returncode == 0, result.stderr
    assert [j["location"] for j in json.loads(result.stdout)["jumps"]] == [3.5]
    both = run("fit", "-", "--no-x", "--p", "0.5", "--gamma", "0.5", "--json",
               stdin="a,b\n0,0\n0.1,0.1\n0,0\n5,5\n5.1,5.1\n5,5\n")
    assert json.loads(both.stdout)["columns"] == ["a", "b"]


def test_plot_is_written(step_csv, tmp_path):
    pytest.importorskip("matplotlib")
    path = step_csv[0]
    png = tmp_path / "fit.png"
    result = run("fit", str(path), "--y", "value", "--p", "0.99999", "--gamma", "1",
                 "--plot", str(png))
    assert result.returncode == 0, result.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    "args, stdin, message",
    [
        (["fit", "missing.csv", "--p", "0.5", "--gamma", "1"], None,
         "vorn fit: error: missing.csv: no such file"),
        (["fit", "-", "--p", "0.5", "--gamma", "1", "--y", "nope"], "a,b\n1,2\n2,3\n",
         "vorn fit: error: <stdin>: no column 'nope' (columns: a, b)"),
        (["fit", "-", "--p", "0.5", "--gamma", "1", "--x", "c"], "a,b\n1,2\n2,3\n",
         "vorn fit: error: <stdin>: no column 'c' (columns: a, b)"),
        (["fit", "-", "--p", "0.5", "--gamma", "1"], "a,b\n1,2\n2,3\n3,x7\n",
         "vorn fit: error: <stdin>, line 4, column 'b': 'x7' is not a number"),
        (["fit", "-", "--p", "0.5", "--gamma", "1"], "a,b\n\n1,2\n2,3\n3,4,5\n",
         "vorn fit: error: <stdin>, line 5: expected 2 fields, got 3 "
         "(separator ','; --delimiter sets another)"),
        (["fit", "-", "--p", "0.5", "--gamma", "1"], "",
         "vorn fit: error: <stdin>: empty file"),
        (["fit", "-", "--p", "0.5", "--gamma", "1"], "a,b\n",
         "vorn fit: error: <stdin>: no data rows after the header"),
        (["fit", "-", "--p", "0.5", "--gamma", "1"], "a,a\n1,2\n",
         "vorn fit: error: <stdin>, line 1: column 'a' appears twice "
         "(--no-header if the first row is data)"),
        (["fit", "-", "--p", "2", "--gamma", "1"], "a,b\n1,2\n2,3\n",
         "vorn fit: error: --p must lie in [0, 1], got 2.0"),
        (["fit", "-", "--p", "0.5", "--gamma", "-1"], "a,b\n1,2\n2,3\n",
         "vorn fit: error: --gamma must be >= 0, got -1.0"),
        (["fit", "-", "--p", "nan", "--gamma", "1"], "a,b\n1,2\n2,3\n",
         "vorn fit: error: --p must be a number, got nan"),
        (["fit", "-", "--p", "abc", "--gamma", "1"], "a,b\n1,2\n",
         "vorn fit: error: argument --p: invalid float value: 'abc'"),
        (["fit", "-", "--p", "0.5"], "a,b\n1,2\n",
         "vorn fit: error: give --p and --gamma, or --auto"),
        (["fit", "-", "--auto", "--gamma", "1"], "a,b\n1,2\n",
         "vorn fit: error: give either --auto or --p and --gamma, not both"),
        (["fit", "-", "--p", "0.5", "--gamma", "1"], "a,b\n1,2\n1,3\n",
         "vorn fit: error: need at least two distinct sites with finite values in y, "
         "got 1 (out of 2 rows)"),
        (["fit", "-", "--p", "0.5", "--gamma", "1", "--delta", "b"], "a,b\n1,2\n2,3\n",
         "vorn fit: error: <stdin>: no value column left (columns: a, b)"),
        (["fit", "-", "--p", "0.5", "--gamma", "1", "--y", "a"], "a,b\n1,2\n2,3\n",
         "vorn fit: error: column 'a' is already used for sites or delta"),
        (["fit", "-", "--p", "0.5", "--gamma", "1", "--penalty", "9"], "a,b\n1,2\n2,3\n",
         "vorn fit: error: --bandwidth-samples and --penalty need --auto"),
        (["fit", "-", "--auto", "--folds", "9"], "a,b\n1,2\n2,3\n3,4\n",
         "vorn: error: unrecognized arguments: --folds 9"),
        (["fit", "-", "--p", "0.5", "--gamma", "1", "--delta", "c"], "a,b,c\n1,2,1\n2,3,0\n",
         "vorn fit: error: <stdin>, line 3, column 'c': delta must be positive and finite, "
         "got '0'"),
        (["fit", "-", "--p", "0.5", "--gamma", "1", "--segments", "constant"], "a,b\n1,2\n2,3\n",
         "vorn fit: error: --segments constant needs --auto"),
        (["fit", "-", "--auto", "--segments", "constant", "--bandwidth-samples", "4"],
         "a,b\n1,2\n2,3\n", "vorn fit: error: --segments constant takes no --bandwidth-samples"),
        (["fit", "-", "--auto", "--segments", "constant", "--jumps", "j.csv"], "a,b\n1,2\n2,3\n",
         "vorn fit: error: --jumps needs smooth segments: intervals and evidence are measured "
         "for smooth fits only"),
        (["fit"], None, "vorn fit: error: the following arguments are required: FILE.csv"),
        ([], None, "vorn: error: choose a command, fit or demo (see vorn --help)"),
    ],
)
def test_user_errors_are_one_line_with_status_2(args, stdin, message, tmp_path):
    _assert_user_error(run(*args, stdin=stdin, cwd=tmp_path), message)


def test_unknown_command_is_one_line():
    result = run("frobnicate")
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert len(result.stderr.splitlines()) == 1
    assert result.stderr.startswith("vorn: error: argument COMMAND: invalid choice: 'frobnicate'")


def test_unwritable_output_is_a_user_error(step_csv, tmp_path):
    path = step_csv[0]
    target = tmp_path / "no" / "such" / "dir.csv"
    result = run("fit", str(path), "--p", "0.5", "--gamma", "1", "--out", str(target))
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert result.stderr.startswith(f"vorn fit: error: {target}: ")
    assert len(result.stderr.splitlines()) == 1 and result.stdout == ""


def test_demo_runs_and_reports_the_nile_change(tmp_path):
    pytest.importorskip("matplotlib")
    png = tmp_path / "demo.png"
    result = run("demo", "--plot", str(png))
    assert result.returncode == 0, result.stderr
    years, flow, truth = datasets.nile()
    s = vorn.select(years, flow)
    lines = result.stdout.splitlines()
    assert lines[0] == "Annual flow of the Nile at Aswan, 1871-1970 (10^8 m^3)"
    assert lines[1].startswith(f"100 samples, p = {s.p:.6g}, gamma = {s.gamma:.6g}")
    assert f"{len(s.fit.jumps)} jump" in lines[2]
    assert any(line.split()[:2] == [f"{loc:.6g}", str(idx)]
               for line in lines for loc, idx in zip(s.fit.jumps, s.fit.jump_indices))
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_demo_json_finds_the_drop_after_1898():
    result = run("demo", "--json")
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    locations = [j["location"] for j in data["jumps"]]
    assert data["known_change"] == 1898.5
    assert any(abs(loc - 1898.5) <= 1.0 for loc in locations)


def test_console_script_is_installed_when_the_package_is():
    script = Path(sys.executable).with_name("vorn")
    if not script.exists():
        script_path = shutil.which("vorn")
        if script_path is None:
            pytest.skip("the vorn console script is not installed in this environment")
        script = Path(script_path)
    result = subprocess.run([str(script), "--help"], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0
    assert "fit a CSV file and report the jumps found" in result.stdout


# -- in-process runs of the command line --------------------------------------------------------


@pytest.fixture(params=["pandas", "own"])
def cli(request, monkeypatch, capsys):
    """Runs the command line in this process: (status, stdout, stderr), with each CSV reader;
    any warning fails the run."""
    from vorn import _csv
    from vorn.cli import main

    if request.param == "pandas":
        pytest.importorskip("pandas")
    monkeypatch.setattr(_csv, "USE_PANDAS", request.param == "pandas")

    def invoke(*args, stdin=""):
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            try:
                status = main(list(args))
            except SystemExit as exc:  # argparse's own exits: --help, --version, usage errors
                status = exc.code
        out, err = capsys.readouterr()
        return status, out, err

    return invoke


def test_plain_files_are_read_by_pandas(monkeypatch, tmp_path):
    pytest.importorskip("pandas")
    from vorn import _csv

    def refuse(*args):
        raise AssertionError("read line by line")

    monkeypatch.setattr(_csv, "_slow", refuse)
    rows = "".join(f"{i},{i % 7 - 3.5!r},{'NA' if i % 5 == 0 else repr(i / 3)}\r\n"
                   for i in range(200))
    for text in ("t,a,b\r\n" + rows, "t,a,b,\n" + rows.replace("\r\n", ",\n"),
                 "# made by hand\n\nt;a;b\n" + rows.replace(",", ";")):
        table = _csv.load("-", io.StringIO(text), None, None, None, False, None, None)
        assert table.header == ["t", "a", "b"] and table.rows == 200
        np.testing.assert_array_equal(table.x, np.arange(200.0))
        assert np.isnan(table.y[::5, 1]).all() and np.isfinite(table.y[1::5]).all()


STEP_ROWS = "0,1\n1,1.1\n2,0.9\n3,5\n4,5.1\n5,4.9\n"


@pytest.mark.parametrize(
    "text, args",
    [
        (STEP_ROWS, []),
        (STEP_ROWS, ["--no-header"]),
        ("x,y\n" + STEP_ROWS, []),
        ("x,y\n" + STEP_ROWS, ["--header"]),
        ("# a comment\nx,y\n# another\n" + STEP_ROWS, []),
        (STEP_ROWS.replace(",", ";"), []),
        (STEP_ROWS.replace(",", "\t"), []),
        ("x\ty\n" + STEP_ROWS.replace(",", "\t"), ["--delimiter", "tab"]),
        (STEP_ROWS.replace(",", "|"), ["--delimiter", "|"]),
        ("  # indented comment\n" + STEP_ROWS.replace(",", ";"), ["--delimiter", ";"]),
    ],
)
def test_header_separator_and_comments_are_detected(cli, text, args):
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", "--json", *args,
                           stdin=text)
    assert status == 0, err
    data = json.loads(out)
    expected = vorn.fit([0, 1, 2, 3, 4, 5], [1, 1.1, 0.9, 5, 5.1, 4.9], 0.5, 1.0)
    assert data["n"] == data["rows"] == 6
    assert [j["location"] for j in data["jumps"]] == expected.jumps.tolist() == [2.5]
    assert data["columns"] == (["1"] if not text.startswith(("x", "#")) else ["y"])


def test_a_first_row_that_repeats_a_value_is_data(cli):
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", "--json",
                           stdin="1,1\n2,1\n3,5\n4,5\n")
    assert status == 0, err
    data = json.loads(out)
    assert data["n"] == 4 and data["columns"] == ["1"]
    assert [j["location"] for j in data["jumps"]] == [2.5]


def test_headerless_columns_are_named_from_zero(cli):
    status, out, err = cli("fit", "-", "--x", "1", "--y", "0", "--p", "0.5", "--gamma", "1",
                           "--json", stdin="1,0\n1.1,1\n5,2\n5.1,3\n")
    assert status == 0, err
    data = json.loads(out)
    assert data["columns"] == ["0"] and [j["location"] for j in data["jumps"]] == [1.5]


def test_forced_header_keeps_a_numeric_first_row_as_names(cli):
    status, out, err = cli("fit", "-", "--header", "--p", "0.5", "--gamma", "1", "--json",
                           stdin="10,20\n" + STEP_ROWS)
    assert status == 0, err
    data = json.loads(out)
    assert data["columns"] == ["20"] and data["n"] == 6


def test_out_has_one_row_per_input_row(cli, tmp_path):
    text = ("t,a,b\n1,0,0\n2,0.1,\n# comment\n3,NA,0.2\n4,0.05,0.1\n5,3,3\n6,3.1,3.2\n"
            "7,3.05,3\n8,,\n")
    out_path = tmp_path / "fitted.csv"
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "0.5", "--out", str(out_path),
                           stdin=text)
    assert status == 0, err
    assert out.splitlines()[0] == "5 samples from 8 rows, p = 0.5, gamma = 0.5"
    with open(out_path, newline="") as handle:
        rows = list(csv.reader(handle))
    assert rows[0] == ["t", "a", "b", "a_fit", "b_fit"]
    assert len(rows) == 1 + 8
    assert [row[0] for row in rows[1:]] == [repr(float(i)) for i in range(1, 9)]
    kept = [1, 4, 5, 6, 7]
    f = vorn.fit([1, 4, 5, 6, 7], [[0, 0], [0.05, 0.1], [3, 3], [3.1, 3.2], [3.05, 3]],
                 0.5, 0.5)
    fitted = f(np.array(kept, dtype=float))
    for k, site in enumerate(kept):
        assert rows[site][3:] == [repr(float(v)) for v in fitted[k]]
    for site in (2, 3, 8):
        assert rows[site][3:] == ["", ""]
    assert rows[2][1:3] == ["0.1", ""] and rows[3][1:3] == ["", "0.2"]


def test_out_without_sites_numbers_every_input_row(cli, tmp_path):
    out_path = tmp_path / "fitted.csv"
    status, _, err = cli("fit", "-", "--p", "0.5", "--gamma", "0.5", "--out", str(out_path),
                         stdin="level\n0\n\n0.1\nNA\n5\n5.1\n")
    assert status == 0, err
    table = np.genfromtxt(out_path, delimiter=",", names=True)
    np.testing.assert_array_equal(table["x"], [1, 2, 3, 4, 5])
    assert np.isnan(table["level_fit"][2]) and np.isfinite(table["level_fit"]).sum() == 4


def _strict(text):
    def refuse(constant):
        raise AssertionError(f"not JSON: {constant}")

    return json.loads(text, parse_constant=refuse)


def test_json_is_strict_and_writes_infinity_as_null(cli):
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "inf", "--json",
                           stdin="x,y\n1,0\n2,0\n3,5\n4,5\n")
    assert status == 0, err
    data = _strict(out)
    assert data["gamma"] is None and data["p"] == 0.5 and data["jumps"] == []


@pytest.mark.parametrize(
    "args, stdin, message",
    [
        (["--p", "0.5", "--gamma", "1"], "x,y\n1,0\n2,0\n,1\n4,5\n",
         "<stdin>, line 4, column 'x': empty cell in a row with values "
         "(every such row needs a site)"),
        (["--p", "0.5", "--gamma", "1"], "x,y\n1,0\n2,0\nNA,1\n4,5\n",
         "<stdin>, line 4, column 'x': missing value 'NA' in a row with values "
         "(every such row needs a site)"),
        (["--p", "0.5", "--gamma", "1"], "x,y\n1,0\n2,0\ninf,1\n4,5\n",
         "<stdin>, line 4, column 'x': a site must be a finite number, got 'inf'"),
        (["--p", "0.5", "--gamma", "1", "--delta", "sd"], "x,y,sd\n1,0,1\n2,0,\n4,5,1\n",
         "<stdin>, line 3, column 'sd': empty cell in a row with values "
         "(every such row needs a delta)"),
        (["--auto", "--penalty", "-1"], "x,y\n1,0\n2,0\n3,5\n4,5\n",
         "--penalty must be positive, got -1.0"),
        (["--auto", "--bandwidth-samples", "0"], "x,y\n1,0\n2,0\n3,5\n4,5\n",
         "--bandwidth-samples must be positive and finite, got 0.0"),
        (["--p", "0.5", "--gamma", "1", "--no-header"], "x,y\n1,0\n2,0\n",
         "<stdin>, line 1, column '0': 'x' is not a number"),
        (["--p", "0.5", "--gamma", "1", "--delimiter", ","], "a;b\n1;2\n2;3\n",
         "<stdin>, line 2, column 'a;b': '1;2' is not a number"),
        (["--p", "0.5", "--gamma", "1"], "a;b\n1;2\n2;3;4\n",
         "<stdin>, line 3: expected 2 fields, got 3 (separator ';'; --delimiter sets another)"),
    ],
)
def test_cli_errors_name_the_file_line_column_and_flag(cli, args, stdin, message):
    status, out, err = cli("fit", "-", *args, stdin=stdin)
    assert (status, out) == (2, "")
    assert err == f"vorn fit: error: {message}\n"


def test_bad_delimiter_is_a_usage_error(cli):
    status, _, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", "--delimiter", "ab")
    assert status == 2
    assert err == ("vorn fit: error: argument --delimiter: expected one separator character "
                   "or 'tab', got 'ab'\n")


def test_version(cli):
    status, out, _ = cli("--version")
    assert (status, out) == (0, f"vorn {vorn.__version__}\n")


@pytest.mark.parametrize("command", [[], ["fit"], ["demo"]])
def test_help_shows_examples(cli, command):
    status, out, _ = cli(*command, "--help")
    assert status == 0
    examples = out.split("examples:\n", 1)[1]
    runnable = [line.split()[:2] for line in examples.splitlines() if line.startswith("  vorn")]
    assert runnable and all(words[1] in ("fit", "demo") for words in runnable)
    if command:
        assert all(words[1] == command[0] for words in runnable)


DATED = ("day,level\n2024-01-01,0\n2024-01-02,0.1\n2024-01-03,\n2024-01-04,0\n2024-01-05,5\n"
         "2024-01-06,5.1\n2024-01-07,5\n")


@pytest.mark.parametrize("text", [DATED, DATED.split("\n", 1)[1]])
def test_a_date_column_gives_dated_jumps(cli, text, tmp_path):
    out_path = tmp_path / "fitted.csv"
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", "--json",
                           "--out", str(out_path), stdin=text)
    assert status == 0, err
    data = _strict(out)
    days = np.array(["2024-01-01", "2024-01-02", "2024-01-04", "2024-01-05", "2024-01-06",
                     "2024-01-07"], dtype="datetime64[D]")
    f = vorn.fit(days, [0, 0.1, 0, 5, 5.1, 5], 0.5, 1.0)
    assert data["site_unit"] == "days since 2024-01-01T00:00:00"
    assert [j["location"] for j in data["jumps"]] == ["2024-01-04T12:00:00.000"]
    assert [j["size"] for j in data["jumps"]] == [f.jump_sizes.tolist()]
    with open(out_path, newline="") as handle:
        rows = list(csv.reader(handle))
    assert [row[0] for row in rows[1:]] == [f"2024-01-0{d}" for d in range(1, 8)]
    assert rows[3][1:] == ["", ""]
    assert rows[5][2] == repr(float(f(np.datetime64("2024-01-05"))))


def test_a_date_column_with_something_else_in_it(cli):
    status, _, err = cli("fit", "-", "--p", "0.5", "--gamma", "1",
                         stdin="day,level\n2024-01-01,0\n2024-01-02,0.1\nyesterday,1\n")
    assert status == 2
    assert err == ("vorn fit: error: <stdin>, line 4, column 'day': 'yesterday' is not a date "
                   "like the column's first, '2024-01-01'\n")


def test_dated_text_report(cli):
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", stdin=DATED)
    assert status == 0, err
    lines = out.splitlines()
    assert lines[:3] == ["6 samples from 7 rows, p = 0.5, gamma = 1",
                         "sites in days since 2024-01-01T00:00:00", "1 jump found"]
    assert lines[4].split()[:2] == ["2024-01-04T12:00:00.000", "2"]


@pytest.mark.parametrize("text", [DATED, "t,a,b\n1,0,0\n2,0.1,1\n3,0,0\n4,5,5\n5,5.1,6\n6,5,5\n"])
def test_plot_of_dates_and_of_several_columns(cli, text, tmp_path, monkeypatch):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    legends = []
    monkeypatch.setattr(plt.Figure, "savefig", lambda fig, path, *a, **k: legends.append(
        [t.get_text() for t in fig.axes[0].get_legend().get_texts()]))
    status, _, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", "--plot",
                         str(tmp_path / "fit.png"), stdin=text)
    assert status == 0, err
    assert legends == [["data", "fit", "jump"] if text is DATED else ["a", "b", "jump"]]


ZONED = "".join(f"2024-01-01T{h:02d}:00+01:00,{v}\n"
                for h, v in enumerate([0.0, 0.1, -0.1, 0.05, 5.0, 5.1, 4.9, 5.0]))


def test_times_are_written_in_the_zone_they_were_read_in(cli, tmp_path):
    out_path = tmp_path / "fitted.csv"
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", "--out", str(out_path),
                           stdin="t,v\n" + ZONED)
    assert (status, err) == (0, "")
    lines = out.splitlines()
    assert lines[1] == "sites in hours since 2024-01-01T00:00:00+01:00"
    assert lines[4].split()[0] == "2024-01-01T03:30:00.000+01:00"
    with open(out_path, newline="") as handle:
        cells = [row[0] for row in csv.reader(handle)][1:]
    assert cells == [f"2024-01-01T{h:02d}:00+01:00" for h in range(8)]
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", "--json",
                           stdin="t,v\n" + ZONED)
    data = json.loads(out)
    assert data["jumps"][0]["location"] == "2024-01-01T03:30:00.000+01:00"
    assert data["site_unit"] == "hours since 2024-01-01T00:00:00+01:00"


def test_mixed_offsets_are_written_in_utc_with_a_note(cli):
    text = ("t,v\n2024-03-31T00:00+01:00,0\n2024-03-31T01:00+01:00,0.1\n"
            "2024-03-31T03:00+02:00,5\n2024-03-31T04:00+02:00,5.1\n")
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", stdin=text)
    assert status == 0
    assert err == ("vorn fit: note: the times in column 't' carry 2 UTC offsets (+01:00, "
                   "+02:00); times are written in UTC\n")
    lines = out.splitlines()
    assert lines[1] == "sites in hours since 2024-03-30T23:00:00Z"
    assert lines[4].split()[0] == "2024-03-31T00:30:00.000Z"


@pytest.mark.parametrize(
    "first, second, message",
    [
        ("2024-03-31T00:00", "2024-03-31T01:00+01:00",
         "'2024-03-31T01:00+01:00' has a UTC offset, unlike the column's first, "
         "'2024-03-31T00:00'"),
        ("2024-03-31T00:00Z", "2024-03-31T01:00",
         "'2024-03-31T01:00' has no UTC offset, unlike the column's first, "
         "'2024-03-31T00:00Z'"),
    ],
)
def test_times_with_and_without_offsets_do_not_mix(cli, first, second, message):
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1",
                           stdin=f"t,v\n{first},0\n{second},1\n")
    assert (status, out) == (2, "")
    assert err == f"vorn fit: error: <stdin>, line 3, column 't': {message}\n"


@pytest.mark.parametrize("ending", [",", ",,", ";"])
def test_a_separator_at_the_end_of_every_line_is_ignored(cli, ending):
    sep = ";" if ending == ";" else ","
    rows = STEP_ROWS.replace(",", sep).replace("\n", ending + "\n")
    for text in ("x" + sep + "y" + ending + "\n" + rows, rows):
        status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", "--json", stdin=text)
        assert status == 0, err
        data = json.loads(out)
        assert data["n"] == data["rows"] == 6 and len(data["columns"]) == 1
        assert [j["location"] for j in data["jumps"]] == [2.5]


def test_a_trailing_field_with_a_value_is_still_an_error(cli):
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1",
                           stdin="t,v,\n1,0,\n2,0,7\n3,5,\n")
    assert (status, out) == (2, "")
    assert err == ("vorn fit: error: <stdin>, line 3: expected 2 fields, got 3 (separator ','; "
                   "--delimiter sets another)\n")


def _missing_spellings():
    from vorn._csv import MISSING_TOKENS

    return [t for token in MISSING_TOKENS[1:] for t in {token, token.upper(), token.lower()}]


@pytest.mark.parametrize("token", _missing_spellings())
def test_pandas_missing_markers_are_missing_values(cli, token):
    text = f"t,v\n1,0\n2,{token}\n3,0.1\n4,5\n5,{token}\n6,5.1\n"
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", "--json", stdin=text)
    assert status == 0, err
    data = json.loads(out)
    assert (data["n"], data["rows"]) == (4, 6)
    assert [j["location"] for j in data["jumps"]] == [3.5]


@pytest.mark.parametrize("token", ["-", "?", ".", "NaT", "missing"])
def test_other_markers_are_refused(cli, token):
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1",
                           stdin=f"t,v\n1,0\n2,{token}\n3,1\n")
    assert (status, out) == (2, "")
    assert err == f"vorn fit: error: <stdin>, line 3, column 'v': {token!r} is not a number\n"


def test_infinite_values_leave_their_row_out_like_the_library(cli):
    text = "t,v\n1,0\n2,inf\n3,0.1\n4,5\n5,-Infinity\n6,5.1\n"
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", "--json", stdin=text)
    assert status == 0, err
    data = json.loads(out)
    expected = vorn.fit([1, 2, 3, 4, 5, 6], [0, np.inf, 0.1, 5, -np.inf, 5.1], 0.5, 1.0)
    assert (data["n"], data["rows"]) == (expected.x.size, 6) == (4, 6)
    assert [j["location"] for j in data["jumps"]] == expected.jumps.tolist()


def test_help_lists_the_missing_markers_and_says_what_inf_does(cli):
    from vorn._csv import MISSING_TOKENS

    status, out, _ = cli("fit", "--help")
    text = " ".join(out.split())
    assert status == 0
    assert ("Missing values are empty cells and pandas' markers, in any case: "
            + ", ".join(MISSING_TOKENS[1:]) + ".") in text
    assert ("so is a row with inf or -inf there, as vorn.fit leaves out infinite values"
            in text)


def test_a_reader_that_goes_away_ends_the_run_quietly(step_csv, tmp_path):
    # As `vorn fit ... | head -1` does once it has its line.
    path, _, _, _ = step_csv
    process = subprocess.Popen(
        [sys.executable, "-m", "vorn", "fit", str(path), "--p", "0.99999", "--gamma", "1"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    process.stdout.close()
    _, err = process.communicate(timeout=120)
    assert (process.returncode, err) == (0, b"")


def test_integer_sites_that_float64_would_merge_are_refused(cli):
    stamps = [1_700_000_000_000_000_000 + 100 * k for k in range(6)]
    rows = "".join(f"{t},{v}\n" for t, v in zip(stamps, [0, 0.1, 0, 5, 5.1, 5]))
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", stdin="t,v\n" + rows)
    assert (status, out) == (2, "")
    assert err == ("vorn fit: error: <stdin>, column 't': 6 distinct integer sites, but float64 "
                   "keeps only 3 of them apart; write them as ISO times "
                   "(2024-01-31T12:00:00.000000001) or as offsets from the first site\n")
    # Integers as large but far apart stay distinct in float64, and fit.
    spaced = "".join(f"{k * 10**21},{v}\n" for k, v in enumerate([0, 0.1, 0, 5, 5.1, 5]))
    status, out, err = cli("fit", "-", "--p", "0.5", "--gamma", "1", stdin="t,v\n" + spaced)
    assert status == 0, err
    assert out.splitlines()[0] == "6 samples, p = 0.5, gamma = 1"
