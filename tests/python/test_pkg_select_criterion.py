"""vorn.select's information criterion, fixed halves of the choice, dates and Ctrl-C."""

from __future__ import annotations

import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorn
from vorn import datasets
from vorn._scoring import effective_dof, fit_arrays
from vorn._search import jump_heights, predict



def _exact_dof(length, bandwidth):
    """Trace of the smoother: fit the identity's columns without jumps, read the diagonal."""
    x = np.arange(float(length))
    p = 1.0 / (1.0 + bandwidth**4)
    fitted = fit_arrays(x, np.eye(length), np.ones(length), p, math.inf)
    return float(np.trace(predict(fitted, x)))


@pytest.mark.parametrize("length", [10, 40, 200])
@pytest.mark.parametrize("bandwidth", [1.0, 2.0, 8.0, 32.0])
def test_effective_dof_matches_the_trace_of_the_smoother(length, bandwidth):
    exact = _exact_dof(length, bandwidth)
    approx = float(effective_dof(np.array([length]), bandwidth)[0])
    assert approx == pytest.approx(exact, abs=0.45, rel=0.12)
    assert 2.0 <= exact <= length


def test_jump_heights_are_the_one_sided_limits():
    x = np.arange(60.0)
    y = np.where(x < 30, 0.0, 5.0)[:, None] * np.array([1.0, -2.0])
    fitted = fit_arrays(x, y, np.ones(60), 0.5, 1.0)
    assert fitted.jump_idx.tolist() == [29]
    assert jump_heights(fitted) == pytest.approx([10.0], abs=1e-6)


# -- the Nile, the demo's series -------------------------------------------------------------

def test_nile_has_its_1898_drop_and_nothing_else():
    years, flow, truth = datasets.nile()
    s = vorn.select(years, flow)
    assert s.fit.jumps.tolist() == [1898.5] == truth.tolist()
    assert s.fit.jump_sizes[0] < -200  # the flow fell by about a fifth
    assert "information criterion" in s.criterion


# -- fixed halves of the choice --------------------------------------------------------------

@pytest.mark.parametrize("gamma", [0.0, 0.2, math.inf])
def test_a_given_gamma_is_kept_and_only_the_smoothing_chosen(gamma):
    x, y, _ = datasets.heavisine(n=120, noise=0.2, seed=3)
    s = vorn.select(x, y, gamma=gamma)
    assert s.gamma == gamma and s.fit.gamma == gamma
    direct = vorn.fit(x, y, s.p, gamma)
    np.testing.assert_array_equal(s.fit.jumps, direct.jumps)
    if gamma == math.inf:
        assert s.fit.jumps.size == 0
    if gamma == 0.0:
        assert s.fit.jumps.size > 10  # free jumps cut wherever they lower the energy


def test_zero_dimensional_arrays_count_as_numbers():
    x, y, _ = datasets.heavisine(n=120, noise=0.2, seed=3)
    a = vorn.select(x, y, p=np.array(0.999), gamma=np.array(0.5))
    b = vorn.select(x, y, p=0.999, gamma=0.5)
    assert (a.p, a.gamma) == (b.p, b.gamma) == (0.999, 0.5)
    np.testing.assert_array_equal(a.fit.jumps, b.fit.jumps)


def test_zero_dimensional_arrays_are_candidates_of_cross_validation():
    x, y, _ = datasets.heavisine(n=60, noise=0.2, seed=3)
    a = vorn.select(x, y, method="cv", folds=3, p=np.array(0.999), gamma=np.array(0.5))
    assert (a.p, a.gamma) == (0.999, 0.5)
    assert a.table["p"].tolist() == [0.999] and a.table["gamma"].tolist() == [0.5]


@pytest.mark.parametrize("pruning", ["PELT", "fpvi"])
def test_pruning_reaches_the_final_fit(pruning):
    x, y, _ = datasets.heavisine(n=120, noise=0.2, seed=3)
    s = vorn.select(x, y, pruning=pruning)
    assert s.fit.pruning == pruning.upper()
    np.testing.assert_array_equal(s.fit.jumps, vorn.select(x, y).fit.jumps)


def test_bad_pruning_is_refused():
    with pytest.raises(ValueError, match=r"^pruning must be 'DOMINANCE', 'PELT' or 'FPVI', got 'fast'$"):
        vorn.select(None, np.arange(20.0), pruning="fast")


# -- datetime sites ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def daily():
    days = np.arange("2021-01-01", "2021-09-01", dtype="datetime64[D]")
    rng = np.random.default_rng(4)
    level = np.where(days < np.datetime64("2021-05-10"), 0.0, 3.0)
    return days, level + np.sin(np.arange(days.size) / 20.0) + 0.4 * rng.standard_normal(
        days.size)


def test_select_on_dates_reports_dates(daily):
    days, y = daily
    s = vorn.select(days, y)
    numeric = vorn.select(np.arange(days.size, dtype=float), y)
    assert s.fit.site_unit == "days since 2021-01-01T00:00:00"
    assert s.fit.jumps.dtype.kind == "M"
    assert s.fit.jumps.tolist() == [np.datetime64("2021-05-09T12:00", "ms").tolist()]
    offsets = (s.fit.jumps - np.datetime64("2021-01-01")) / np.timedelta64(1, "D")
    np.testing.assert_allclose(offsets, numeric.fit.jumps)
    assert s.bandwidth_samples == numeric.bandwidth_samples


def test_a_timedelta_bandwidth_is_one_in_days(daily):
    days, y = daily
    by_time = vorn.select(days, y, bandwidth=np.timedelta64(6, "D"))
    by_days = vorn.select(np.arange(days.size, dtype=float), y, bandwidth=6.0)
    assert by_time.bandwidth_samples == by_days.bandwidth_samples == pytest.approx(6.0)
    assert by_time.p == by_days.p
    with pytest.raises(TypeError, match="^bandwidth must be a timedelta for datetime sites, "
                                        "got float$"):
        vorn.select(days, y, bandwidth=6.0)


# -- Ctrl-C -----------------------------------------------------------------------------------

_INTERRUPTED = textwrap.dedent("""
    import os, signal, subprocess, sys, threading, time
    import numpy as np
    import vorn

    rng = np.random.default_rng(0)
    n = 400000  # several seconds of fits in two threads
    x = np.sort(rng.uniform(0, n, n))
    y = np.sin(x / 300.0) + 0.3 * rng.standard_normal(n)
    # A child process sends SIGINT while the choice runs (the fits may hold the interpreter).
    subprocess.Popen([sys.executable, "-c",
                      "import os, signal, time; time.sleep(0.5); os.kill(%d, signal.SIGINT)"
                      % os.getpid()])
    start = time.monotonic()
    try:
        vorn.select(x, y, progress=False)
    except KeyboardInterrupt:
        print("interrupted", round(time.monotonic() - start, 2), threading.active_count())
    else:
        print("finished", round(time.monotonic() - start, 2), threading.active_count())
""")


def test_ctrl_c_stops_select_and_leaves_no_thread():
    result = subprocess.run([sys.executable, "-c", _INTERRUPTED], capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    word, seconds, threads = result.stdout.split()
    assert word == "interrupted" and float(seconds) < 20.0
    assert int(threads) == 1
