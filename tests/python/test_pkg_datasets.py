"""The embedded sample data: the Nile series and the seeded synthetic signals."""

from __future__ import annotations

import numpy as np
import pytest

from vorn import datasets


def test_nile_values():
    years, flow, jumps = datasets.nile()
    assert years.shape == flow.shape == (100,)
    assert years[0] == 1871 and years[-1] == 1970 and np.all(np.diff(years) == 1)
    assert flow.sum() == 91935  # mean 919.35
    before, after = flow[years <= 1898], flow[years >= 1899]
    assert before.size == 28
    assert before.mean() == pytest.approx(1097.75)
    assert after.mean() == pytest.approx(849.9722, abs=1e-4)
    # The driest year of the record is 1913.
    assert years[np.argmin(flow)] == 1913 and flow.min() == 456
    assert flow.max() == 1370 and years[np.argmax(flow)] == 1879
    np.testing.assert_array_equal(jumps, [1898.5])
    assert flow.dtype == np.float64 and years.dtype == np.float64


def test_nile_is_a_fresh_copy():
    a = datasets.nile()
    a.y[0] = -1.0
    assert datasets.nile().y[0] == 1120.0


def test_heavisine_without_noise_is_the_formula():
    x, y, jumps = datasets.heavisine(n=100, noise=0.0)
    np.testing.assert_allclose(x, (np.arange(100) + 0.5) / 100)
    t = x
    np.testing.assert_allclose(y, 4 * np.sin(4 * np.pi * t) - np.sign(t - 0.3) - np.sign(0.72 - t))
    np.testing.assert_array_equal(jumps, [0.3, 0.72])
    # Jump sizes -2 and +2, seen between the samples either side of each jump.
    for loc, size in zip(jumps, (-2.0, 2.0)):
        i = np.searchsorted(x, loc)
        smooth = 4 * np.sin(4 * np.pi * x[i]) - 4 * np.sin(4 * np.pi * x[i - 1])
        assert y[i] - y[i - 1] - smooth == pytest.approx(size)


@pytest.mark.parametrize("make", [datasets.heavisine, datasets.blocks_trend])
def test_synthetic_signals_are_seeded(make):
    a = make(n=64, noise=0.5, seed=4)
    b = make(n=64, noise=0.5, seed=4)
    c = make(n=64, noise=0.5, seed=5)
    np.testing.assert_array_equal(a.y, b.y)
    assert not np.array_equal(a.y, c.y)
    clean = make(n=64, noise=0.0)
    residual = a.y - clean.y
    assert 0.3 < residual.std() < 0.7
    assert a.x.shape == a.y.shape == (64,)


def test_blocks_trend_jumps_and_levels():
    x, y, jumps = datasets.blocks_trend(n=1000, noise=0.0)
    np.testing.assert_array_equal(jumps, [0.13, 0.27, 0.46, 0.62, 0.81])
    trend = 2 * x + 0.5 * np.sin(2 * np.pi * x)
    levels = y - trend
    steps = np.flatnonzero(np.abs(np.diff(levels)) > 1e-9)
    assert np.all(x[steps] < jumps) and np.all(jumps < x[steps + 1])
    np.testing.assert_allclose(np.diff(levels)[steps], [2.5, -3.5, 2.5, -3.5, 3.0])


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"n": 4}, "n must be an integer >= 8, got 4"),
        ({"n": 10.0}, "n must be an integer >= 8, got 10.0"),
        ({"noise": -1.0}, "noise must be >= 0, got -1.0"),
        ({"noise": float("nan")}, "noise must be >= 0, got nan"),
    ],
)
@pytest.mark.parametrize("make", [datasets.heavisine, datasets.blocks_trend])
def test_bad_arguments(make, kwargs, message):
    with pytest.raises(ValueError) as info:
        make(**kwargs)
    assert str(info.value) == message
