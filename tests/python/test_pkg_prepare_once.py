"""Every public call prepares its samples once: the engine's entry points that sort and merge
raw samples (prepare, fit, cv_predict, cv_score) are counted, fits from prepared samples are
not."""

from __future__ import annotations

import numpy as np
import pytest

import vorn
from vorn import _engine

_PREPARING = ("prepare", "fit", "cv_predict", "cv_score")


@pytest.fixture
def preparations(monkeypatch):
    counts = {name: 0 for name in _PREPARING}
    for name in _PREPARING:
        real = getattr(_engine, name)

        def counted(*args, _real=real, _name=name, **kwargs):
            counts[_name] += 1
            return _real(*args, **kwargs)

        monkeypatch.setattr(_engine, name, counted)
    return counts


def _steps(seed=0, n=300):
    rng = np.random.default_rng(seed)
    x = rng.permutation(np.repeat(np.arange(n // 2, dtype=float), 2))
    y = np.where(x < n // 4, 0.0, 3.0) + np.sin(x / 20.0) + 0.3 * rng.standard_normal(n)
    y[rng.choice(n, 5, replace=False)] = np.nan
    return x, y, rng.uniform(0.5, 1.5, n)


@pytest.mark.parametrize(
    "call",
    [
        lambda x, y, d: vorn.fit(x, y, 0.9, 5.0, delta=d),
        lambda x, y, d: vorn.fit(x, y, delta=d, bandwidth_samples=4.0, penalty=20.0),
        # Without deltas the choice widens no row's deviation: the refit is of the same samples.
        lambda x, y, d: vorn.select(x, y),
        # Wild samples widen their rows' deviations: the refit merges the same sites again.
        lambda x, y, d: vorn.select(x, _with_spikes(y), delta=d),
        lambda x, y, d: vorn.noise_level(x, y, d),
        lambda x, y, d: vorn.cv_score(x[np.isfinite(y)], y[np.isfinite(y)],
                                      d[np.isfinite(y)], 5, 0.9, 5.0),
        # Values whose p and gamma cannot be written: fits in standardised units.
        lambda x, y, d: vorn.fit(x, y * 1e160, delta=d, bandwidth_samples=4.0, penalty=20.0),
        lambda x, y, d: vorn.select(x, y * 1e160),
        lambda x, y, d: vorn.select(x, _with_spikes(y) * 1e160, delta=d),
        # The noise doubles halfway: the local level becomes every row's deviation.
        lambda x, y, d: vorn.select(x, np.where(x < x.max() / 2, y, 3.0 + 2.0 * (y - 3.0))),
        lambda x, y, d: vorn.fit(x, y, delta=d, gamma=2.0, segments="constant"),
        lambda x, y, d: vorn.fit(x, y, penalty=20.0, segments="constant"),
        lambda x, y, d: vorn.fit(x, y, delta=d, gamma=2.0, segments="linear"),
        lambda x, y, d: vorn.select(x, _with_spikes(y), delta=d, segments="constant"),
        lambda x, y, d: vorn.default_grid(x, y, d),
    ],
    ids=["fit", "fit-natural", "select", "select-outliers", "noise_level", "cv_score",
         "fit-standardised", "select-standardised", "select-standardised-outliers",
         "select-local-noise", "fit-constant", "fit-constant-penalty", "fit-linear",
         "select-constant", "default_grid"],
)
def test_a_public_call_prepares_its_samples_once(preparations, call):
    x, y, d = _steps()
    call(x, y, d)
    assert sum(preparations.values()) == 1, preparations


def test_cross_validation_prepares_once_besides_its_training_sets(preparations):
    x, y, d = _steps(n=120)
    chosen = vorn.select(x, y, delta=d, method="cv", folds=4)
    # Each candidate's folds are fitted by one engine call that forms their training sets.
    assert preparations["cv_predict"] == chosen.table.size
    assert preparations["prepare"] + preparations["fit"] + preparations["cv_score"] == 1


@pytest.mark.parametrize("fixed", [True, False])
def test_fit_many_prepares_each_series_once(preparations, fixed):
    from concurrent.futures import ThreadPoolExecutor

    series = [_steps(seed=seed) for seed in range(3)]
    arguments = {"p": 0.9, "gamma": 5.0} if fixed else {"precondition": "local"}
    with ThreadPoolExecutor(2) as pool:
        fits = vorn.fit_many(series, executor=pool, **arguments)
    assert sum(preparations.values()) == len(series), preparations
    for (x, y, d), got in zip(series, fits):
        expected = (vorn.fit(x, y, 0.9, 5.0, delta=d) if fixed else
                    vorn.fit(x, y, **{"delta": d, **vorn.select(x, y, delta=d).arguments},
                             precondition="local"))
        _same_fit(got, expected)


def _with_spikes(y):
    spiked = y.copy()
    spiked[[7, 8, 150]] += np.array([40.0, -40.0, 25.0])
    return spiked


def _same_fit(a, b):
    assert a.coefs.tobytes() == b.coefs.tobytes()
    assert a.breaks.tobytes() == b.breaks.tobytes()
    assert a.x.tobytes() == b.x.tobytes() and a.y.tobytes() == b.y.tobytes()
    np.testing.assert_array_equal(a.jump_indices, b.jump_indices)


def test_fits_from_prepared_samples_are_the_public_fits_of_their_pair():
    x, y, d = _steps()
    chosen = vorn.select(x, y)
    assert "delta" not in chosen.arguments and chosen.fit.frame is None
    _same_fit(chosen.fit, vorn.fit(x, y, chosen.p, chosen.gamma))
    natural = vorn.fit(x, y, delta=d, bandwidth_samples=4.0, penalty=20.0)
    assert natural.frame is None
    _same_fit(natural, vorn.fit(x, y, natural.p, natural.gamma, delta=d))


@pytest.mark.parametrize("seed", range(6))
def test_widened_refits_are_the_public_fits_of_their_arguments(seed):
    # Repeated sites, missing rows, signed zeros and wild samples: the merge with widened
    # deviations must be the engine's to the last bit (and the sign of every zero).
    x, y, d = _steps(seed=seed, n=200 + 40 * seed)
    y = _with_spikes(y)
    y[np.flatnonzero(np.isfinite(y))[::9]] = -0.0
    for columns in (y, np.column_stack([y, -y])):
        chosen = vorn.select(x, columns, delta=d)
        assert "delta" in chosen.arguments
        _same_fit(chosen.fit, vorn.fit(x, columns, **chosen.arguments))


def test_noise_level_differences_every_kept_row_in_site_order():
    rng = np.random.default_rng(11)
    for _ in range(20):
        x, y, d = _steps(seed=int(rng.integers(1000)), n=int(rng.integers(10, 200)) * 2)
        keep = np.isfinite(y)
        order = np.argsort(x[keep], kind="stable")
        ys, ds = y[keep][order], d[keep][order]
        diffs = np.diff(ys) / np.sqrt(ds[1:] ** 2 + ds[:-1] ** 2)
        mad = np.median(np.abs(diffs - np.median(diffs)))
        got = vorn.noise_level(x, y, d)
        assert got.shape == (1,)
        assert got[0] == mad * (1.0 / 0.6744897501960817)


@pytest.mark.parametrize("given", [{"p": 0.0}, {"gamma": 0.0}, {"penalty": np.inf}])
def test_a_given_half_on_data_too_large_for_their_units_is_fitted_and_reproduced(given):
    # Straight lines and free jumps have no bandwidth or penalty to carry them: the
    # arguments say p = 0 or gamma = 0 instead.
    rng = np.random.default_rng(1)
    x = np.arange(200.0)
    y = (np.where(x < 100, 0.0, 3.0) + 0.3 * rng.standard_normal(200)) * 1e160
    chosen = vorn.select(x, y, **given)
    assert chosen.fit.frame is not None
    assert set(given) <= set(chosen.arguments)
    _same_fit(chosen.fit, vorn.fit(x, y, **chosen.arguments))


def test_fit_many_fits_every_series_select_fits():
    # Values whose energies overflow in their own units: select fits them in standardised
    # units, and so must fit_many (it once refused them before sending them out).
    from concurrent.futures import ThreadPoolExecutor

    x, y, d = _steps(seed=4)
    big = y * 1e160
    with ThreadPoolExecutor(1) as pool:
        (got,) = vorn.fit_many([(x, big, d)], executor=pool)
    chosen = vorn.select(x, big, delta=d)
    assert chosen.fit.frame is not None
    _same_fit(got, chosen.fit)


@pytest.mark.parametrize("deviations", ["none", "rounding"])
def test_formed_inputs_fit_as_the_engine_fits_raw_samples(deviations):
    # Unit deviations leave every value as it is; others round some values through w y / w,
    # and the choice's fits must read those roundings as the engine's own preparation does.
    from vorn._scoring import fit_formed, fit_inputs

    rng = np.random.default_rng(3)
    n = 240
    x = np.sort(rng.uniform(0.0, 50.0, n))
    y = np.column_stack([np.where(x < 20.0, 0.0, 3.0) + rng.standard_normal(n),
                         rng.standard_normal(n) * 1e150])
    y[::17, 0] = -0.0
    delta = np.ones(n) if deviations == "none" else rng.uniform(0.3, 3.0, n)
    inputs = fit_inputs(x, y, delta)
    w = 1.0 / (delta * delta)
    rounded = (w[:, None] * y) / w[:, None]
    assert (rounded.tobytes() != y.tobytes()) == (deviations == "rounding")
    assert inputs.values.tobytes() == rounded.tobytes()
    formed = fit_formed(inputs, 0.3, 5.0)
    raw = _engine.fit(x, y, delta, 0.3, 5.0, "DOMINANCE", "none")
    assert formed.breaks.tobytes() == raw["breaks"].tobytes()
    assert formed.coefs.tobytes() == raw["coefs"].tobytes()
    np.testing.assert_array_equal(formed.jump_idx, raw["jump_indices"])
    assert formed.sites.tobytes() == raw["x"].tobytes()
