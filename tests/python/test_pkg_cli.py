"""The command line, run as a separate process the way users run it."""

from __future__ import annotations

import csv
import json
import shutil
import subprocess
import sys
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
    result = run("fit", str(path), "--y", "value", "--auto", "--folds", "5", "--json")
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    s = vorn.select(x, y, folds=5)
    assert (data["p"], data["gamma"], data["score"]) == (s.p, s.gamma, s.score)
    assert [j["location"] for j in data["jumps"]] == s.fit.jumps.tolist()


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
         "vorn fit: error: <stdin>, line 5: expected 2 fields, got 3"),
        (["fit", "-", "--p", "0.5", "--gamma", "1"], "",
         "vorn fit: error: <stdin>: empty file, expected a header row"),
        (["fit", "-", "--p", "0.5", "--gamma", "1"], "a,b\n",
         "vorn fit: error: <stdin>: no data rows after the header"),
        (["fit", "-", "--p", "0.5", "--gamma", "1"], "a,a\n1,2\n",
         "vorn fit: error: <stdin>, line 1: column 'a' appears twice"),
        (["fit", "-", "--p", "2", "--gamma", "1"], "a,b\n1,2\n2,3\n",
         "vorn fit: error: --p: p must lie in [0, 1], got 2.0"),
        (["fit", "-", "--p", "0.5", "--gamma", "-1"], "a,b\n1,2\n2,3\n",
         "vorn fit: error: --gamma: gamma must be >= 0, got -1.0"),
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
        (["fit", "-", "--auto", "--folds", "9"], "a,b\n1,2\n2,3\n3,4\n",
         "vorn fit: error: folds must lie between 2 and the number of samples (3), got 9"),
        (["fit", "-", "--p", "0.5", "--gamma", "1", "--delta", "c"], "a,b,c\n1,2,1\n2,3,0\n",
         "vorn fit: error: delta must be positive and finite, got delta[1] = 0.0"),
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
