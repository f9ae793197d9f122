"""vorn.select's default choice: priced jumps and a bandwidth by an information criterion."""

from __future__ import annotations

import math
import sys

import numpy as np
import pytest

import vorn
from vorn import datasets
from vorn._search import Rule


def _step(n_left, n_right, height, noise, seed):
    rng = np.random.default_rng(seed)
    return np.r_[np.zeros(n_left), np.full(n_right, height)] + noise * rng.standard_normal(
        n_left + n_right)


# -- the examples that went wrong before ----------------------------------------------------


def test_one_wild_sample_makes_no_jump_and_keeps_smoothing():
    rng = np.random.default_rng(0)
    x = np.linspace(0, 1, 300)
    y = np.sin(6 * x) + 0.1 * rng.standard_normal(300)
    y[150] += 10
    s = vorn.select(x, y)
    assert s.p < 1.0
    assert s.fit.jumps.size <= 2
    assert set(s.fit.jump_indices.tolist()) <= {149, 150}
    assert 150 in s.downweighted.tolist()
    # The curve near the wild sample stays on the sine, not on the spike.
    assert abs(float(s.fit(x[150])) - np.sin(6 * x[150])) < 0.2


def test_clean_step_without_sites_has_exactly_one_jump():
    y = _step(500, 700, 3.0, 0.2, 0)
    s = vorn.select(None, y)
    np.testing.assert_array_equal(s.fit.jumps, [500.5])
    np.testing.assert_array_equal(s.fit.jump_indices, [499])


# -- rates over many signals -----------------------------------------------------------------
# Each property is a count over a fixed corpus of N seeded signals (seeds 0 to N - 1). Its pass
# line is the rate r measured on a disjoint corpus of 1000 signals (seeds 1000 to 1999, by
# `python test_pkg_select_choice.py 1000`) less three binomial standard deviations of a count of
# N: floor(N r - 3 sqrt(N r (1 - r))). A method as good as today's falls below it with
# probability about 0.1 %, so a harmless change or a better method passes. Measured by scaling
# the price locally: 0.97 and 1.03 times it pass every line; half the price fails three (false
# jumps in steps 67 of 80 held, smooth autocorrelated series 25 of 40, test signals 51 of 60),
# twice the price two (large steps found 32 of 80, test signals 45 of 60).


def _step_signal(seed, low, high):
    """n = 100, one jump of low to high noise deviations after sample 19 to 78."""
    rng = np.random.default_rng(seed)
    height = rng.uniform(low, high)
    last = int(rng.integers(20, 80)) - 1
    y = np.r_[np.zeros(last + 1), np.full(99 - last, height)] + rng.standard_normal(100)
    return y, last


def _large_step_found(seed):
    y, last = _step_signal(seed, 3.0, 4.9)
    return bool(np.any(np.abs(vorn.select(None, y).fit.jump_indices - last) <= 2))


def _step_adds_no_false_jump(seed):
    y, last = _step_signal(seed, 1.2, 4.9)
    found = vorn.select(None, y).fit.jump_indices
    return bool(np.all(np.abs(found - last) <= 2)) and found.size <= 1


def _autocorrelated_smooth_signal_has_no_jump(seed):
    rng = np.random.default_rng(seed)
    n, phi = 600, 0.5
    e = np.empty(n)
    e[0] = rng.standard_normal()
    for i in range(1, n):
        e[i] = phi * e[i - 1] + np.sqrt(1 - phi**2) * rng.standard_normal()
    x = np.linspace(0, 1, n)
    return vorn.select(x, 3 * np.sin(4 * x) + e).fit.jumps.size == 0


def _autocorrelated_noise_has_no_jump(seed):
    # AR(1) noise at phi 0.5 read as independent wanders as far as a jump would; its jumps fail
    # their evidence (without that check the rate on seeds 1000 to 1999 is 0.865, and 436 of
    # these 500 hold).
    rng = np.random.default_rng(seed)
    n, phi = 200, 0.5
    e = np.empty(n)
    e[0] = rng.standard_normal() / np.sqrt(1 - phi**2)
    for i in range(1, n):
        e[i] = phi * e[i - 1] + rng.standard_normal()
    return vorn.select(None, e).fit.jumps.size == 0


def _short_sine_has_no_jump(seed):
    # A sine of 1 to 4 periods on 50 samples: the curve narrow enough to follow it cut its
    # steep flanks (0.922 without the evidence a narrow curve's jumps must show 4 samples wide).
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 1.0, 50)
    clean = rng.uniform(2.0, 6.0) * np.sin(2 * np.pi * rng.uniform(1.0, 4.0) * x
                                           + rng.uniform(0.0, 2 * np.pi))
    return vorn.select(x, clean + rng.standard_normal(50)).fit.jumps.size == 0


def _test_signal_recovered(seed):
    make = datasets.heavisine if seed % 2 == 0 else datasets.blocks_trend
    x, y, truth = make(n=200, noise=0.3, seed=seed)
    jumps = vorn.select(x, y).fit.jumps
    return jumps.shape == truth.shape and bool(np.all(np.abs(jumps - truth) <= x[1] - x[0]))


# property: (signals in the test, rate measured on seeds 1000 to 1999); pass lines 65 of 80,
# 76 of 80, 35 of 40, 442 of 500, 938 of 1000 and 53 of 60. The earlier tests asked every step of 3 or more deviations
# to be found in 20 seeds, a rate of 0.912 that those seeds happened to reach.
RATES = {
    _large_step_found: (80, 0.912),
    _step_adds_no_false_jump: (80, 0.988),
    _autocorrelated_smooth_signal_has_no_jump: (40, 0.965),
    _autocorrelated_noise_has_no_jump: (500, 0.921),
    _short_sine_has_no_jump: (1000, 0.958),
    _test_signal_recovered: (60, 0.960),
}


def pass_line(signals, rate):
    return math.floor(signals * rate - 3.0 * math.sqrt(signals * rate * (1.0 - rate)))


@pytest.mark.parametrize("prop", list(RATES), ids=lambda prop: prop.__name__.strip("_"))
def test_rate_over_many_signals(prop):
    signals, rate = RATES[prop]
    held = sum(prop(seed) for seed in range(signals))
    assert held >= pass_line(signals, rate), (held, signals, rate)


# -- scale invariance -----------------------------------------------------------------------


@pytest.fixture(scope="module")
def reference():
    rng = np.random.default_rng(5)
    x = np.sort(rng.uniform(0, 10, 250))
    y = np.cos(x) + 2.0 * (x > 4) + 0.3 * rng.standard_normal(250)
    return x, y, vorn.select(x, y)


@pytest.mark.parametrize("y_scale", [1e-3, 1e3])
@pytest.mark.parametrize("x_shift, x_scale", [(0.0, 1.0), (1e4, 1.0), (0.0, 1e-3),
                                              (-50.0, 1e3)])
def test_units_of_x_and_y_do_not_change_the_answer(reference, y_scale, x_shift, x_scale):
    x, y, s = reference
    t = vorn.select(x_shift + x_scale * x, y_scale * y)
    np.testing.assert_array_equal(t.fit.jump_indices, s.fit.jump_indices)
    assert t.bandwidth_samples == s.bandwidth_samples
    assert t.penalty == pytest.approx(s.penalty, rel=1e-9)
    assert t.bandwidth == pytest.approx(x_scale * s.bandwidth, rel=1e-9)
    assert t.noise == pytest.approx(y_scale * s.noise, rel=1e-9)
    # gamma / p carries the units of y squared; lambda = (1 - p) / p those of x cubed.
    assert t.gamma / t.p == pytest.approx(y_scale**2 * s.gamma / s.p, rel=1e-6)
    lam_s, lam_t = (1 - s.p) / s.p, (1 - t.p) / t.p
    assert lam_t == pytest.approx(x_scale**3 * lam_s, rel=1e-6 if x_scale >= 1 else 1e-2)
    np.testing.assert_allclose(t.fit(x_shift + x_scale * x), y_scale * s.fit(x),
                               rtol=1e-5, atol=1e-6 * y_scale)


# -- natural units --------------------------------------------------------------------------


def test_natural_units_convert_exactly():
    x, y, _ = datasets.heavisine(n=150, noise=0.2, seed=2)
    s = vorn.select(x, y)
    h = (x[-1] - x[0]) / (x.size - 1)
    # Independent arithmetic: p = 1 / (1 + b**4 h**3) at unit weights, gamma = p c s**2.
    b = s.bandwidth_samples
    assert s.p == pytest.approx(1.0 / (1.0 + b**4 * h**3), rel=1e-12)
    assert s.gamma == pytest.approx(s.p * s.penalty * s.noise**2, rel=1e-12)
    assert s.bandwidth == pytest.approx(b * h, rel=1e-12)


def test_fit_takes_natural_units():
    x, y, _ = datasets.heavisine(n=150, noise=0.2, seed=2)
    s = vorn.select(x, y)
    by_samples = vorn.fit(x, y, bandwidth_samples=s.bandwidth_samples, penalty=s.penalty)
    by_x = vorn.fit(x, y, bandwidth=s.bandwidth, penalty=s.penalty)
    direct = vorn.fit(x, y, s.p, s.gamma)
    for f in (by_samples, by_x):
        assert f.p == pytest.approx(s.p, rel=1e-12)
        assert f.gamma == pytest.approx(s.gamma, rel=1e-12)
        np.testing.assert_array_equal(f.jump_indices, direct.jump_indices)
    mixed = vorn.fit(x, y, 0.999, penalty=20.0)
    assert mixed.gamma == pytest.approx(0.999 * 20.0 * s.noise**2, rel=1e-12)


def test_delta_is_the_unit_of_the_penalty():
    x, y, _ = datasets.heavisine(n=150, noise=0.2, seed=2)
    a = vorn.select(x, y)
    b = vorn.select(x, y, delta=np.full(x.size, 0.1))
    # The noise is measured in units of delta; the choice in natural units is unchanged.
    assert b.noise == pytest.approx(a.noise / 0.1, rel=1e-9)
    assert b.penalty == pytest.approx(a.penalty, rel=1e-9)
    assert b.bandwidth_samples == a.bandwidth_samples
    np.testing.assert_array_equal(a.fit.jump_indices, b.fit.jump_indices)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"bandwidth": 0.1, "bandwidth_samples": 4}, ValueError,
         "give bandwidth or bandwidth_samples, not both"),
        ({"bandwidth": -1.0}, ValueError, "bandwidth must be positive and finite, got -1.0"),
        ({"bandwidth_samples": "4"}, TypeError, "bandwidth_samples must be a real number, got str"),
        ({"penalty": 0.0}, ValueError, "penalty must be positive, got 0.0"),
        ({"method": "gcv"}, ValueError, "method must be 'priced' or 'cv', got 'gcv'"),
        ({"gamma": 1.0, "penalty": 3.0}, ValueError, "give gamma or penalty, not both"),
        ({"gamma": [1.0, 2.0]}, ValueError, "gamma must be a number with method='priced'; "
                                            "candidate sequences need method='cv'"),
        ({"gamma": -1.0}, ValueError, "gamma must be >= 0, got -1.0"),
        ({"p": [0.9, 0.99]}, ValueError, "p must be a number with method='priced'; "
                                         "candidate sequences need method='cv'"),
        ({"p": 0.9, "bandwidth": 0.1}, ValueError, "give p or a bandwidth, not both"),
        ({"method": "cv", "penalty": 3.0}, ValueError,
         "bandwidth, bandwidth_samples and penalty need method='priced'"),
    ],
)
def test_user_errors(kwargs, exc, message):
    x, y, _ = datasets.heavisine(n=40, noise=0.2)
    with pytest.raises(exc) as info:
        vorn.select(x, y, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"p": 0.9, "bandwidth": 0.1, "gamma": 1.0},
         "give exactly one of p, bandwidth and bandwidth_samples, got p, bandwidth"),
        ({"bandwidth": 0.1}, "give exactly one of gamma and penalty"),
        ({"bandwidth": 0.1, "gamma": 1.0, "penalty": 2.0},
         "give exactly one of gamma and penalty"),
        ({"gamma": 1.0, "penalty": 1.0}, "give exactly one of p, bandwidth and "
                                         "bandwidth_samples, got none"),
    ],
)
def test_fit_natural_unit_errors(kwargs, message):
    x, y, _ = datasets.heavisine(n=40, noise=0.2)
    with pytest.raises(ValueError) as info:
        vorn.fit(x, y, **kwargs)
    assert str(info.value) == message


# -- fixed parts of the choice --------------------------------------------------------------


def test_fixed_bandwidth_and_penalty_are_used_as_given():
    x, y, _ = datasets.blocks_trend(n=200, noise=0.3, seed=1)
    s = vorn.select(x, y, bandwidth_samples=8.0, penalty=30.0)
    assert (s.bandwidth_samples, s.penalty) == (8.0, 30.0)
    direct = vorn.fit(x, y, bandwidth_samples=8.0, penalty=30.0)
    np.testing.assert_array_equal(s.fit.jump_indices, direct.jump_indices)
    assert "given bandwidth" in s.criterion and "given penalty" in s.criterion


def test_a_fixed_bandwidth_doubles_the_price_against_short_segments_at_most_six_times():
    # A bandwidth of 64 samples cannot follow a bump 6 samples wide: the fit cuts it out as a
    # short segment, and the chosen price doubles until that no longer pays. A low bump
    # goes after a few doublings; a tall one stays after the sixth, where the doubling stops.
    noise = np.random.default_rng(5).standard_normal(400)
    bumps = {}
    for height in (8.0, 1000.0):
        y = noise.copy()
        y[200:206] += height
        bumps[height] = vorn.select(None, y, bandwidth_samples=64)
    low, tall = bumps[8.0], bumps[1000.0]
    assert low.fit.jump_indices.size == 0 and tall.fit.jump_indices.tolist() == [199, 205]
    assert "0 halvings of the bandwidth and 6 doublings of the penalty" in tall.criterion
    doublings = int(low.criterion.split(" doublings of the penalty")[0].rsplit(" ", 1)[1])
    assert 1 <= doublings <= 5
    for s, times in ((low, doublings), (tall, 6)):
        assert s.penalty == pytest.approx(Rule().price(400, 1, s.phi) * 2.0**times, rel=1e-12)
    assert low.bandwidth_samples == tall.bandwidth_samples == 64
    # A plateau exactly one bandwidth long is not shorter than one: kept without a doubling.
    y = noise.copy()
    y[200:264] += 30.0
    exact = vorn.select(None, y, bandwidth_samples=64)
    assert exact.fit.jump_indices.tolist() == [199, 263] and "doublings" not in exact.criterion


def test_the_bandwidth_is_halved_until_no_segment_is_shorter_than_it(monkeypatch):
    # A bump 4 samples wide: the criterion's first bandwidth is too stiff to follow it, and
    # one halving is not enough (three were, when this was written).
    y = np.random.default_rng(5).standard_normal(400)
    y[200:204] += 10.0
    # The box is two steps: constant levels take the narrow smooth choice's place.
    steps = vorn.select(None, y)
    assert steps.segments == "constant" and steps.fit.jump_indices.tolist() == [199, 203]
    monkeypatch.setattr(vorn._select, "steps_if_simpler", lambda *args, **kwargs: None)
    s = vorn.select(None, y)
    assert " of the bandwidth" in s.criterion and "then 0 halvings" not in s.criterion
    lengths = np.diff(np.r_[0, s.fit.jump_indices + 1, y.size])
    assert lengths.min() >= s.bandwidth_samples


def test_an_offset_does_not_change_the_choice_with_delta():
    rng = np.random.default_rng(1)
    delta = rng.uniform(0.5, 1.0, 300)
    y = np.where(np.arange(300) >= 150, 1.0, 0.0) + 0.05 * delta * rng.standard_normal(300)
    plain = vorn.select(None, y, delta=delta)
    assert plain.fit.jump_indices.tolist() == [149]
    # Differences of y / delta read the level of 1 times the spread of 1 / delta as noise.
    assert plain.noise == pytest.approx(0.05, rel=0.15)
    shifted = vorn.select(None, y + 10.0, delta=delta)
    assert shifted.noise == pytest.approx(plain.noise, rel=1e-6)
    assert shifted.fit.jump_indices.tolist() == [149]


def test_fixed_p_is_a_bandwidth():
    x, y, _ = datasets.blocks_trend(n=200, noise=0.3, seed=1)
    s = vorn.select(x, y, p=0.9999)
    assert s.p == 0.9999  # kept to the last bit, not rebuilt from its bandwidth
    h = x[1] - x[0]
    assert s.bandwidth_samples == pytest.approx((1e-4 / 0.9999 / h**3) ** 0.25, rel=1e-9)
    assert s.gamma == pytest.approx(0.9999 * s.penalty * s.noise**2, rel=1e-12)


# -- explanation ----------------------------------------------------------------------------


def test_selection_explains_itself():
    x, y, truth = datasets.blocks_trend(n=200, noise=0.3, seed=2)
    s = vorn.select(x, y)
    text = s.explain()
    assert "information criterion" in s.criterion and s.criterion in text
    assert f"{truth.size} jumps" in text and "noise variances" in text
    assert s.noise == pytest.approx(0.3, rel=0.2)
    assert s.seed is None and s.folds is None
    assert np.isfinite(s.score) and s.score in s.table["score"]
    assert sum(s.searches) > 0 and s.searches[-1] == x.size


def test_penalty_path_is_monotone_and_matches_direct_fits():
    x, y, truth = datasets.blocks_trend(n=150, noise=0.3, seed=4)
    s = vorn.select(x, y)
    path = s.path
    assert np.all(np.diff(path["penalty"]) > 0)
    assert np.all(np.diff(path["jumps"]) <= 0)
    assert path["penalty"][0] == pytest.approx(s.penalty / 8) and \
        path["penalty"][-1] == pytest.approx(s.penalty * 8)
    for row in path[:: max(1, path.size // 4)]:
        f = vorn.fit(x, y, bandwidth_samples=s.bandwidth_samples, penalty=float(row["penalty"]))
        assert f.jumps.size == row["jumps"]
        assert f.gamma == pytest.approx(row["gamma"], rel=1e-12)
    chosen = path["jumps"][np.argmin(np.abs(np.log(path["penalty"] / s.penalty)))]
    assert chosen == truth.size


def test_plot_draws_fit_and_path(tmp_path):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    x, y, _ = datasets.blocks_trend(n=120, noise=0.3, seed=4)
    axes = vorn.select(x, y).plot()
    assert axes.shape == (2,)
    assert axes[1].get_xscale() == "log"
    assert axes[1].get_xlabel() == "penalty (noise variances)"
    axes[0].figure.savefig(tmp_path / "s.png")


def test_plot_without_matplotlib_names_the_extra(monkeypatch):
    x, y, _ = datasets.blocks_trend(n=60, noise=0.3, seed=4)
    s = vorn.select(x, y)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install 'vorn\[plot\]'"):
        s.plot()


def test_progress_bar_counts_the_searches(monkeypatch):
    tqdm_auto = pytest.importorskip("tqdm.auto")
    seen = {}

    class Recorder(tqdm_auto.tqdm):
        def __init__(self, *args, **kwargs):
            seen["disable"] = kwargs.get("disable")
            kwargs["disable"] = False
            kwargs["file"] = open("/dev/null", "w")
            super().__init__(*args, **kwargs)

        def close(self):
            seen["n"] = self.n
            super().close()

    monkeypatch.setattr(tqdm_auto, "tqdm", Recorder)
    x, y, _ = datasets.heavisine(n=80, noise=0.2, seed=3)
    s = vorn.select(x, y, progress=True)
    assert seen["disable"] is None
    assert seen["n"] == len(s.searches)


def test_short_series_are_not_shown_a_bar_by_default(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    x, y, _ = datasets.heavisine(n=80, noise=0.2, seed=3)
    assert vorn.select(x, y).fit.jumps.size == 2  # no ImportError: no bar wanted


def test_several_columns_share_the_jumps():
    rng = np.random.default_rng(3)
    x = np.linspace(0, 1, 300)
    step = (x > 0.4).astype(float)
    y = np.column_stack([np.sin(3 * x) + step, np.cos(2 * x) - 0.8 * step])
    y += 0.15 * rng.standard_normal(y.shape)
    s = vorn.select(x, y)
    np.testing.assert_array_equal(s.fit.jump_indices, [np.flatnonzero(x <= 0.4)[-1]])


def test_missing_and_repeated_sites():
    x, y, truth = datasets.blocks_trend(n=200, noise=0.3, seed=1)
    y_missing = y.copy()
    y_missing[[5, 77]] = np.nan
    a = vorn.select(x, y_missing)
    b = vorn.select(np.delete(x, [5, 77]), np.delete(y, [5, 77]))
    assert (a.p, a.gamma) == (b.p, b.gamma)
    np.testing.assert_array_equal(a.fit.jumps, b.fit.jumps)


@pytest.mark.parametrize("x_scale, y_scale", [(1.0, 1.0), (1e-3, 1e3), (1e3, 1e-3)])
def test_natural_units_give_the_same_answer_in_any_units(x_scale, y_scale):
    # In raw units p = 0.99, gamma = 5 gives dozens of jumps on the Nile and p = 0.999,
    # gamma = 2 none in a clear step; the natural values mean the same in any units.
    years, flow, truth = datasets.nile()
    f = vorn.fit(x_scale * years, y_scale * flow, bandwidth_samples=8, penalty=16)
    np.testing.assert_allclose(f.jumps, x_scale * truth, rtol=1e-12)
    rng = np.random.default_rng(0)
    x = np.linspace(0, 1, 200)
    y = 2.0 * (x > 0.6) + 0.3 * rng.standard_normal(200)
    g = vorn.fit(x_scale * x, y_scale * y, bandwidth_samples=4, penalty=20)
    np.testing.assert_array_equal(g.jump_indices, [np.flatnonzero(x <= 0.6)[-1]])
    assert vorn.fit(None, y, 0.999, 2.0).jumps.size == 0
    assert vorn.fit(years, flow, 0.99, 5.0).jumps.size > 40


def test_selection_pickles_before_and_after_its_path():
    import pickle

    x, y, _ = datasets.blocks_trend(n=120, noise=0.3, seed=4)
    s = vorn.select(x, y)
    copy = pickle.loads(pickle.dumps(s))
    np.testing.assert_array_equal(copy.path, s.path)
    again = pickle.loads(pickle.dumps(s))
    np.testing.assert_array_equal(again.path, s.path)
    assert (again.p, again.gamma, again.penalty) == (s.p, s.gamma, s.penalty)


@pytest.mark.parametrize("n", [2, 3, 5, 9, 15])
def test_very_short_series_are_fitted_without_folds(n):
    y = np.random.default_rng(n).standard_normal(n)
    s = vorn.select(None, y)
    assert s.fit.x.size == n and s.bandwidth_samples >= 1.0
    # Folds matter only when given (or with method="cv").
    with pytest.raises(ValueError, match=rf"folds must lie between 2 and the number of samples "
                                         rf"\({n}\), got {n + 1}"):
        vorn.select(None, y, folds=n + 1)


if __name__ == "__main__":
    # Measures the rates behind RATES: python test_pkg_select_choice.py [signals]
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    for prop in RATES:
        held = sum(prop(seed) for seed in range(1000, 1000 + count))
        print(f"{prop.__name__}: {held} of {count} = {held / count:.4f}")


class _Evidence:
    """A fit of the given jumps and significances, the fits by penalty, for the evidence
    check alone."""

    frame = None

    x = np.zeros(100)

    def __init__(self, jumps, significance):
        self.jump_indices = np.asarray(jumps, dtype=np.intp)
        self.jump_evidence = type("E", (), {"significance": np.asarray(significance, float)})


@pytest.mark.parametrize("by_penalty, width, expected", [
    # A jump that fails goes at a dearer penalty that keeps the one that passed.
    ({10.0: ([40, 80], [0.001, 0.2]), 20.0: ([40], [0.001])}, 4.0, 20.0),
    # Two doublings while the second jump still fails, the first kept within 2 samples.
    ({10.0: ([40, 80], [0.001, 0.2]), 20.0: ([41, 80], [0.002, 0.05]), 40.0: ([41], [0.0])},
     4.0, 40.0),
    # The dearer fit would lose a jump that passed: the fit stays.
    ({10.0: ([40, 80], [0.001, 0.2]), 20.0: ([], [])}, 4.0, 10.0),
    # Within 3 bandwidths of the end (12 samples of 4): not judged.
    ({10.0: ([40, 90], [0.001, 0.9]), 20.0: ([40], [0.001])}, 4.0, 10.0),
    # No jump: nothing judged, no fit made.
    ({}, 4.0, 10.0),
])
def test_jumps_are_judged_by_their_evidence_where_it_speaks_of_steps(by_penalty, width,
                                                                     expected):
    from vorn._search import _significant

    asked = []
    fits = type("F", (), {"stretch": 1.0, "m": 100, "factors": np.ones(100), "checked": None,
                          "jumps_at": lambda self, b, pen: len(by_penalty.get(pen, [[]])[0])})()

    def fit_of(b, pen, factors, standard=False):
        assert not standard
        asked.append((b, pen))
        return _Evidence(*by_penalty[pen])

    penalty, criterion = _significant(fits, width, 10.0, "chosen", fit_of)
    assert penalty == expected
    assert all(b == width for b, _ in asked)
    if expected == 10.0:
        assert criterion == "chosen"
    else:
        raised = int(np.log2(expected / 10.0))
        assert criterion == ("chosen, then " + ("1 doubling" if raised == 1 else
                                                f"{raised} doublings")
                             + " of the penalty to leave no jump with more than 3 bandwidths "
                             "of segment either side whose significance exceeds 0.01")


@pytest.mark.parametrize("by_fit, expected, asked_for", [
    # The jump at 80 has no significant jump near it 4 samples wide: the dearer fit keeps the
    # supported one at 40 (within 2 samples of the reference's 41), and then all are.
    ({(2.0, 10.0): ([40, 80], []), (4.0, 10.0): ([41, 79], [0.001, 0.2]),
      (2.0, 20.0): ([40], []), (4.0, 20.0): ([41], [0.001])}, 20.0,
     [(2.0, 10.0), (4.0, 10.0), (2.0, 20.0), (4.0, 20.0)]),
    # Every jump supported: one reference fit, no doubling.
    ({(2.0, 10.0): ([40, 80], []), (4.0, 10.0): ([42, 78], [0.001, 0.01])}, 10.0,
     [(2.0, 10.0), (4.0, 10.0)]),
    # The reference fit has no jump there at all: the jump goes.
    ({(2.0, 10.0): ([80], []), (4.0, 10.0): ([], []), (2.0, 20.0): ([], [])}, 20.0,
     [(2.0, 10.0), (4.0, 10.0), (2.0, 20.0)]),
    # The dearer fit would lose the supported jump: the fit stays.
    ({(2.0, 10.0): ([40, 80], []), (4.0, 10.0): ([40], [0.0]), (2.0, 20.0): ([60], [])}, 10.0,
     [(2.0, 10.0), (4.0, 10.0), (2.0, 20.0)]),
])
def test_jumps_of_a_narrow_curve_need_evidence_four_samples_wide(by_fit, expected, asked_for):
    from vorn._search import _significant

    asked = []
    fits = type("F", (), {"stretch": 1.0, "m": 100, "factors": np.ones(100), "checked": None,
                          "jumps_at": lambda self, b, pen: len(by_fit[(2.0, pen)][0])})()

    def fit_of(b, pen, factors, standard=False):
        assert standard
        asked.append((b, pen))
        return _Evidence(*by_fit[(b, pen)])

    penalty, criterion = _significant(fits, 2.0, 10.0, "chosen", fit_of)
    assert penalty == expected
    assert asked == asked_for
    assert criterion == ("chosen" if expected == 10.0 else
                         "chosen, then 1 doubling of the penalty to leave no jump without one "
                         "within 2 samples whose significance is at most 0.01 in the fit 4 "
                         "samples wide")


def test_a_fit_in_a_frame_is_judged_on_the_samples_in_standardised_units():
    # In the caller's units p rounds to 1 (the fit has a frame, its jumps no evidence): the
    # check then reads fits of the standardised samples, and so does every dearer one.
    from vorn._search import _significant

    asked = []
    fits = type("F", (), {"stretch": 1.0, "m": 100, "factors": np.ones(100), "checked": None,
                          "jumps_at": lambda self, b, pen: 2})()
    standard_fits = {10.0: ([40, 80], [0.001, 0.2]), 20.0: ([40], [0.001])}

    def fit_of(b, pen, factors, standard=False):
        asked.append((pen, standard))
        if not standard:
            framed = _Evidence([40, 80], [])
            framed.frame = "standardised"
            return framed
        return _Evidence(*standard_fits[pen])

    penalty, _ = _significant(fits, 4.0, 10.0, "chosen", fit_of)
    assert penalty == 20.0
    assert asked == [(10.0, False), (10.0, True), (20.0, True)]
