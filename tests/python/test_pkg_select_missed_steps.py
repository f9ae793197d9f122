"""Steps a wide smooth choice misses: select hands them to constant levels that beat it."""

from __future__ import annotations

import numpy as np
import pytest

import vorn
from vorn._constant_choice import leaves_as_little, spread_change, step_over_curve
from vorn._noise import NoiseEstimate


def _weighted_polynomial_rss(t, v, w, degree):
    coef = np.polyfit(t, v, degree, w=np.sqrt(w))
    return float(np.sum(w * (v - np.polyval(coef, t)) ** 2))


@pytest.mark.parametrize("degree", [1, 2])
def test_step_over_curve_against_separate_fits(degree):
    rng = np.random.default_rng(9)
    m, d = 90, 2
    x = np.cumsum(rng.uniform(0.5, 2.0, m)) + 1e4
    y = rng.standard_normal((m, d)) + np.where(np.arange(m) < 40, 0.0, 3.0)[:, None]
    weight = rng.uniform(0.2, 3.0, (m, 1)) * np.array([1.0, 0.25])
    jumps = np.array([12, 39, 70], dtype=np.int64)
    bounds = np.concatenate(([0], jumps + 1, [m]))
    expected = []
    for lo, mid, hi in zip(bounds[:-2], bounds[1:-1], bounds[2:]):
        gain = 0.0
        for c in range(d):
            w = weight[lo:hi, c]
            gain += _weighted_polynomial_rss(x[lo:hi] - x[lo], y[lo:hi, c], w, degree)
            for a, b in ((lo, mid), (mid, hi)):
                gain -= _weighted_polynomial_rss(x[a:b], y[a:b, c], weight[a:b, c], 0)
        expected.append(gain)
    got = step_over_curve(x, y, weight, jumps, degree)
    np.testing.assert_allclose(got, expected, rtol=1e-9, atol=1e-9)
    # The true step of 3 sd beats the curve by far.
    assert got[1] > 20.0 > max(got[0], got[2])


def test_spread_change_is_standard_normal_on_one_noise_level_and_finds_a_doubling():
    # Residuals of levels at fixed jumps of white noise: the statistic's mean, sd and upper 1 %
    # tail against the standard normal's over 4000 series (Bin(4000, 0.01) 0.1 % upper tail:
    # 61); the noise doubled after the middle is found in every one of 200.
    rng = np.random.default_rng(22)
    z = np.empty(4000)
    for i in range(z.size):
        m, d = int(rng.integers(60, 400)), int(rng.integers(1, 3))
        jumps = np.sort(rng.choice(np.arange(5, m - 5), int(rng.integers(1, 12)), replace=False))
        z[i] = spread_change(rng.standard_normal((m, d)), jumps.astype(np.int64))
    assert abs(np.mean(z)) < 0.2 and 0.85 < np.std(z) < 1.1
    assert np.count_nonzero(z > 2.326) <= 61
    scale = np.where(np.arange(300) < 150, 1.0, 2.0)[:, None]
    jumps = np.array([49, 99, 149, 199, 249], dtype=np.int64)
    found = sum(spread_change(rng.standard_normal((300, 1)) * scale, jumps) > 2.326
                for _ in range(200))
    assert found == 200


def _blocks(seed, n=2048, k=11):
    """Eleven jumps of 0.8 to 2 noise sd between segments of 40 samples or more."""
    rng = np.random.default_rng([seed, 2302])
    while True:
        cuts = np.sort(rng.choice(np.arange(40, n - 40), k, replace=False))
        if np.all(np.diff(cuts) >= 40):
            break
    heights = rng.uniform(0.8, 2.0, k) * rng.choice([-1.0, 1.0], k)
    clean = np.zeros(n)
    for cut, height in zip(cuts, heights):
        clean[cut:] += height
    return clean + rng.standard_normal(n), cuts - 1


def test_small_blocks_are_not_kept_from_levels_by_a_curve_with_fewer_parameters():
    # The check after the grid drops jumps under 2 sd and leaves a wide curve that stays
    # inside the noise's adequacy band with fewer parameters than the levels, though the
    # levels beat it by 9 to 12 standard errors. Measured on these 60: the right count in 50,
    # 15 of them past that curve's parsimony; before (the curve kept its place), 38. Rate
    # 0.83, sd 2.9: at least 43. One such answer says why and is reproduced by its
    # arguments.
    right, explained = 0, None
    for seed in range(60):
        y, truth = _blocks(seed)
        s = vorn.select(None, y)
        right += s.fit.jump_indices.size == truth.size
        if "so its fewer parameters do not keep it" in s.criterion:
            explained = (y, s)
    assert right >= 43
    y, s = explained
    assert s.segments == "constant" and "beat it by over 8 standard errors" in s.explain()
    np.testing.assert_array_equal(vorn.fit(None, y, **s.arguments).coefs, s.fit.coefs)


@pytest.mark.parametrize("free, reference_free", [(148, 121), (495, 484), (60, 40)])
def test_leaves_as_little_fails_once_in_a_hundred_on_one_noise(free, reference_free):
    # Two independent residual sums of one white noise on `free` and `reference_free` values:
    # the test should fail with the F distribution's upper 1 % (its band is crossed with
    # probability 1.01 to 1.30 % at these sizes; a band on the ratio itself, 1.75 to 4.3 %).
    # 20,000 pairs, Bin(20000, 0.013) within 4 sd: 0.6 % to 1.7 %.
    rng = np.random.default_rng(free)
    noise = NoiseEstimate(np.ones(1), 0.0)
    values = 600
    fails = sum(not leaves_as_little(rng.chisquare(free), values - free, 0,
                                     rng.chisquare(reference_free), values - reference_free,
                                     values, noise)
                for _ in range(20000))
    assert 120 <= fails <= 340


def _few_steps(seed, n=500):
    """Six steps of 1.5 to 4 noise sd, one of them 8 to 16 samples after another."""
    rng = np.random.default_rng([seed, 2303])
    while True:
        cuts = np.sort(rng.choice(np.arange(20, n - 20), 5, replace=False))
        if np.all(np.diff(cuts) >= 20):
            break
    cuts = np.sort(np.r_[cuts, cuts[int(rng.integers(0, 5))] + int(rng.integers(8, 17))])
    heights = rng.uniform(1.5, 4.0, 6) * rng.choice([-1.0, 1.0], 6)
    clean = np.zeros(n)
    for cut, height in zip(cuts, heights):
        clean[cut:] += height
    return clean + rng.standard_normal(n), cuts - 1


def test_levels_with_fewer_parameters_replace_a_curve_that_bends_through_a_short_step():
    # The curve between the jumps it keeps bends through the short step and spends more
    # parameters than the levels, which add that step with its own evidence and fit as well.
    # Measured on these 200: 163 answered by levels, 129 with the right jumps (each within 2
    # samples, no other), 24 of them for their fewer parameters (19 right); before (the
    # levels had to beat the curve by 1 standard error), 141 and 112. Of levels, rate 0.815,
    # sd 5.5: at least 149; right, rate 0.645, sd 6.8: at least 116 (2 sd). One such answer
    # says why and is reproduced by its arguments.
    right = levels = 0
    explained = None
    for seed in range(200):
        y, truth = _few_steps(seed)
        s = vorn.select(None, y)
        found = s.fit.jump_indices
        right += found.size == truth.size and bool(np.all(np.abs(found - truth) <= 2))
        levels += s.segments == "constant"
        if "with fewer parameters (" in s.criterion:
            explained = (y, s)
    assert levels >= 149 and right >= 116
    y, s = explained
    assert s.segments == "constant" and "that it bent to follow" in s.explain()
    np.testing.assert_array_equal(vorn.fit(None, y, **s.arguments).coefs, s.fit.coefs)


def _staircase(seed, n=160):
    """Steps of 3.3 noise sd every 10 samples, up for 40 to 80 samples, then down, and so on."""
    rng = np.random.default_rng([seed, 1601])
    run = int(rng.integers(4, 9))
    steps = np.arange(n) // 10
    direction = np.where((steps // run) % 2 == 0, 1.0, -1.0)
    clean = np.cumsum(np.r_[0.0, np.diff(steps)] * 3.3 * direction)
    return clean + rng.standard_normal(n), np.flatnonzero(np.diff(clean))


@pytest.mark.parametrize("seed", [95, 177, 291])
def test_a_ramp_through_a_staircase_loses_its_claim_to_fewer_parameters(seed):
    # A curve 8 to 16 samples wide ramps through these stairs: it leaves what the noise leaves
    # in sum with fewer parameters than the levels, but in runs of one sign (its residuals'
    # lag-one correlation 0.2 to 0.3 above the levels'), and kept 2 to 3 of the 15 jumps.
    y, truth = _staircase(seed)
    s = vorn.select(None, y)
    assert "(the smooth fit leaves it in runs)" in s.criterion
    found = s.fit.jump_indices
    assert found.size == truth.size
    assert np.max(np.abs(found - truth)) <= 2


def test_lag_one_correlation_within_segments_against_a_loop():
    from vorn._noise import lag_one

    rng = np.random.default_rng(31)
    residual = rng.standard_normal((50, 3))
    jumps = np.array([9, 10, 30, 49], dtype=np.int64)
    products = 0.0
    for c in range(3):
        for i in range(49):
            if i not in (9, 10, 30):
                products += residual[i, c] * residual[i + 1, c]
    assert lag_one(residual, jumps) == pytest.approx(products / np.sum(residual**2), rel=1e-12)
    assert lag_one(np.zeros((5, 1)), np.array([], dtype=np.int64)) == 0.0
