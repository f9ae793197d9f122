"""Constant segments: the engine's search against brute force over all partitions, the Fit it
makes, and the messages of the `segments` keyword."""

from __future__ import annotations

import itertools
import math
import signal

import numpy as np
import pytest

import vorn
from conftest import interrupt_latency
from vorn import _engine
from vorn._scoring import fit_arrays


def _energy(y, w):
    mean = (w[:, None] * y).sum(axis=0) / w.sum()
    return float((w[:, None] * (y - mean) ** 2).sum()), mean


def _brute_force(y, w, gamma):
    """Least cost over every partition whose segments after the first hold two samples or
    more (the first may be sample 0 alone), as every search of the package allows."""
    n = y.shape[0]
    best = math.inf
    for cuts in itertools.product((False, True), repeat=n - 1):
        starts = [0] + [i + 1 for i in range(n - 1) if cuts[i]]
        ends = starts[1:] + [n]
        if any(b - a < 2 for a, b in zip(starts[1:], ends[1:])):
            continue
        cost = gamma * (len(starts) - 1)
        cost += sum(_energy(y[a:b], w[a:b])[0] for a, b in zip(starts, ends))
        best = min(best, cost)
    return best


@pytest.mark.parametrize("seed", range(40))
def test_constant_fit_arrays_find_the_brute_force_optimum(seed):
    rng = np.random.default_rng(seed)
    n, d = 3 + seed % 7, 1 + seed % 2
    x = np.sort(rng.uniform(0.0, 10.0, n))
    levels = np.cumsum(rng.choice([0.0, 0.0, 3.0, -3.0], size=(n, 1)), axis=0)
    y = np.round(levels + rng.standard_normal((n, d)), 1 if seed % 3 else 0)
    delta = rng.uniform(0.5, 2.0, n)
    w = 1.0 / delta**2
    gamma = float(rng.uniform(0.0, 8.0))
    got = fit_arrays(x, y, delta, 0.7, gamma, segments="constant")
    starts = [0] + [int(i) + 1 for i in got.jump_idx] + [n]
    cost = gamma * got.jump_idx.size
    for k, (a, b) in enumerate(zip(starts[:-1], starts[1:])):
        energy, mean = _energy(y[a:b], w[a:b])
        cost += energy
        np.testing.assert_allclose(got.coefs[k, :, 3], mean, rtol=1e-12, atol=1e-12)
        assert not got.coefs[k, :, :3].any()
        if k > 0:
            assert b - a >= 2
    assert cost == pytest.approx(_brute_force(y, w, gamma), rel=1e-10, abs=1e-10)
    after = np.array(starts[1:-1], dtype=np.intp)
    np.testing.assert_array_equal(got.jumps, (x[after] + x[after - 1]) * 0.5)


def test_linear_segments_are_p_zero_bit_for_bit():
    rng = np.random.default_rng(5)
    x = np.sort(rng.uniform(0.0, 50.0, 200))
    y = (np.where(x > 25.0, 3.0, 0.0) + 0.1 * x + 0.3 * rng.standard_normal(200))[:, None]
    delta = rng.uniform(0.5, 1.5, 200)
    lines = fit_arrays(x, y, delta, 0.9, 2.0, segments="linear")
    p_zero = fit_arrays(x, y, delta, 0.0, 2.0)
    for a, b in zip(lines, p_zero):
        np.testing.assert_array_equal(a, b)
    f = vorn.fit(x, y[:, 0], gamma=2.0, delta=delta, segments="linear")
    g = vorn.fit(x, y[:, 0], 0.0, 2.0, delta=delta)
    np.testing.assert_array_equal(f.coefs, g.coefs)
    assert f.segment_model == "linear" and repr(f).startswith("Fit(n=200, dim=1, segments='linear'")


def test_a_constant_fit_is_its_segment_means_everywhere():
    rng = np.random.default_rng(8)
    # Repeated sites are merged by weighted means first; the levels are the weighted means of
    # the merged samples, the jumps halfway between segments, the derivatives zero.
    x = np.r_[np.arange(60.0), np.arange(0.0, 60.0, 6.0)]
    truth = np.where(x < 20, 0.0, np.where(x < 41, 5.0, -2.0))
    y = np.column_stack([truth, 2.0 * truth]) + 0.2 * rng.standard_normal((70, 2))
    delta = rng.uniform(0.5, 2.0, 70)
    f = vorn.fit(x, y, gamma=20.0, delta=delta, segments="constant")
    np.testing.assert_array_equal(f.jumps, [19.5, 40.5])
    w = 1.0 / delta**2
    sites = np.unique(x)
    merged = np.array([(w[x == s][:, None] * y[x == s]).sum(0) / w[x == s].sum() for s in sites])
    mw = np.array([w[x == s].sum() for s in sites])
    means = [(mw[s, None] * merged[s]).sum(0) / mw[s].sum()
             for s in (slice(0, 20), slice(20, 41), slice(41, 60))]
    for seg, mean in zip(f.segments, means):
        np.testing.assert_allclose(f(f.x[seg]), np.tile(mean, (len(seg), 1)), rtol=1e-12)
    np.testing.assert_allclose(f.jump_sizes, [means[1] - means[0], means[2] - means[1]],
                               rtol=1e-12)
    np.testing.assert_array_equal(f([-100.0, 1e6], nu=1), np.zeros((2, 2)))
    np.testing.assert_allclose(f([-100.0, 1e6]), [means[0], means[2]], rtol=1e-12)
    assert math.isnan(f.p) and f.gamma == 20.0
    assert repr(f) == "Fit(n=60, dim=2, segments='constant', gamma=20.0, jumps=[19.5, 40.5])"


def test_constant_fits_on_datetimes_and_with_a_penalty():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(2)
    t = pd.date_range("2024-03-01", periods=120, freq="h")
    y = np.r_[np.zeros(60), np.full(60, 4.0)] + rng.standard_normal(120)
    f = vorn.fit(t, y, penalty=12.0, segments="constant")
    assert list(f.jumps) == [pd.Timestamp("2024-03-03 11:30")]
    # The penalty is counted in the same noise variances as for straight lines (p = 0).
    lines = vorn.fit(t, y, penalty=12.0, segments="linear")
    assert f.gamma == lines.gamma


@pytest.mark.parametrize("kwargs, exc, message", [
    (dict(gamma=1.0, segments="step"), ValueError,
     "segments must be 'smooth', 'linear' or 'constant'"),
    (dict(gamma=1.0, segments=None), ValueError,
     "segments must be 'smooth', 'linear' or 'constant'"),
    (dict(p=0.5, gamma=1.0, segments="constant"), ValueError,
     "segments='constant' takes no p, got p=0.5"),
    (dict(p=0.0, gamma=1.0, segments="constant"), ValueError,
     "segments='constant' takes no p, got p=0.0"),
    (dict(p=0.5, gamma=1.0, segments="linear"), ValueError,
     "segments='linear' fits straight lines (p = 0), got p=0.5"),
    (dict(bandwidth_samples=4.0, gamma=1.0, segments="constant"), ValueError,
     "segments='constant' takes no bandwidth"),
    (dict(bandwidth=4.0, gamma=1.0, segments="linear"), ValueError,
     "segments='linear' takes no bandwidth"),
    (dict(segments="constant"), ValueError, "give exactly one of gamma and penalty"),
    (dict(gamma=-1.0, segments="constant"), ValueError, "gamma must be >= 0, got -1.0"),
])
def test_segments_messages(kwargs, exc, message):
    with pytest.raises(exc) as caught:
        vorn.fit(None, np.arange(10.0), **kwargs)
    assert str(caught.value) == message


def test_fit_arrays_refuses_an_unknown_model():
    x = np.arange(5.0)
    with pytest.raises(ValueError) as caught:
        fit_arrays(x, x[:, None], np.ones(5), 0.5, 1.0, segments="flat")
    assert str(caught.value) == "segments must be 'smooth', 'linear' or 'constant'"


def test_what_a_constant_fit_cannot_report_says_so():
    f = vorn.fit(None, np.r_[np.zeros(10), np.ones(10)], gamma=0.5, segments="constant")
    message = "jump intervals and evidence are not available for constant segments"
    for ask in (f.jump_intervals, lambda: f.jump_evidence, f.jump_table):
        with pytest.raises(NotImplementedError) as caught:
            ask()
        assert str(caught.value) == message
    with pytest.raises(NotImplementedError) as caught:
        f.raw
    assert str(caught.value) == ("the extension has no constant segments: a constant fit has "
                                 "no raw dictionary")


@pytest.mark.parametrize("x, y, w, gamma, message", [
    (np.arange(3.0), np.zeros((3, 1)), np.ones(3), -0.5, "gamma must satisfy 0 <= gamma, got -0.5"),
    (np.arange(1.0), np.zeros((1, 1)), np.ones(1), 1.0, "prepared samples need at least two sites"),
    (np.array([0.0, 2.0, 1.0]), np.zeros((3, 1)), np.ones(3), 1.0,
     "prepared x must be finite and strictly ascending"),
    (np.arange(3.0), np.zeros((3, 1)), np.array([1.0, 0.0, 1.0]), 1.0,
     "prepared w must be positive and finite"),
    (np.arange(3.0), np.zeros((2, 1)), np.ones(3), 1.0,
     "prepared x, y and w must have one entry per site"),
])
def test_engine_fit_constant_refuses_what_prepare_cannot_return(x, y, w, gamma, message):
    with pytest.raises(ValueError) as caught:
        _engine.fit_constant(x, y, w, gamma)
    assert str(caught.value) == message


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs POSIX signals")
def test_ctrl_c_interrupts_a_long_constant_fit():
    # Three columns of noise without jumps keep many starts alive: a long search.
    n = 400_000
    y = np.random.default_rng(0).standard_normal((n, 3))
    x, w = np.arange(float(n)), np.ones(n)
    latency = interrupt_latency(lambda: _engine.fit_constant(x, y, w, 50.0))
    assert latency < 1.0
    assert _engine.fit_constant(x[:50], y[:50], w[:50], 1.0)["x"].size == 50


def test_a_constant_fit_plots_its_levels_without_intervals():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    f = vorn.fit(None, np.r_[np.zeros(10), np.full(10, 3.0)], gamma=0.5, segments="constant")
    ax = f.plot()
    try:
        drawn = np.concatenate([line.get_ydata() for line in ax.lines if line.get_label() == "fit"
                                or line.get_label().startswith("_child")])
        assert set(np.unique(drawn)) <= {0.0, 3.0}
        assert not ax.patches  # no interval shading
    finally:
        plt.close(ax.figure)
