"""The same data at any scale: spacings of x and values of y from 1e-150 to 1e150 give the
same choice, the same jumps and the same curve, in the units of the data."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import vorn

K = np.arange(200.0)
BASE = np.where(K < 100, 0.0, 1.0) + 0.1 * np.random.default_rng(0).standard_normal(200)
X_SCALES = [1e-150, 1e-7, 1.0, 1e7, 1e150]
Y_SCALES = [1e-200, 1e-160, 1e-150, 1.0, 1e150, 1e200]


@pytest.fixture(scope="module")
def reference():
    return vorn.select(K, BASE)


@pytest.mark.parametrize("xs", X_SCALES)
@pytest.mark.parametrize("ys", Y_SCALES)
def test_select_gives_the_same_answer_at_every_scale(reference, xs, ys):
    x, y = (K + 3.0) * xs, BASE * ys
    s = vorn.select(x, y)
    assert s.bandwidth_samples == pytest.approx(reference.bandwidth_samples, rel=1e-9)
    assert s.penalty == pytest.approx(reference.penalty, rel=1e-9)
    assert s.noise / ys == pytest.approx(reference.noise, rel=1e-12)
    np.testing.assert_allclose(s.fit.jumps / xs, reference.fit.jumps + 3.0, rtol=1e-12)
    np.testing.assert_allclose(s.fit.jump_sizes / ys, reference.fit.jump_sizes, rtol=1e-9)
    # The choice is a stiff spline (64 samples), fitted in the units of the data when p and
    # gamma can carry it: its conditioning there costs up to 7e-9 of the curve.
    np.testing.assert_allclose(s.fit(x) / ys, reference.fit(K), rtol=2e-8, atol=1e-12)
    if 1e-290 < xs * ys < 1e290:  # else the integral itself leaves float64
        np.testing.assert_allclose(s.fit.integrate(x[10], x[150]) / (xs * ys),
                                   reference.fit.integrate(10.0, 150.0), rtol=1e-9)
    # What the selection offers reproduces its fit, to the bit.
    again = vorn.fit(x, y, **s.arguments)
    np.testing.assert_array_equal(again(x), s.fit(x))
    np.testing.assert_array_equal(again.jumps, s.fit.jumps)
    exact = s.note == ""
    assert exact == ("p" in s.arguments) == (s.fit.frame is None)
    if exact:
        assert (s.arguments["p"], s.arguments["gamma"]) == (s.p, s.gamma)


@pytest.mark.parametrize(
    "xs, ys, why",
    [
        (1e-9, 1.0, "p rounds to 1.0"),
        (1e150, 1.0, "p rounds to 0.0"),
        (1.0, 1e-160, "gamma underflows to 0"),
        (1.0, 1e200, "gamma overflows"),
        (1.0, 1e150, "the data's energies overflow in their own units"),
    ],
)
def test_selection_says_when_p_and_gamma_cannot_carry_the_fit(xs, ys, why):
    s = vorn.select(K * xs, BASE * ys)
    b, pen = s.arguments["bandwidth_samples"], s.arguments["penalty"]
    assert set(s.arguments) == {"bandwidth_samples", "penalty", "delta"}  # two outliers
    note = (f"p and gamma cannot be written in the units of the data ({why}); "
            f"vorn.fit(x, y, **selection.arguments), with bandwidth_samples={b!r}, "
            f"penalty={pen!r}, reproduces the fit")
    assert s.note == note
    assert s.explain().splitlines()[-1] == "note: " + note
    assert repr(s.fit).endswith(", fitted in standardised units)")


def test_downweighted_rows_travel_with_the_arguments():
    y = BASE.copy()
    y[50] = 40.0
    s = vorn.select(K * 1e-7, y)
    assert 50 in s.downweighted and s.note
    again = vorn.fit(K * 1e-7, y, **s.arguments)
    np.testing.assert_array_equal(again(K * 1e-7), s.fit(K * 1e-7))


@pytest.mark.parametrize("xs, ys", [(1e-150, 1.0), (1e150, 1e-150), (1e-150, 1e150)])
def test_natural_units_fit_at_any_scale(xs, ys):
    ref = vorn.fit(K, BASE, bandwidth_samples=4.0, penalty=20.0)
    f = vorn.fit(K * xs, BASE * ys, bandwidth_samples=4.0, penalty=20.0)
    assert f.frame is not None and ref.frame is None
    np.testing.assert_allclose(f.jumps / xs, ref.jumps, rtol=1e-12)
    np.testing.assert_allclose(f(K * xs) / ys, ref(K), rtol=1e-9, atol=1e-12)
    slope = f.derivative()(K[:5] * xs)
    np.testing.assert_allclose(slope * xs / ys, ref.derivative()(K[:5]), rtol=1e-8)
    np.testing.assert_allclose(f.antiderivative()(K[-1] * xs) / (xs * ys),
                               ref.antiderivative()(K[-1]), rtol=1e-9)
    np.testing.assert_allclose(f.breaks / xs, ref.breaks, rtol=1e-12)


def test_raw_parameters_keep_their_meaning():
    # p and gamma given as numbers are the problem asked for: no standardising, bit for bit
    # the extension's answer.
    f = vorn.fit(K * 1e-7, BASE, 0.5, 1e-3)
    assert f.frame is None
    import _vorn_core

    raw = _vorn_core.vorn(K * 1e-7, BASE.reshape(-1, 1), 0.5, 1e-3)
    np.testing.assert_array_equal(f.breaks, raw["breaks"])


def test_noise_is_read_at_any_scale():
    level = vorn.noise_level(K, BASE)
    for ys in (1e-300, 1e-200, 1e200):
        np.testing.assert_allclose(vorn.noise_level(K, BASE * ys) / ys, level, rtol=1e-12)


STEPS = np.repeat([0.0, 1.0, -0.5, 0.7], 50) + 0.1 * np.random.default_rng(1).standard_normal(200)


@pytest.mark.parametrize("xs", [1e-150, 1.0, 1e150])
@pytest.mark.parametrize("ys", [1e-300, 1e-200, 1e-160, 1.0, 1e200, 1e250])
def test_constant_levels_are_the_same_at_every_scale(xs, ys):
    # The jump price in the units of the data leaves float64 beyond about 1e154 (its square
    # root's square): the levels are then found in units of the noise, and said so.
    reference = vorn.select(K, STEPS, segments="constant")
    assert reference.fit.jumps.tolist() == [49.5, 99.5, 149.5]
    x, y = (K + 3.0) * xs, STEPS * ys
    s = vorn.select(x, y, segments="constant")
    np.testing.assert_allclose(s.fit.jumps / xs, reference.fit.jumps + 3.0, rtol=1e-12)
    np.testing.assert_allclose(s.fit(x) / ys, reference.fit(K), rtol=1e-12)
    assert s.penalty == pytest.approx(reference.penalty, rel=1e-12)
    exact = 1e-150 < ys < 1e150
    assert (s.note == "") == exact == (s.fit.frame is None) == ("gamma" in s.arguments)
    again = vorn.fit(x, y, **s.arguments)
    np.testing.assert_array_equal(again(x), s.fit(x))
    np.testing.assert_array_equal(again.jumps, s.fit.jumps)
    # A penalty given to the fit is read the same way.
    given = vorn.fit(x, y, penalty=reference.penalty, segments="constant")
    np.testing.assert_allclose(given.jumps / xs, reference.fit.jumps + 3.0, rtol=1e-12)


@pytest.mark.parametrize("ys", [1e-200, 1e-160, 1e200])
def test_a_staircase_gets_its_levels_at_every_scale(ys):
    # The tests that hand a staircase to constant levels read the data in noise units: in the
    # data's own, inverse variances of 1e-161 overflowed (a least-squares failure), and at
    # 1e-200 the levels' price underflowed to 0 (no jump at all).
    rng = np.random.default_rng(3)
    y = np.repeat(np.arange(20.0), 10) + 0.3 * rng.standard_normal(200)
    reference = vorn.select(None, y)
    assert reference.segments == "constant" and reference.fit.jumps.size == 19
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        s = vorn.select(None, y * ys)
    assert s.segments == "constant"
    np.testing.assert_array_equal(s.fit.jumps, reference.fit.jumps)
    np.testing.assert_allclose(s.fit(np.arange(1.0, 201.0)) / ys,
                               reference.fit(np.arange(1.0, 201.0)), rtol=1e-12)
