"""vorn._engine, the package's compiled engine, against the extension and SciPy."""

from __future__ import annotations

import math
import signal
import sys
import threading
import time

import numpy as np
import pytest

import _vorn_core
from conftest import interrupt_latency
from vorn import _engine

PPoly = pytest.importorskip("scipy.interpolate").PPoly


def _ppoly(breaks, coefs):
    """SciPy's view of the engine layout: c[k, piece, column]."""
    return PPoly(coefs.transpose(2, 0, 1), breaks, extrapolate=True)


def _samples(n, d=1, seed=0, jump_every=None):
    rng = np.random.default_rng([seed, n, d])
    x = np.sort(rng.uniform(0.0, 10.0, n))
    y = np.column_stack([np.sin(x * (j + 1)) for j in range(d)])
    if jump_every:
        y += 3.0 * (np.arange(n) // jump_every % 2)[:, None]
    y += 0.05 * rng.standard_normal((n, d))
    return x, y


def _random_form(rng, pieces, d, k):
    breaks = np.cumsum(rng.uniform(0.1, 1.0, pieces + 1)) - 3.0
    coefs = rng.standard_normal((pieces, d, k))
    return breaks, coefs


# -- evaluation ---------------------------------------------------------------------------------


@pytest.mark.parametrize("d, k", [(1, 4), (3, 4), (2, 2), (1, 5)])
@pytest.mark.parametrize("nu", [0, 1, 2, 3])
def test_evaluation_matches_scipy(d, k, nu):
    rng = np.random.default_rng([d, k, nu])
    breaks, coefs = _random_form(rng, 12, d, k)
    sites = np.concatenate([
        breaks,  # every break: the piece on its right
        rng.uniform(breaks[0] - 2.0, breaks[-1] + 2.0, 300),  # extrapolation included
    ])
    got = _engine.evaluate(breaks, coefs, sites, nu)
    expected = _ppoly(breaks, coefs)(sites, nu)
    assert got.shape == (sites.size, d)
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-12)


def test_left_side_takes_the_piece_ending_at_an_inner_break():
    rng = np.random.default_rng(4)
    breaks, coefs = _random_form(rng, 6, 2, 4)
    inner = breaks[1:-1]
    left = _engine.evaluate(breaks, coefs, inner, 0, True)
    for j, site in enumerate(inner):
        # Piece j ends at inner break j + 1: its polynomial at its own right end.
        expected = np.polyval(coefs[j].T, site - breaks[j])
        np.testing.assert_allclose(left[j], expected, rtol=1e-13)
    off_breaks = (breaks[:-1] + breaks[1:]) / 2
    np.testing.assert_array_equal(
        _engine.evaluate(breaks, coefs, off_breaks, 1, True),
        _engine.evaluate(breaks, coefs, off_breaks, 1))


@pytest.mark.parametrize("nu", [0, 1, 2, 3])
def test_nan_sites_give_nan(nu):
    rng = np.random.default_rng(1)
    breaks, coefs = _random_form(rng, 5, 2, 4)
    got = _engine.evaluate(breaks, coefs, np.array([np.nan, 0.5, np.nan]), nu)
    assert np.isnan(got[[0, 2]]).all() and np.isfinite(got[1]).all()


def test_values_equal_the_core_evaluation_bit_for_bit():
    x, y = _samples(300, d=2, jump_every=70)
    raw = _vorn_core.vorn(x, y, 0.999, 2.0, None, "PELT")
    coefs = raw["coefs"].reshape(-1, 2, 4)
    # Horner in the core's order, one site at a time.
    sites = np.linspace(x[0] - 1, x[-1] + 1, 500)
    got = _engine.evaluate(raw["breaks"], coefs, sites, 0)
    expected = np.empty_like(got)
    for i, s in enumerate(sites):
        piece = min(max(np.searchsorted(raw["breaks"][1:-1], s, side="right"), 0),
                    raw["breaks"].size - 2)
        t = s - raw["breaks"][piece]
        c = coefs[piece]
        expected[i] = ((c[:, 0] * t + c[:, 1]) * t + c[:, 2]) * t + c[:, 3]
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("d, k", [(1, 4), (2, 4), (1, 3)])
def test_integrals_match_scipy(d, k):
    rng = np.random.default_rng([d, k])
    breaks, coefs = _random_form(rng, 9, d, k)
    pp = _ppoly(breaks, coefs)
    bounds = [(breaks[0], breaks[-1]), (breaks[2], breaks[2]), (breaks[3] + 0.1, breaks[1]),
              (breaks[0] - 2.0, breaks[-1] + 1.5), (0.3, 0.31)]
    for a, b in bounds:
        np.testing.assert_allclose(_engine.integrate(breaks, coefs, a, b), pp.integrate(a, b),
                                   rtol=1e-11, atol=1e-11)
    assert np.isnan(_engine.integrate(breaks, coefs, np.nan, 1.0)).all()


@pytest.mark.parametrize("nu", [0, 1, 2, 3, 5])
def test_derivative_coefficients_match_scipy(nu):
    rng = np.random.default_rng(nu)
    breaks, coefs = _random_form(rng, 7, 2, 4)
    got = _engine.derivative(breaks, coefs, nu)
    assert got.shape == (7, 2, max(4 - nu, 1))
    sites = rng.uniform(breaks[0] - 1, breaks[-1] + 1, 100)
    np.testing.assert_allclose(_engine.evaluate(breaks, got, sites),
                               _ppoly(breaks, coefs).derivative(nu)(sites) if nu else
                               _ppoly(breaks, coefs)(sites), rtol=1e-12, atol=1e-12)


def test_antiderivative_matches_scipy_and_is_continuous():
    rng = np.random.default_rng(9)
    breaks, coefs = _random_form(rng, 8, 3, 4)  # unrelated pieces: jumps at every break
    anti = _engine.antiderivative(breaks, coefs)
    assert anti.shape == (8, 3, 5)
    sites = np.concatenate([breaks, rng.uniform(breaks[0] - 1, breaks[-1] + 1, 200)])
    np.testing.assert_allclose(_engine.evaluate(breaks, anti, sites),
                               _ppoly(breaks, coefs).antiderivative()(sites),
                               rtol=1e-11, atol=1e-11)
    inner = breaks[1:-1]
    np.testing.assert_allclose(_engine.evaluate(breaks, anti, inner, 0, True),
                               _engine.evaluate(breaks, anti, inner), rtol=1e-13, atol=1e-13)
    np.testing.assert_array_equal(_engine.evaluate(breaks, anti, breaks[:1]), 0.0)


# -- fitting ------------------------------------------------------------------------------------


@pytest.mark.parametrize("pruning", ["PELT", "FPVI"])
@pytest.mark.parametrize("gamma", [0.5, 3.0, math.inf])
@pytest.mark.parametrize("precondition", ["none", "local"])
def test_fit_is_the_extension_fit(pruning, gamma, precondition):
    x, y = _samples(400, d=2, seed=3, jump_every=90)
    delta = np.random.default_rng(2).uniform(0.5, 2.0, x.size)
    got = _engine.fit(x, y, delta, 0.99, gamma, pruning, precondition)
    raw = _vorn_core.vorn(x, y, 0.99, gamma, delta, pruning, precondition)
    np.testing.assert_array_equal(got["breaks"], raw["breaks"])
    np.testing.assert_array_equal(got["coefs"].reshape(-1, 4), raw["coefs"])
    np.testing.assert_array_equal(got["jumps"], raw["discont"])
    np.testing.assert_array_equal(got["jump_indices"], raw["discont_idx"])
    np.testing.assert_array_equal(got["x"], raw["x"])
    np.testing.assert_array_equal(got["y"], raw["y"])
    assert got["complexity_counter"] == raw["complexity_counter"]


@pytest.mark.parametrize("seed", range(6))
def test_dominance_finds_the_pelt_partition(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(50, 400))
    x, y = _samples(n, d=int(rng.integers(1, 3)), seed=seed, jump_every=int(rng.integers(10, 60)))
    p, gamma = float(rng.choice([0.5, 0.99, 0.99999])), float(rng.uniform(0.1, 5.0))
    dominance = _engine.fit(x, y, None, p, gamma, "DOMINANCE", "none")
    raw = _vorn_core.vorn(x, y, p, gamma, None, "PELT")
    np.testing.assert_array_equal(dominance["jump_indices"], raw["discont_idx"])
    np.testing.assert_array_equal(dominance["coefs"].reshape(-1, 4), raw["coefs"])


@pytest.mark.parametrize("missing", [False, True])
@pytest.mark.parametrize("sites", ["unsorted with a repeat", "none"])
def test_fit_with_duplicates_missing_rows_and_no_sites(missing, sites):
    x = np.array([3.0, 1.0, 2.0, 2.0, 5.0, 4.0, 6.0]) if sites != "none" else None
    y = np.array([[1.0], [0.0], [2.0], [7.0], [4.0], [3.0], [9.0]])
    delta = np.array([1.0, 0.5, 2.0, 1.5, 1.0, 0.3, 1.0])
    if missing:
        y[3, 0] = np.nan
    for d in (None, delta):
        got = _engine.fit(x, y, d, 0.7, 1.0, "PELT", "none")
        raw = _vorn_core.vorn(x, y, 0.7, 1.0, d, "PELT")
        np.testing.assert_array_equal(got["coefs"].reshape(-1, 4), raw["coefs"])
        np.testing.assert_array_equal(got["x"], raw["x"])
        np.testing.assert_array_equal(got["y"], raw["y"])


def _messy(rng, n, d):
    """Repeated sites out of order, missing rows and deltas: everything preparation does."""
    x = rng.integers(0, max(2, n // 3), n) * rng.choice([1.0, 0.37, 1e5])
    y = rng.standard_normal((n, d)) * 10.0 ** rng.uniform(-3, 5)
    y[rng.random(n) < 0.15, rng.integers(0, d)] = np.nan
    return x, y, rng.uniform(0.1, 3.0, n)


@pytest.mark.parametrize("seed", range(4))
def test_prepare_merges_as_weighted_means_and_maps_rows(seed):
    rng = np.random.default_rng(seed)
    for _ in range(25):
        n, d = int(rng.integers(3, 80)), int(rng.integers(1, 4))
        x, y, delta = _messy(rng, n, d)
        if np.unique(x[np.all(np.isfinite(y), axis=1)]).size < 2:
            continue
        got = _engine.prepare(x, y, delta)
        keep = np.all(np.isfinite(y), axis=1)
        sites, inverse = np.unique(x[keep], return_inverse=True)
        w = 1.0 / delta[keep] ** 2
        total = np.bincount(inverse, weights=w)
        np.testing.assert_array_equal(got["x"], sites)
        np.testing.assert_array_equal(got["w"], total)
        np.testing.assert_array_equal(got["delta"], np.sqrt(1.0 / total))
        for j in range(d):
            mean = np.bincount(inverse, weights=w * y[keep, j]) / total
            # Rows are added in input order, as bincount adds them: the same bits.
            np.testing.assert_array_equal(got["y"][:, j], mean)
        site_of_row = np.full(n, -1)
        site_of_row[keep] = inverse
        np.testing.assert_array_equal(got["site_of_row"], site_of_row)
        assert got["site_of_row"].dtype == np.int64


@pytest.mark.parametrize("seed", range(4))
def test_a_fit_from_prepared_samples_is_the_fit_from_the_raw_ones(seed):
    rng = np.random.default_rng([7, seed])
    for t in range(30):
        n, d = int(rng.integers(3, 120)), int(rng.integers(1, 3))
        x, y, delta = _messy(rng, n, d)
        args = (None if t % 5 == 0 else x, y, None if t % 2 else delta)
        p = [0.0, 0.3, 0.97, 1.0][t % 4]
        gamma = [0.0, 0.5, 20.0, math.inf][t // 4 % 4] * float(np.nanvar(y) + 1.0)
        pruning = ["DOMINANCE", "PELT", "FPVI"][t % 3]
        try:
            raw = _engine.fit(*args, p, gamma, pruning, "local" if t % 7 == 0 else "none")
        except ValueError as error:
            with pytest.raises(ValueError) as info:
                _engine.prepare(*args)
            assert str(info.value) == str(error)
            continue
        s = _engine.prepare(*args)
        got = _engine.fit_prepared(s["x"], s["y"], s["w"], p, gamma, pruning,
                                   "local" if t % 7 == 0 else "none")
        assert list(got) == list(raw)
        for key, value in raw.items():
            if isinstance(value, np.ndarray):
                assert got[key].dtype == value.dtype and got[key].shape == value.shape
                assert got[key].tobytes() == value.tobytes(), key
            else:
                assert got[key] == value, key


@pytest.mark.parametrize("segments", ["smooth", "constant"])
def test_a_fit_read_in_place_or_without_its_samples_is_the_copied_fit(segments):
    # Dense samples are read where they are held, others copied first; the many fits of one
    # choice also leave the samples out of the result. Nothing else may change.
    rng = np.random.default_rng(23)
    n = 300
    x = np.cumsum(rng.uniform(0.5, 1.5, n))
    y = np.column_stack([np.where(np.arange(n) < 140, 0.0, 3.0), np.sin(x / 30.0)])
    y = y + 0.2 * rng.standard_normal((n, 2))
    w = rng.uniform(0.5, 2.0, n)
    strided = np.repeat(x, 2)[::2], np.asfortranarray(y), np.repeat(w, 2)[::2]

    def fitted(samples, with_samples):
        if segments == "constant":
            return _engine.fit_constant(*samples, 100.0, with_samples)
        return _engine.fit_prepared(*samples, 0.01, 0.1, "DOMINANCE", "none", with_samples)

    copied = fitted(strided, True)
    assert copied["jump_indices"].size > 0
    np.testing.assert_array_equal(copied["x"], x)
    np.testing.assert_array_equal(copied["y"], y)
    for samples, with_samples in [((x, y, w), True), ((x, y, w), False), (strided, False)]:
        got = fitted(samples, with_samples)
        assert list(got) == list(copied)
        for key, value in copied.items():
            if key in ("x", "y") and not with_samples:
                assert got[key].size == 0
            elif isinstance(value, np.ndarray):
                assert got[key].dtype == value.dtype and got[key].shape == value.shape
                assert got[key].tobytes() == value.tobytes(), key
            else:
                assert got[key] == value, key


@pytest.mark.parametrize(
    "x, y, w, message",
    [
        ([0.0, 2.0, 1.0], np.zeros((3, 1)), np.ones(3),
         "prepared x must be finite and strictly ascending"),
        ([0.0, 1.0, 1.0], np.zeros((3, 1)), np.ones(3),
         "prepared x must be finite and strictly ascending"),
        ([0.0, 1.0, 2.0], np.array([[0.0], [np.nan], [1.0]]), np.ones(3),
         "prepared y must be finite"),
        ([0.0, 1.0, 2.0], np.zeros((3, 1)), np.array([1.0, 0.0, 1.0]),
         "prepared w must be positive and finite"),
        ([0.0, 1.0, 2.0], np.zeros((2, 1)), np.ones(3),
         "prepared x, y and w must have one entry per site"),
        ([0.0], np.zeros((1, 1)), np.ones(1), "prepared samples need at least two sites"),
    ],
)
def test_fit_prepared_refuses_samples_prepare_cannot_return(x, y, w, message):
    with pytest.raises(ValueError) as info:
        _engine.fit_prepared(np.array(x), y, w, 0.5, 1.0, "PELT", "none")
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        _engine.fit_prepared(np.array(x), y, w, 1.5, 1.0, "PELT", "none")
    assert str(info.value) == "p must satisfy 0 <= p <= 1, got 1.5"


def test_fit_reads_strided_arrays_in_place():
    x, y = _samples(200, d=3, jump_every=50)
    wide = np.asfortranarray(y)
    every_other = np.repeat(x, 2)[::2]
    got = _engine.fit(every_other, wide[:, ::2], None, 0.9, 2.0, "PELT", "none")
    raw = _vorn_core.vorn(x, np.ascontiguousarray(y[:, ::2]), 0.9, 2.0, None, "PELT")
    np.testing.assert_array_equal(got["coefs"].reshape(-1, 4), raw["coefs"])


def test_results_own_their_memory():
    x, y = _samples(100)
    got = _engine.fit(x, y, None, 0.9, math.inf, "DOMINANCE", "none")
    arrays = [v for v in got.values() if isinstance(v, np.ndarray)]
    for a in arrays:
        assert a.flags.c_contiguous and a.flags.writeable
        assert not np.shares_memory(a, x) and not np.shares_memory(a, y)
    for i, a in enumerate(arrays):
        for b in arrays[i + 1:]:
            assert not np.shares_memory(a, b)


@pytest.mark.parametrize(
    "args, message",
    [
        ((None, np.zeros((5, 1)), None, 2.0, 1.0), "p must satisfy 0 <= p <= 1, got 2"),
        ((None, np.zeros((5, 1)), None, 0.5, -1.0), "gamma must satisfy 0 <= gamma, got -1"),
        ((np.arange(4.0), np.zeros((5, 1)), None, 0.5, 1.0),
         "x and y must have matching length: x has 4, y has 5"),
        ((None, np.full((5, 1), np.nan), None, 0.5, 1.0),
         "at least two finite data points are required, got 0"),
        ((None, np.zeros((5, 1)), np.ones(3), 0.5, 1.0),
         "delta must have the same length as x (5), got 3"),
    ],
)
def test_core_input_errors_are_value_errors_with_the_core_message(args, message):
    with pytest.raises(ValueError) as info:
        _engine.fit(*args, "DOMINANCE", "none")
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: _engine.fit(np.arange(5), np.zeros((5, 1)), None, 0.5, 1.0, "PELT", "none"),
         TypeError, "x must be a float64 array with 1 dimension"),
        (lambda: _engine.fit(None, np.zeros(5), None, 0.5, 1.0, "PELT", "none"),
         TypeError, "y must be a float64 array with 2 dimensions"),
        (lambda: _engine.fit(None, np.zeros((5, 1)), None, 0.5, 1.0, "pelt", "none"),
         ValueError, "pruning must be 'DOMINANCE', 'PELT' or 'FPVI', got 'pelt'"),
        (lambda: _engine.fit(None, np.zeros((5, 1)), None, 0.5, 1.0, "PELT", "LOCAL"),
         ValueError, "precondition must be 'none' or 'local', got 'LOCAL'"),
        (lambda: _engine.evaluate(np.arange(3.0), np.zeros((2, 1, 4)), np.zeros((2, 2))),
         TypeError, "sites must be a C-contiguous float64 array with 1 dimension"),
        (lambda: _engine.evaluate(np.arange(3.0), np.zeros((3, 1, 4)), np.zeros(2)),
         ValueError, "breaks (3,) and coefs (3, 1, 4) do not make a piecewise polynomial: "
                     "coefs needs one row per piece, at least one column and one coefficient"),
        (lambda: _engine.evaluate(np.arange(3.0), np.zeros((2, 1, 4)), np.zeros(2), -1),
         ValueError, "nu must be >= 0, got -1"),
        (lambda: _engine.cv_predict(np.arange(5.0), np.zeros((5, 1)), None, [np.array([5])],
                                    0.5, 1.0, "PELT", "none"),
         ValueError, "folds[0] holds index 5, but the samples are numbered 0 to 4"),
        (lambda: _engine.cv_predict(np.arange(5.0), np.zeros((5, 1)), None, [[1, 2]],
                                    0.5, 1.0, "PELT", "none"),
         TypeError, "every fold must be a C-contiguous int64 array with 1 dimension"),
        (lambda: _engine.cv_score(np.arange(5.0), np.zeros((4, 1)), None, [], 0.5, 1.0,
                                  "PELT", "none"),
         ValueError, "x, y and delta must have one entry per sample: x has 5, y has 4, "
                     "delta has 5"),
    ],
)
def test_contract_violations_name_the_argument(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


# -- cross-validation ---------------------------------------------------------------------------


def _reference_predictions(x, y, folds, p, gamma):
    """Fold by fold with the extension's fit, and its segment forms for the two sides."""
    rows = []
    for fold in folds:
        train = np.setdiff1d(np.arange(x.size), fold)
        raw = _vorn_core.vorn(x[train], y[train], p, gamma, None, "PELT")
        pieces = raw["breaks"].size - 1
        curve = _ppoly(raw["breaks"], raw["coefs"].reshape(pieces, raw["dim"], 4))
        cells = [_ppoly(c["breaks"], c["coefs"].reshape(-1, raw["dim"], 4))
                 for c in raw["pp_cell"]]
        for k in fold:
            site = x[k]
            predicted = curve(site)
            left = right = predicted
            gap = False
            for j, last in enumerate(raw["discont_idx"]):
                if raw["x"][last] < site < raw["x"][last + 1]:
                    left, right, gap = cells[j](site), cells[j + 1](site), True
            rows.append((predicted, left, right, gap))
    return rows


@pytest.mark.parametrize("d", [1, 2])
def test_cv_predictions_match_fold_by_fold_fits(d):
    x, y = _samples(240, d=d, seed=5, jump_every=60)
    x = np.round(x, 6)
    order = np.random.default_rng(1).permutation(x.size)
    folds = [np.sort(part).astype(np.int64) for part in np.array_split(order, 6)]
    got = _engine.cv_predict(x, y, None, folds, 0.999, 1.0, "DOMINANCE", "none")
    expected = _reference_predictions(x, y, folds, 0.999, 1.0)
    assert got["fold_ok"].tolist() == [True] * 6
    np.testing.assert_allclose(got["predicted"], [r[0] for r in expected], rtol=1e-10, atol=1e-10)
    np.testing.assert_allclose(got["left"], [r[1] for r in expected], rtol=1e-10, atol=1e-10)
    np.testing.assert_allclose(got["right"], [r[2] for r in expected], rtol=1e-10, atol=1e-10)
    assert got["in_gap"].tolist() == [r[3] for r in expected]
    assert got["in_gap"].any()  # the data have jumps that held-out samples straddle


def test_cv_prediction_of_a_fold_that_cannot_be_fitted():
    x, y = _samples(6)
    folds = [np.array([0, 1, 2, 3, 4], dtype=np.int64), np.array([5], dtype=np.int64)]
    got = _engine.cv_predict(x, y, None, folds, 0.9, 1.0, "PELT", "none")
    assert got["fold_ok"].tolist() == [False, True]
    assert np.isnan(got["predicted"][:5]).all() and np.isfinite(got["predicted"][5]).all()


@pytest.mark.parametrize("pruning", ["PELT", "FPVI"])
@pytest.mark.parametrize("p, gamma", [(0.99, 2.0), (0.5, math.inf), (0.0, 1.0), (1.0, 1.0),
                                      (0.5, 0.0), (1.5, 1.0)])
def test_cv_score_is_the_extension_score(pruning, p, gamma):
    x, y = _samples(120, d=2, seed=8, jump_every=40)
    delta = np.random.default_rng(3).uniform(0.5, 1.5, x.size)
    parts = np.array_split(np.random.default_rng(4).permutation(x.size), 4)
    got = _engine.cv_score(x, y, delta, [a.astype(np.int64) for a in parts], p, gamma, pruning,
                           "none")
    expected = _vorn_core.vorn_cvscore(x, y, p, gamma, delta, [a.tolist() for a in parts],
                                       pruning)
    assert got == expected or (math.isnan(got) and math.isnan(expected))


def test_cv_score_is_the_mean_of_squared_predicted_errors():
    x, y = _samples(150, d=1, seed=2, jump_every=50)
    folds = [a.astype(np.int64) for a in np.array_split(np.arange(x.size), 5)]
    got = _engine.cv_predict(x, y, None, folds, 0.99, 1.5, "DOMINANCE", "none")
    held = y[np.concatenate(folds)]
    score = _engine.cv_score(x, y, None, folds, 0.99, 1.5, "DOMINANCE", "none")
    assert score == pytest.approx(np.sum((got["predicted"] - held) ** 2) / x.size, rel=1e-12)


# -- the interpreter lock, Ctrl-C and memory ---------------------------------------------------


def _long_fit_data(n):
    """A smooth noisy signal: with gamma = 10 no jump pays, yet the whole data are too rough
    for the search to stop early, so FPVI keeps every start alive (O(n**2) work)."""
    x = np.linspace(0.0, 6.0, n)
    y = np.sin(x) + 0.1 * np.random.default_rng(0).standard_normal(n)
    return x, y.reshape(-1, 1)


def test_other_threads_run_during_a_fit():
    x, y = _long_fit_data(3000)
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1

    worker = threading.Thread(target=count)
    worker.start()
    try:
        time.sleep(0.05)
        before = counter[0]
        start = time.perf_counter()
        _engine.fit(x, y, None, 0.9999, 10.0, "FPVI", "none")
        seconds = time.perf_counter() - start
        progressed = counter[0] - before
    finally:
        stop.set()
        worker.join()
    print(f"fit took {seconds:.2f} s; the other thread counted {progressed} times meanwhile")
    # With the lock held throughout, the counter could not move while the fit runs.
    assert progressed > 1000


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs POSIX signals")
def test_ctrl_c_interrupts_a_long_fit():
    x, y = _long_fit_data(12000)
    latency = interrupt_latency(lambda: _engine.fit(x, y, None, 0.9999, 10.0, "FPVI", "none"))
    print(f"KeyboardInterrupt {latency * 1e3:.1f} ms after SIGINT")
    assert latency < 1.0
    small = _engine.fit(x[:50], y[:50], None, 0.9, 1.0, "FPVI", "none")
    assert small["x"].size == 50


@pytest.mark.no_sanitizer  # ASan aborts on an allocation this size instead of failing it
def test_an_allocation_failure_is_a_memory_error_and_the_engine_carries_on():
    # A y of 2**57 columns costs nothing (zero strides); the predictions for it cannot fit in
    # any address space, so the engine's first large allocation fails.
    huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(4, 2**57), strides=(0, 0))
    with pytest.raises(MemoryError):
        _engine.cv_predict(np.arange(4.0), huge, None, [np.array([0], dtype=np.int64)],
                           0.5, 1.0, "PELT", "none")
    x, y = _samples(30)
    assert _engine.fit(x, y, None, 0.5, 1.0, "PELT", "none")["x"].size == 30


def test_internal_failures_have_their_own_type():
    assert issubclass(_engine.InternalFailure, BaseException)
    assert not issubclass(_engine.InternalFailure, Exception)
    # NaN among the sites is the one internal assertion that data can reach.
    with pytest.raises(_engine.InternalFailure, match="NaN in x"):
        _engine.fit(np.array([1.0, np.nan, 0.5]), np.ones((3, 1)), None, 0.5, 1.0, "PELT",
                    "none")


def test_no_references_leak():
    x, y = _samples(80, d=1, jump_every=20)
    folds = [np.arange(0, 80, 4, dtype=np.int64)]
    before = [sys.getrefcount(a) for a in (x, y, folds[0])]
    for _ in range(20):
        _engine.fit(x, y, None, 0.9, 1.0, "DOMINANCE", "none")
        _engine.cv_predict(x, y, None, folds, 0.9, 1.0, "DOMINANCE", "none")
        with pytest.raises(ValueError):
            _engine.fit(x, y, None, 2.0, 1.0, "DOMINANCE", "none")
    assert [sys.getrefcount(a) for a in (x, y, folds[0])] == before


# -- the stub -----------------------------------------------------------------------------------


def _stub_fields(name):
    import ast
    from pathlib import Path

    import vorn

    stub = Path(vorn.__file__).with_name("_engine.pyi")
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.ClassDef) and node.name == name:
            return [item.target.id for item in node.body if isinstance(item, ast.AnnAssign)]
    raise AssertionError(f"{name} not in the stub")


def test_stub_result_types_list_the_real_keys():
    x, y = _samples(40, jump_every=10)
    assert _stub_fields("_Fitted") == list(_engine.fit(x, y, None, 0.9, 1.0, "PELT", "none"))
    assert _stub_fields("_Prepared") == list(_engine.prepare(x, y, None))
    folds = [np.arange(0, 40, 5, dtype=np.int64)]
    predicted = _engine.cv_predict(x, y, None, folds, 0.9, 1.0, "PELT", "none")
    assert _stub_fields("_Predictions") == list(predicted)


def test_stub_agrees_with_the_module():
    pytest.importorskip("mypy")
    import subprocess

    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vorn._engine"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
