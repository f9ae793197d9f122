"""Every output bit of a seeded corpus of fits stays what it was.

Optimisations of the core must not change a single result bit: not the costs `F`, not the back
pointers, not the joined form, not the work counter. data/golden.npz holds the inputs and the
outputs of the corpus built by make_golden.py; this test recomputes them and compares the raw
bits (so 0.0 and -0.0 differ, and a NaN must keep its payload). A deliberate change of results
regenerates the file with `python tests/python/make_golden.py` and says so in its commit.

The bits depend on the C library's `hypot`, `pow` and `sqrt`; the file was written with the
glibc of the project's machines.
"""

from __future__ import annotations

import importlib.util
import math
from pathlib import Path

import numpy as np
import pytest

_HERE = Path(__file__).resolve().parent
_spec = importlib.util.spec_from_file_location("make_golden", _HERE / "make_golden.py")
make_golden = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make_golden)

core = pytest.importorskip("_vorn_core")

CASES = make_golden.load_golden()


def bitwise_mismatch(name: str, expected: np.ndarray, actual: np.ndarray):
    """None when both arrays are identical bit for bit, else a description of the first
    difference."""
    expected = np.asarray(expected)
    actual = np.asarray(actual)
    if expected.dtype != actual.dtype:
        return f"{name}: dtype {actual.dtype}, expected {expected.dtype}"
    if expected.shape != actual.shape:
        return f"{name}: shape {actual.shape}, expected {expected.shape}"
    item = expected.dtype.itemsize
    e = np.frombuffer(np.ascontiguousarray(expected).tobytes(), np.uint8).reshape(-1, item)
    a = np.frombuffer(np.ascontiguousarray(actual).tobytes(), np.uint8).reshape(-1, item)
    differ = np.flatnonzero((e != a).any(axis=1))
    if differ.size == 0:
        return None
    i = int(differ[0])
    ev, av = expected.reshape(-1)[i], actual.reshape(-1)[i]
    if expected.dtype == np.float64:
        ev, av = float(ev).hex(), float(av).hex()
    return (f"{name}: {differ.size} of {expected.size} entries differ; first at flat index {i}: "
            f"got {av}, expected {ev}")


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_results_unchanged_bit_for_bit(case):
    actual = make_golden.run_case(core, case)
    expected = case["expected"]
    assert sorted(actual) == sorted(expected)
    problems = [bitwise_mismatch(key, expected[key], actual[key]) for key in sorted(expected)]
    problems = [p for p in problems if p is not None]
    assert not problems, "\n".join(problems)


def test_comparison_sees_one_ulp_and_the_sign_of_zero():
    a = np.array([1.0, 0.0, 2.5])
    assert bitwise_mismatch("a", a, a.copy()) is None
    b = a.copy()
    b[2] = np.nextafter(2.5, 3.0)
    assert "flat index 2" in bitwise_mismatch("a", a, b)
    c = a.copy()
    c[1] = -0.0
    assert "flat index 1" in bitwise_mismatch("a", a, c)
    assert "shape" in bitwise_mismatch("a", a, a[:2])
    assert "dtype" in bitwise_mismatch("a", a, a.astype(np.float32))
    i = np.array([1, 2, 3], dtype=np.int64)
    assert "flat index 0" in bitwise_mismatch("i", i, np.array([0, 2, 3], dtype=np.int64))


def test_corpus_exercises_what_it_pins():
    names = [c["name"] for c in CASES]
    by_name = {c["name"]: c for c in CASES}

    def jumps(case):
        return case["expected"]["discont"].size

    for pruning in ("FPVI", "PELT"):
        grid = [c for c in CASES if c["name"].startswith(pruning + "-")]
        assert {c["y"].shape[1] for c in grid} == {1, 3}
        assert {c["precondition"] for c in grid} == {"none", "local"}
        # Most cases of the grid must find jumps, or the back pointers would pin little.
        assert sum(jumps(c) > 0 for c in grid) >= len(grid) * 2 // 3
    assert any(c["p"] == 0.0 and jumps(c) > 0 for c in CASES)
    assert any(c["p"] == 1.0 for c in CASES)
    assert any(math.isinf(c["gamma"]) for c in CASES)
    unsorted = [c for c in CASES if "unsorted" in c["name"]]
    assert unsorted and all(np.any(np.diff(c["x"]) < 0) for c in unsorted)
    dup = [c for c in CASES if "dup" in c["name"]]
    # Merging shows as fewer prepared samples than input rows.
    assert dup and all(c["expected"]["F"].size < c["y"].shape[0] for c in dup)
    assert any(np.isnan(c["y"]).any() for c in CASES)
    assert {"cv-FPVI", "cv-PELT"} <= set(names)
    assert np.isfinite(by_name["cv-FPVI"]["expected"]["cvscore"][0])
