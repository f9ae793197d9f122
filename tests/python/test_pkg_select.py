"""vorn.select with method="cv": parameter choice by K-fold cross-validation."""

from __future__ import annotations

import sys

import numpy as np
import pytest

import _vorn_core
import vorn
from vorn import datasets


def _assert_recovers(found, truth, spacing):
    assert found.shape == truth.shape, f"found jumps {found}, expected {truth}"
    np.testing.assert_allclose(found, truth, atol=spacing)


@pytest.mark.parametrize("seed", [1, 2])
def test_recovers_heavisine_jumps(seed):
    x, y, truth = datasets.heavisine(n=200, noise=0.3, seed=seed)
    s = vorn.select(x, y)
    _assert_recovers(s.fit.jumps, truth, x[1] - x[0])


@pytest.mark.parametrize("seed", [1, 2])
def test_recovers_blocks_trend_jumps(seed):
    x, y, truth = datasets.blocks_trend(n=200, noise=0.3, seed=seed)
    s = vorn.select(x, y)
    _assert_recovers(s.fit.jumps, truth, x[1] - x[0])


@pytest.fixture(scope="module")
def heavi_selection():
    x, y, truth = datasets.heavisine(n=150, noise=0.3, seed=8)
    return x, y, vorn.select(x, y, method="cv", folds=5, seed=3)


def _cell_value(cell, site):
    """One segment's own spline (extended linearly) at one site, through SciPy."""
    from scipy.interpolate import PPoly

    pieces = cell["breaks"].size - 1
    c = cell["coefs"].reshape(pieces, cell["dim"], 4).transpose(2, 0, 1)
    return PPoly(c, cell["breaks"])(site)


def _independent_cv(x, y, p, gamma, folds):
    """Gap-aware K-fold score written out sample by sample."""
    pytest.importorskip("scipy")
    total = 0.0
    for fold in folds:
        train = np.setdiff1d(np.arange(x.size), fold)
        f = vorn.fit(x[train], y[train], p, gamma)
        for k in fold:
            site = x[k]
            err = float(np.sum((f(site) - y[k]) ** 2))
            for j, last in enumerate(f.jump_indices):
                if f.x[last] < site < f.x[last + 1]:
                    cells = f.raw["pp_cell"]
                    left = float(np.sum((_cell_value(cells[j], site) - y[k]) ** 2))
                    right = float(np.sum((_cell_value(cells[j + 1], site) - y[k]) ** 2))
                    err = min(left, right)
            total += err
    return total / x.size


def _seeded_folds(n, k, seed):
    order = np.random.default_rng(seed).permutation(n)
    size, extra = divmod(n, k)
    bounds = np.cumsum([0] + [size + (i < extra) for i in range(k)])
    return [order[a:b] for a, b in zip(bounds[:-1], bounds[1:])]


def test_score_is_the_cross_validation_of_the_chosen_pair(heavi_selection):
    x, y, s = heavi_selection
    # Folds rebuilt independently: a seeded permutation cut into five parts of 30.
    folds = _seeded_folds(x.size, 5, 3)
    assert [f.size for f in folds] == [30] * 5
    assert s.score == pytest.approx(_independent_cv(x, y, s.p, s.gamma, folds), rel=1e-10)
    assert s.folds == 5 and s.seed == 3


def test_core_scoring_is_the_extensions_score():
    x, y, _ = datasets.heavisine(n=90, noise=0.3, seed=4)
    s = vorn.select(x, y, method="cv", folds=4, seed=1, scoring="core")
    folds = [f.tolist() for f in _seeded_folds(x.size, 4, 1)]
    for row in s.table[:: max(1, s.table.size // 7)]:
        expected = _vorn_core.vorn_cvscore(x, y.reshape(-1, 1), row["p"], row["gamma"],
                                           np.ones(x.size), folds, "PELT", "none")
        assert row["score"] == expected


def test_scorings_agree_without_jumps_and_away_from_jumps():
    x, y, _ = datasets.blocks_trend(n=100, noise=0.2, seed=6)
    yy, delta = y.reshape(-1, 1), np.linspace(0.5, 1.5, x.size)
    folds = [f.tolist() for f in _seeded_folds(x.size, 5, 2)]
    for gamma in (np.inf, 1e6):
        core = vorn.cv_score(x, yy, delta, folds, 0.999, gamma, "core")
        gap = vorn.cv_score(x, yy, delta, folds, 0.999, gamma, "gap-aware")
        assert gap == pytest.approx(core, rel=1e-12)
    # With jumps, held-out samples that never sit next to one are scored alike.
    f = vorn.fit(x, y, 0.999, 0.5, delta=delta)
    assert f.jumps.size >= 3
    near = set(f.jump_indices.tolist()) | set((f.jump_indices + 1).tolist())
    far = [[i for i in range(k, x.size, 7) if i not in near] for k in range(7)]
    core = vorn.cv_score(x, yy, delta, far, 0.999, 0.5, "core")
    gap = vorn.cv_score(x, yy, delta, far, 0.999, 0.5, "gap-aware")
    assert gap == pytest.approx(core, rel=1e-12)


def test_gap_aware_scoring_does_not_charge_a_jump_for_its_neighbour():
    # A clean unit step on evenly spaced sites. Holding out the last sample before the step
    # puts the training fit's jump exactly on that sample's site.
    x = np.arange(20.0)
    y = np.where(x < 10, 0.0, 1.0).reshape(-1, 1)
    delta = np.ones(20)
    raw = _vorn_core.vorn(np.delete(x, 9), np.delete(y, 9, axis=0), 0.5, 0.05, None, "PELT")
    assert raw["discont"].tolist() == [9.0]
    core = vorn.cv_score(x, y, delta, [[9]], 0.5, 0.05, "core")
    gap = vorn.cv_score(x, y, delta, [[9]], 0.5, 0.05, "gap-aware")
    assert core == pytest.approx(1.0 / 20, rel=1e-9)  # predicted from the right: error 1
    assert gap == pytest.approx(0.0, abs=1e-20)
    # Its right-hand neighbour is predicted correctly by both.
    assert vorn.cv_score(x, y, delta, [[10]], 0.5, 0.05, "core") == pytest.approx(0, abs=1e-20)


def test_unscorable_pairs_are_infinite():
    x, y, _ = datasets.heavisine(n=30, noise=0.3, seed=4)
    yy, delta = y.reshape(-1, 1), np.ones(30)
    folds = [list(range(0, 30, 2)), list(range(1, 30, 2))]
    for scoring in ("core", "gap-aware"):
        assert vorn.cv_score(x, yy, delta, folds, 0.5, 0.0, scoring) == np.inf
        assert vorn.cv_score(x, yy, delta, folds, 1.5, 1.0, scoring) == np.inf
        assert vorn.cv_score(x, yy, delta, [list(range(29))], 0.5, 1.0, scoring) == np.inf


def test_table_holds_every_pair_and_the_best(heavi_selection):
    _, _, s = heavi_selection
    table = s.table
    assert table.dtype.names == ("p", "gamma", "score")
    assert table.size > 30
    pairs = set(zip(table["p"].tolist(), table["gamma"].tolist()))
    assert len(pairs) == table.size  # no pair scored twice
    finite = table["score"][np.isfinite(table["score"])]
    assert s.score == finite.min()
    best = np.flatnonzero(table["score"] == s.score)[0]
    assert (table["p"][best], table["gamma"][best]) == (s.p, s.gamma)
    assert np.all((table["p"] > 0) & (table["p"] < 1)) and np.all(table["gamma"] > 0)


def test_refit_uses_the_chosen_pair(heavi_selection):
    x, y, s = heavi_selection
    direct = vorn.fit(x, y, s.p, s.gamma)
    np.testing.assert_array_equal(s.fit.coefs, direct.coefs)
    assert s.fit.p == s.p and s.fit.gamma == s.gamma


def test_coarse_grid_first_then_refinement(heavi_selection):
    x, y, s = heavi_selection
    log_lam, log_pen = vorn.default_grid(x, y)
    coarse = log_lam.size * log_pen.size
    assert s.table.size > coarse
    p = s.table["p"]
    lam = np.log10((1 - p) / p)
    np.testing.assert_allclose(lam[:coarse], np.repeat(log_lam, log_pen.size), atol=1e-6)
    # Refinement halves the step twice: quarter steps off the coarse lines appear.
    offsets = np.round(((lam[coarse:] - log_lam[0]) % 1.0) * 4) / 4 % 1.0
    assert set(offsets.tolist()) <= {0.0, 0.25, 0.5, 0.75}
    assert {0.25, 0.5, 0.75} & set(offsets.tolist())


def test_same_seed_same_result():
    x, y, _ = datasets.blocks_trend(n=80, noise=0.2, seed=3)
    a = vorn.select(x, y, method="cv", folds=4, seed=9)
    b = vorn.select(x, y, method="cv", folds=4, seed=9)
    np.testing.assert_array_equal(a.table, b.table)
    assert (a.p, a.gamma, a.score) == (b.p, b.gamma, b.score)


def test_fixed_p_and_gamma_candidates():
    x, y, _ = datasets.heavisine(n=80, noise=0.2, seed=3)
    s = vorn.select(x, y, method="cv", folds=4, p=0.999, gamma=[0.5, 2.0, 8.0],
                    scoring="core")
    assert s.table.size == 3
    np.testing.assert_array_equal(s.table["p"], [0.999] * 3)
    np.testing.assert_array_equal(s.table["gamma"], [0.5, 2.0, 8.0])
    delta = np.ones(x.size)
    order = np.random.default_rng(0).permutation(x.size)
    folds = [part.tolist() for part in np.array_split(order, 4)]
    expected = [
        _vorn_core.vorn_cvscore(x, y.reshape(-1, 1), 0.999, g, delta, folds, "PELT", "none")
        for g in (0.5, 2.0, 8.0)
    ]
    np.testing.assert_array_equal(s.table["score"], expected)
    assert s.gamma == [0.5, 2.0, 8.0][int(np.argmin(expected))]


def test_fixed_gamma_searches_p_only():
    x, y, _ = datasets.heavisine(n=80, noise=0.2, seed=3)
    s = vorn.select(x, y, method="cv", folds=4, gamma=3.0)
    assert np.all(s.table["gamma"] == 3.0)
    assert np.unique(s.table["p"]).size == s.table.size


def test_delta_scales_the_penalty():
    x, y, _ = datasets.heavisine(n=80, noise=0.2, seed=3)
    a = vorn.select(x, y, method="cv", folds=4)
    b = vorn.select(x, y, method="cv", folds=4, delta=np.full(x.size, 0.5))
    # Weights 4: lambda = (1 - p) / p four times as large for the same smoothing bandwidth,
    # and a penalty four times as large per unit of p for the same penalty in noise units.
    np.testing.assert_allclose(b.table["p"], a.table["p"] / (4 - 3 * a.table["p"]), rtol=1e-9)
    np.testing.assert_allclose(b.table["gamma"] / b.table["p"],
                               4 * a.table["gamma"] / a.table["p"], rtol=1e-9)
    assert b.score == pytest.approx(4 * a.score, rel=1e-9)


def test_default_grid_brackets_the_spacing_rule():
    x, y, _ = datasets.heavisine(n=300, noise=0.2)
    log_lam, log_pen = vorn.default_grid(x, y)
    h = x[1] - x[0]
    # The classical interesting range of a smoothing spline starts near p = 1 / (1 + h**3 / 6).
    assert log_lam.min() < np.log10(h**3 / 6) < log_lam.max()
    np.testing.assert_allclose(np.diff(log_lam), 2.0)
    np.testing.assert_allclose(log_pen, np.arange(-0.5, 2.51, 0.5))


def test_noise_level_is_robust_to_jumps_and_trend():
    rng = np.random.default_rng(0)
    x = np.linspace(0, 1, 4000)
    noise = 0.5 * rng.standard_normal(x.size)
    clean = 3 * x + 4 * (x > 0.3) - 6 * (x > 0.7)
    sigma = vorn.noise_level(x, clean + noise)
    assert sigma.shape == (1,)
    assert sigma[0] == pytest.approx(0.5, rel=0.06)
    both = vorn.noise_level(x, np.column_stack([clean + noise, 2 * noise]),
                            delta=np.full(x.size, 2.0))
    np.testing.assert_allclose(both, [0.25, 0.5], rtol=0.06)


@pytest.mark.multiprocess
def test_parallel_scoring_gives_the_same_table():
    x, y, _ = datasets.blocks_trend(n=60, noise=0.2, seed=2)
    a = vorn.select(x, y, method="cv", folds=3)
    b = vorn.select(x, y, method="cv", folds=3, n_jobs=2)
    np.testing.assert_array_equal(a.table, b.table)


def test_progress_bar_reports_every_pair(monkeypatch):
    tqdm_auto = pytest.importorskip("tqdm.auto")
    seen = {}

    class Recorder(tqdm_auto.tqdm):
        def __init__(self, *args, **kwargs):
            seen["disable"] = kwargs.get("disable")
            kwargs["disable"] = False
            kwargs["file"] = open("/dev/null", "w")
            super().__init__(*args, **kwargs)

        def close(self):
            seen["n"], seen["total"] = self.n, self.total
            super().close()

    monkeypatch.setattr(tqdm_auto, "tqdm", Recorder)
    x, y, _ = datasets.heavisine(n=60, noise=0.2, seed=3)
    s = vorn.select(x, y, method="cv", folds=3, progress=True)
    assert seen["disable"] is None  # switches itself off away from a terminal
    assert seen["n"] == seen["total"] == s.table.size


def test_progress_without_tqdm_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    x, y, _ = datasets.heavisine(n=40, noise=0.2)
    with pytest.raises(ImportError, match=r"pip install 'vorn\[progress\]'"):
        vorn.select(x, y, method="cv", progress=True)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"folds": 1}, ValueError,
         "folds must lie between 2 and the number of samples (40), got 1"),
        ({"folds": 41}, ValueError,
         "folds must lie between 2 and the number of samples (40), got 41"),
        ({"folds": 2.0}, TypeError, "folds must be an int, got float"),
        ({"seed": "a"}, TypeError, "seed must be an int, got str"),
        ({"n_jobs": 0}, ValueError,
         "n_jobs must be a positive number of processes or -1, got 0"),
        ({"n_jobs": -2}, ValueError,
         "n_jobs must be a positive number of processes or -1, got -2"),
        ({"p": 2.0}, ValueError, "p must lie in [0, 1], got 2.0"),
        ({"p": []}, ValueError, "p must be a number or a non-empty 1-D sequence of numbers"),
        ({"gamma": [1.0, -1.0]}, ValueError, "gamma must be >= 0, got -1.0"),
        ({"gamma": [[1.0]]}, ValueError,
         "gamma must be a number or a non-empty 1-D sequence of numbers"),
        ({"gamma": 0.0, "p": 0.5}, ValueError,
         "cross-validation cannot score gamma = 0 (free jumps let every held-out sample "
         "sit in a gap); call select(x, y, gamma=0.0) with the default method, or "
         "vorn.fit(x, y, p, 0.0)"),
        ({"scoring": "plain"}, ValueError,
         "scoring must be 'gap-aware' or 'core', got 'plain'"),
    ],
)
def test_user_errors(kwargs, exc, message):
    x, y, _ = datasets.heavisine(n=40, noise=0.2)
    with pytest.raises(exc) as info:
        vorn.select(x, y, method="cv", **kwargs)
    assert str(info.value) == message


def test_data_errors_are_those_of_fit():
    with pytest.raises(ValueError) as info:
        vorn.select([1, 2, 3], [1.0, 2.0])
    assert str(info.value) == "x and y must have the same length: x has 3, y has 2"


def test_missing_values_are_left_out():
    x, y, _ = datasets.heavisine(n=60, noise=0.2, seed=1)
    y_missing = y.copy()
    y_missing[[5, 17]] = np.nan
    a = vorn.select(x, y_missing, method="cv", folds=3)
    b = vorn.select(np.delete(x, [5, 17]), np.delete(y, [5, 17]), method="cv", folds=3)
    np.testing.assert_array_equal(a.table, b.table)
    assert np.isfinite(a.score)
