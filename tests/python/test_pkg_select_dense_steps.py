"""Steps a smooth choice follows without cutting them: select hands them to constant levels."""

from __future__ import annotations

import numpy as np

import vorn


def _dense_steps(seed, n=300, every=5, sd=0.8):
    # Levels of +-2 drawn every 5 samples: jumps of 5 noise sd wherever the level changes.
    rng = np.random.default_rng([seed, 31])
    levels = np.repeat(rng.choice([-2.0, 2.0], n // every + 1), every)[:n]
    return levels + sd * rng.standard_normal(n), np.flatnonzero(np.diff(levels))


def test_dense_steps_get_constant_levels_and_most_of_their_jumps():
    # Measured on these 40: constant levels in 34, mean share of true jumps found 0.875 (the
    # smooth choice alone: 0 and about 0.11). Rate ~0.85, sd 2.3: at least 28.
    constant, found = 0, []
    for seed in range(40):
        y, truth = _dense_steps(seed)
        s = vorn.select(None, y)
        constant += s.segments == "constant"
        got = s.fit.jump_indices
        found.append(np.mean([np.any(np.abs(got - t) <= 1) for t in truth]))
    assert constant >= 28
    assert np.mean(found) >= 0.75


def test_a_fast_smooth_curve_stays_smooth():
    # A sine of a period of 5 to 12 samples: the smooth choice is narrow too, but levels do
    # not fit it within the noise. Measured 0 of 40 switched.
    switched = 0
    for seed in range(40):
        rng = np.random.default_rng([seed, 32])
        x = np.arange(200.0)
        y = 3.0 * np.sin(x * rng.uniform(0.5, 1.2)) + 0.3 * rng.standard_normal(200)
        switched += vorn.select(x, y).segments == "constant"
    assert switched <= 2


def test_the_switch_is_explained_and_reproduced():
    y, _ = _dense_steps(0)
    s = vorn.select(None, y)
    assert s.segments == "constant"
    assert s.criterion.startswith("constant levels in place of the smooth choice at ")
    assert "followed the steps" in s.explain()
    again = vorn.fit(None, y, **s.arguments)
    np.testing.assert_array_equal(again.coefs, s.fit.coefs)
    # A fixed half keeps the smooth model.
    assert vorn.select(None, y, penalty=20.0).segments == "smooth"
