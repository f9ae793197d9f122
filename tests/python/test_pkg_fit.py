"""vorn.fit and the Fit object, checked against independent computations on the raw result."""

from __future__ import annotations

import pickle
import sys

import numpy as np
import pytest

import _vorn_core
import vorn
from vorn import datasets


def _locate(breaks, site):
    """Piece serving `site`: the largest inner break <= site, written as a plain scan."""
    if not site > breaks[0]:
        return 0
    piece = 0
    for i in range(1, len(breaks) - 1):
        if breaks[i] <= site:
            piece = i
    return piece


def _direct(raw, sites, nu=0):
    """Evaluate raw breaks/coefs one site at a time with Python floats."""
    breaks = [float(b) for b in raw["breaks"]]
    d = raw["dim"]
    coefs = raw["coefs"]
    out = np.empty((len(sites), d))
    for k, site in enumerate(sites):
        i = _locate(breaks, site)
        t = site - breaks[i]
        for j in range(d):
            c3, c2, c1, c0 = (float(v) for v in coefs[i * d + j])
            if nu == 0:
                out[k, j] = c3 * t**3 + c2 * t**2 + c1 * t + c0
            elif nu == 1:
                out[k, j] = 3 * c3 * t**2 + 2 * c2 * t + c1
            elif nu == 2:
                out[k, j] = 6 * c3 * t + 2 * c2
            else:
                out[k, j] = 6 * c3
    return out


def _form_value(form, site):
    """Value of one pp_cell form at one site (its own piece rule)."""
    return _direct(form, [site])[0]


@pytest.fixture(scope="module")
def heavi():
    x, y, jumps = datasets.heavisine(n=240, noise=0.1, seed=3)
    return x, y, jumps, vorn.fit(x, y, 0.9999, 4.0)


@pytest.fixture(scope="module")
def two_columns():
    x, y1, _ = datasets.blocks_trend(n=200, noise=0.05, seed=1)
    y2 = np.cos(3 * x) - 2.0 * (x > 0.46)
    y = np.column_stack([y1, y2])
    return x, y, vorn.fit(x, y, 0.9999, 2.0)


def _probe_sites(f):
    rng = np.random.default_rng(7)
    b = f.breaks
    return np.concatenate([
        b,  # every break, inner breaks included: right piece
        f.jumps,
        [b[0] - 3.0, b[0] - 0.5, b[-1] + 0.5, b[-1] + 4.0],  # linear extrapolation
        rng.uniform(b[0] - 1.0, b[-1] + 1.0, 200),
    ])


def test_finds_the_two_heavisine_jumps(heavi):
    x, _, truth, f = heavi
    h = x[1] - x[0]
    assert f.jumps.shape == (2,)
    np.testing.assert_allclose(f.jumps, truth, atol=h)


@pytest.mark.parametrize("nu", [0, 1, 2, 3])
def test_evaluation_equals_direct_evaluation(heavi, nu):
    f = heavi[3]
    sites = _probe_sites(f)
    np.testing.assert_allclose(f(sites, nu=nu), _direct(f.raw, sites, nu)[:, 0],
                               rtol=1e-12, atol=1e-9)


@pytest.mark.parametrize("nu", [0, 1, 2, 3])
def test_evaluation_two_columns_equals_direct(two_columns, nu):
    f = two_columns[2]
    sites = _probe_sites(f)
    got = f(sites, nu=nu)
    assert got.shape == (sites.size, 2)
    np.testing.assert_allclose(got, _direct(f.raw, sites, nu), rtol=1e-12, atol=1e-9)


def test_value_at_jump_is_right_limit(heavi):
    f = heavi[3]
    cells = f.raw["pp_cell"]
    for k, loc in enumerate(f.jumps):
        assert f(loc) == pytest.approx(_form_value(cells[k + 1], loc)[0], rel=1e-13)
        assert f(loc) != pytest.approx(_form_value(cells[k], loc)[0], rel=1e-3)


def test_curve_between_jumps_is_each_segments_spline(heavi):
    x, _, _, f = heavi
    cells = f.raw["pp_cell"]
    for seg, cell in zip(f.segments, cells):
        inside = x[seg.start:seg.stop]
        expected = np.array([_form_value(cell, s)[0] for s in inside])
        np.testing.assert_allclose(f(inside), expected, rtol=1e-13, atol=1e-12)


def test_outside_the_data_the_curve_is_linear(heavi):
    f = heavi[3]
    left = f.breaks[0] - np.array([1.0, 2.0, 3.0])
    right = f.breaks[-1] + np.array([1.0, 2.0, 3.0])
    for sites in (left, right):
        np.testing.assert_allclose(np.diff(f(sites), 2), 0.0, atol=1e-9)
        np.testing.assert_allclose(f(sites, nu=2), 0.0, atol=1e-12)


def test_matches_scipy_ppoly(heavi, two_columns):
    for f in (heavi[3], two_columns[2]):
        pp = f.to_ppoly()
        sites = _probe_sites(f)
        np.testing.assert_allclose(pp(sites), f(sites), rtol=1e-12, atol=1e-10)
        for nu in (1, 2):
            np.testing.assert_allclose(pp.derivative(nu)(sites), f(sites, nu=nu),
                                       rtol=1e-10, atol=1e-7)


def test_ppoly_shapes(heavi, two_columns):
    one, two = heavi[3], two_columns[2]
    assert one.to_ppoly().c.shape == (4, one.breaks.size - 1)
    assert two.to_ppoly().c.shape == (4, two.breaks.size - 1, 2)


@pytest.mark.parametrize("nu", [1, 2])
def test_derivatives_against_finite_differences(heavi, nu):
    x, _, _, f = heavi
    # A quarter of the way between samples: away from the sites and from the jumps, which
    # lie halfway between samples, so the differences never straddle a break.
    mids = 0.75 * x[:-1] + 0.25 * x[1:]
    eps = 1e-5
    if nu == 1:
        fd = (f(mids + eps) - f(mids - eps)) / (2 * eps)
        scale = np.max(np.abs(f(mids, nu=1)))
    else:
        fd = (f(mids + eps, nu=1) - f(mids - eps, nu=1)) / (2 * eps)
        scale = np.max(np.abs(f(mids, nu=2)))
    np.testing.assert_allclose(f(mids, nu=nu), fd, atol=1e-6 * scale)


def test_jump_sizes_are_limit_differences(heavi, two_columns):
    for f in (heavi[3], two_columns[2]):
        cells = f.raw["pp_cell"]
        sizes = np.asarray(f.jump_sizes).reshape(len(f.jumps), f.dim)
        for k, loc in enumerate(f.jumps):
            expected = _form_value(cells[k + 1], loc) - _form_value(cells[k], loc)
            np.testing.assert_allclose(sizes[k], expected, rtol=1e-12, atol=1e-12)
            # The same from the curve itself, approaching the jump from both sides.
            eps = 1e-9
            approx = f(loc + eps) - f(np.nextafter(loc, -np.inf) - eps)
            np.testing.assert_allclose(sizes[k], approx, atol=1e-6)


def test_jump_sizes_of_straight_segments_are_the_least_squares_lines_apart():
    # p = 0 fits each segment's weighted least-squares line: np.polyfit is the reference.
    rng = np.random.default_rng(4)
    x = np.sort(rng.uniform(0.0, 1.0, 120))
    delta = rng.uniform(0.05, 0.2, 120)
    y = np.column_stack([1.0 + 2.0 * x - 3.0 * (x > 0.55), -x + 4.0 * (x > 0.55)])
    y += delta[:, None] * rng.standard_normal((120, 2))
    f = vorn.fit(x, y, 0.0, 50.0, delta=delta)
    last = int(np.flatnonzero(x <= 0.55)[-1])
    assert f.jump_indices.tolist() == [last]
    site = f.jumps[0]
    left, right = slice(0, last + 1), slice(last + 1, None)
    expected = [np.polyval(np.polyfit(x[right], y[right, c], 1, w=1 / delta[right]), site)
                - np.polyval(np.polyfit(x[left], y[left, c], 1, w=1 / delta[left]), site)
                for c in range(2)]
    np.testing.assert_allclose(f.jump_sizes[0], expected, rtol=1e-9)


def test_segments_and_indices(heavi):
    x, _, _, f = heavi
    segs = f.segments
    assert segs[0].start == 0 and segs[-1].stop == x.size
    assert all(a.stop == b.start for a, b in zip(segs, segs[1:]))
    assert [s.stop - 1 for s in segs[:-1]] == f.jump_indices.tolist()
    for k, idx in enumerate(f.jump_indices):
        assert f.x[idx] < f.jumps[k] < f.x[idx + 1]


def test_one_dimensional_y_same_fit_as_column(heavi):
    x, y, _, f = heavi
    g = vorn.fit(x, y.reshape(-1, 1), 0.9999, 4.0)
    np.testing.assert_array_equal(f.breaks, g.breaks)
    np.testing.assert_array_equal(f.coefs, g.coefs)
    assert f.y.shape == (x.size,) and g.y.shape == (x.size, 1)
    assert f(x).shape == (x.size,) and g(x).shape == (x.size, 1)
    assert f.jump_sizes.shape == (2,) and g.jump_sizes.shape == (2, 1)
    np.testing.assert_array_equal(f(x), g(x)[:, 0])


def test_shapes_of_evaluation(heavi, two_columns):
    f, g = heavi[3], two_columns[2]
    assert isinstance(f(0.25), np.floating)
    assert f(0.25) == f([0.25])[0]
    assert f(np.zeros((3, 4))).shape == (3, 4)
    assert g(0.25).shape == (2,)
    assert g(np.zeros((3, 4))).shape == (3, 4, 2)


def test_lists_and_ints_are_accepted():
    xs = [0, 1, 2, 3, 4, 5, 6, 7]
    ys = [0, 0, 1, 0, 5, 5, 6, 5]
    a = vorn.fit(xs, ys, 1, 3)
    b = vorn.fit(np.array(xs, float), np.array(ys, float), 1.0, 3.0)
    np.testing.assert_array_equal(a.breaks, b.breaks)
    np.testing.assert_array_equal(a.coefs, b.coefs)
    assert a.p == 1.0 and isinstance(a.p, float)


def test_x_none_means_one_to_n():
    y = np.r_[np.zeros(10), np.ones(10)] + np.linspace(0, 0.1, 20)
    a = vorn.fit(None, y, 0.5, 0.05)
    b = vorn.fit(np.arange(1.0, 21.0), y, 0.5, 0.05)
    np.testing.assert_array_equal(a.x, np.arange(1.0, 21.0))
    np.testing.assert_array_equal(a.coefs, b.coefs)
    np.testing.assert_array_equal(a.jumps, [10.5])


def test_unsorted_and_missing_rows():
    rng = np.random.default_rng(5)
    x = np.linspace(0, 1, 50)
    y = np.sin(5 * x) + (x > 0.5)
    order = rng.permutation(50)
    ys = y[order].copy()
    ys[3] = np.nan
    f = vorn.fit(x[order], ys, 0.999, 0.5)
    assert f.x.size == 49
    assert np.all(np.diff(f.x) > 0)
    g = vorn.fit(np.delete(x[order], 3), np.delete(ys, 3), 0.999, 0.5)
    np.testing.assert_array_equal(f.coefs, g.coefs)


def test_default_pruning_is_dominance_and_finds_the_core_partition(heavi):
    x, y, _, f = heavi
    assert f.pruning == "DOMINANCE"
    raw = _vorn_core.vorn(x, y.reshape(-1, 1), 0.9999, 4.0, None, "PELT", "none")
    np.testing.assert_array_equal(f.breaks, raw["breaks"])
    np.testing.assert_array_equal(f.coefs.reshape(-1, 4), raw["coefs"])
    np.testing.assert_array_equal(f.jumps, raw["discont"])
    np.testing.assert_array_equal(f.jump_indices, raw["discont_idx"])
    pelt = vorn.fit(x, y, 0.9999, 4.0, pruning="pelt")
    assert pelt.pruning == "PELT"
    assert pelt.complexity_counter == raw["complexity_counter"]
    assert f.raw["complexity_counter"] == raw["complexity_counter"]
    np.testing.assert_array_equal(f.raw["coefs"], raw["coefs"])
    fpvi = vorn.fit(x, y, 0.9999, 4.0, pruning="fpvi")
    assert fpvi.pruning == "FPVI"
    np.testing.assert_array_equal(fpvi.raw["partition"], f.raw["partition"])
    np.testing.assert_allclose(fpvi.raw["F"], f.raw["F"], rtol=1e-9)
    np.testing.assert_array_equal(fpvi.jumps, f.jumps)


def test_the_extension_loads_only_when_raw_is_asked_for(tmp_path):
    import subprocess

    # Every public call of a session, then the one attribute that needs the extension.
    script = """
import sys
import numpy as np
import vorn
x, y, _ = vorn.datasets.heavisine(n=120, noise=0.2)
f = vorn.fit(x, y, 0.9999, 4.0)
vorn.select(x, y)
f.jump_table()
vorn.cv_score(x, y, None, 5, 0.9999, 4.0)
vorn.noise_level(x, y)
print("_vorn_core" in sys.modules)
raw = f.raw
print("_vorn_core" in sys.modules, bool(np.array_equal(raw["discont"], f.jumps)))
"""
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["False", "True", "True"]


def test_pelt_work_grows_linearly_where_fpvi_grows_quadratically():
    counters = {}
    for n in (400, 1600):
        x, y, _ = _many_jumps(n)
        for pruning in ("PELT", "FPVI"):
            f = vorn.fit(x, y, 0.9999, 5.0, pruning=pruning)
            counters[pruning, n] = f.complexity_counter
            assert len(f.jumps) == n // 100 - 1
    # Four times the data: PELT does about four times the work, FPVI about sixteen times.
    assert counters["PELT", 1600] < 6 * counters["PELT", 400]
    assert counters["FPVI", 1600] > 10 * counters["FPVI", 400]


def _many_jumps(n):
    """Blocks of 100 samples with alternating levels on a gentle trend: jumps grow with n."""
    x = np.arange(n, dtype=float) / 100.0
    rng = np.random.default_rng(11)
    levels = np.where(np.arange(n) // 100 % 2 == 0, 0.0, 3.0)
    y = levels + 0.2 * np.sin(x) + 0.1 * rng.standard_normal(n)
    return x, y, np.arange(1, n // 100) - 0.005


def test_options_are_canonicalised(heavi):
    x, y, _, _ = heavi
    f = vorn.fit(x, y, 0.9999, 4.0, pruning="pelt", precondition="LOCAL")
    assert f.pruning == "PELT" and f.precondition == "local"
    assert f.raw["precondition"] == "local"


def test_no_jumps_with_infinite_gamma(heavi):
    x, y, _, _ = heavi
    f = vorn.fit(x, y, 0.9999, np.inf)
    assert f.jumps.size == 0 and f.jump_sizes.shape == (0,)
    assert f.segments == [range(0, x.size)]


def test_pickle_roundtrip(heavi):
    f = heavi[3]
    g = pickle.loads(pickle.dumps(f))
    sites = _probe_sites(f)
    np.testing.assert_array_equal(g(sites), f(sites))
    assert repr(g) == repr(f)


def test_repr_names_jumps(heavi):
    text = repr(heavi[3])
    assert text.startswith("Fit(n=240, dim=1, p=0.9999, gamma=4.0, jumps=[")


def test_plot_draws_data_fit_and_jumps(heavi):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    f = heavi[3]
    fig, ax = plt.subplots()
    try:
        assert f.plot(ax=ax) is ax
        labels = [line.get_label() for line in ax.get_lines()]
        assert labels.count("data") == 1 and labels.count("fit") == 1
        assert labels.count("jump") == 1
        # One curve per segment, one vertical line per jump.
        curves = [ln for ln in ax.get_lines() if ln.get_linestyle() == "-"]
        assert len(curves) == len(f.segments)
        verticals = [ln for ln in ax.get_lines() if ln.get_linestyle() == "--"]
        assert sorted(float(ln.get_xdata()[0]) for ln in verticals) == f.jumps.tolist()
        for curve, seg in zip(curves, f.segments):
            xs, ys = curve.get_xdata(), curve.get_ydata()
            inner = (xs > xs[0]) & (xs < xs[-1])
            np.testing.assert_allclose(ys[inner], f(xs[inner]), rtol=1e-12, atol=1e-12)
        data = [ln for ln in ax.get_lines() if ln.get_label() == "data"][0]
        np.testing.assert_array_equal(data.get_xdata(), f.x)
    finally:
        plt.close(fig)


def test_plot_without_matplotlib_names_the_extra(heavi, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install 'vorn\[plot\]'"):
        heavi[3].plot()


def test_to_ppoly_without_scipy_names_the_extra(heavi, monkeypatch):
    monkeypatch.setitem(sys.modules, "scipy", None)
    monkeypatch.setitem(sys.modules, "scipy.interpolate", None)
    with pytest.raises(ImportError, match=r"pip install 'vorn\[scipy\]'"):
        heavi[3].to_ppoly()


X5 = [0.0, 1.0, 2.0, 3.0, 4.0]
Y5 = [0.0, 1.0, 0.0, 1.0, 0.0]


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((X5, "abc", 0.5, 1.0), {}, TypeError, "y must be an array of numbers, got str"),
        ((X5, ["a", "b", "c", "d", "e"], 0.5, 1.0), {}, TypeError,
         "y must be an array of numbers, got elements of type str"),
        ((X5, [1, 2, {}, 4, 5], 0.5, 1.0), {}, TypeError,
         "y must be an array of numbers, got elements of type dict"),
        ((X5, [1, 2, "x", 4, 5], 0.5, 1.0), {}, TypeError,
         "y must be an array of numbers, got elements of type str"),
        ((X5, [1j, 2, 3, 4, 5], 0.5, 1.0), {}, TypeError, "y must be real, got complex values"),
        ((X5, [[1, 2], [3]], 0.5, 1.0), {}, ValueError,
         "y must be a rectangular array of numbers (rows of different lengths)"),
        ((X5, np.zeros((5, 2, 2)), 0.5, 1.0), {}, ValueError,
         "y must be 1-D (one series) or 2-D (one row per sample, one column per series), "
         "got an array of shape (5, 2, 2)"),
        ((X5, 3.0, 0.5, 1.0), {}, ValueError,
         "y must be 1-D (one series) or 2-D (one row per sample, one column per series), "
         "got an array of shape ()"),
        ((X5, np.zeros((5, 0)), 0.5, 1.0), {}, ValueError, "y has no columns"),
        ((X5[:4], Y5, 0.5, 1.0), {}, ValueError,
         "x and y must have the same length: x has 4, y has 5"),
        ((np.zeros((5, 1)), Y5, 0.5, 1.0), {}, ValueError,
         "x must be 1-D, got an array of shape (5, 1)"),
        (([0, 1, np.nan, 3, 4], Y5, 0.5, 1.0), {}, ValueError,
         "x must be finite, got x[2] = nan"),
        (([0, 1, 2, np.inf, 4], Y5, 0.5, 1.0), {}, ValueError,
         "x must be finite, got x[3] = inf"),
        ((X5, Y5, 0.5, 1.0), {"delta": [1, 1, 1]}, ValueError,
         "delta and y must have the same length: delta has 3, y has 5"),
        ((X5, Y5, 0.5, 1.0), {"delta": [1, 1, 0, 1, 1]}, ValueError,
         "delta must be positive and finite, got delta[2] = 0.0"),
        ((X5, Y5, 0.5, 1.0), {"delta": [1, -1, 1, 1, 1]}, ValueError,
         "delta must be positive and finite, got delta[1] = -1.0"),
        ((X5, Y5, 0.5, 1.0), {"delta": [[1, 1, 1, 1, 1]]}, ValueError,
         "delta must be 1-D, got an array of shape (1, 5)"),
        ((X5, [np.nan, np.nan, np.inf, np.nan, -np.inf], 0.5, 1.0), {}, ValueError,
         "need at least two distinct sites with finite values in y, got 0 (out of 5 rows)"),
        (([1, 1, 1, 2, 3], [1, 2, 3, np.nan, np.nan], 0.5, 1.0), {}, ValueError,
         "need at least two distinct sites with finite values in y, got 1 (out of 5 rows)"),
        ((X5, Y5, "0.5", 1.0), {}, TypeError, "p must be a real number, got str"),
        ((X5, Y5, True, 1.0), {}, TypeError, "p must be a real number, got bool"),
        ((X5, Y5, None, 1.0), {}, TypeError, "p must be a real number, got NoneType"),
        ((X5, Y5, 1.5, 1.0), {}, ValueError, "p must lie in [0, 1], got 1.5"),
        ((X5, Y5, -0.1, 1.0), {}, ValueError, "p must lie in [0, 1], got -0.1"),
        ((X5, Y5, np.nan, 1.0), {}, ValueError, "p must lie in [0, 1], got nan"),
        ((X5, Y5, 0.5, -1), {}, ValueError, "gamma must be >= 0, got -1.0"),
        ((X5, Y5, 0.5, np.nan), {}, ValueError, "gamma must be >= 0, got nan"),
        ((X5, Y5, 0.5, [1.0]), {}, TypeError, "gamma must be a real number, got list"),
        ((X5, Y5, 0.5, 1.0), {"pruning": "fast"}, ValueError,
         "pruning must be 'DOMINANCE', 'PELT' or 'FPVI', got 'fast'"),
        ((X5, Y5, 0.5, 1.0), {"pruning": None}, TypeError,
         "pruning must be a str, got NoneType"),
        ((X5, Y5, 0.5, 1.0), {"precondition": "global"}, ValueError,
         "precondition must be 'none' or 'local', got 'global'"),
        ((X5, Y5, 0.5, 1.0), {"precondition": 1}, TypeError,
         "precondition must be a str, got int"),
    ],
)
def test_user_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        vorn.fit(*args, **kwargs)
    assert str(info.value) == message


def test_missing_site_in_a_dropped_row_is_fine():
    # A row whose value is missing is dropped with its site, so its NaN site does not matter.
    f = vorn.fit([0, 1, np.nan, 3], [0.0, 1.0, np.nan, 3.0], 1.0, 1.0)
    np.testing.assert_array_equal(f.x, [0.0, 1.0, 3.0])


@pytest.mark.parametrize("nu", [4, -1, 1.5, np.nan, 2.0000001])
def test_bad_derivative_order(heavi, nu):
    with pytest.raises(ValueError) as info:
        heavi[3](0.5, nu=nu)
    assert str(info.value) == f"nu must be a whole number from 0 to 3, got {nu!r}"


@pytest.mark.parametrize("nu, kind", [(True, "bool"), ("1", "str"), (None, "NoneType")])
def test_derivative_order_of_the_wrong_type(heavi, nu, kind):
    with pytest.raises(TypeError) as info:
        heavi[3](0.5, nu=nu)
    assert str(info.value) == f"nu must be an integer, got {kind}"


@pytest.mark.parametrize("nu", [0.0, 3.0, np.int64(2), np.float32(1.0)])
def test_integer_valued_derivative_orders_are_accepted(heavi, nu):
    f = heavi[3]
    sites = _probe_sites(f)
    np.testing.assert_array_equal(f(sites, nu=nu), f(sites, nu=int(nu)))


def test_bad_sites_for_evaluation(heavi):
    with pytest.raises(TypeError) as info:
        heavi[3]("abc")
    assert str(info.value) == "xs must be an array of numbers, got str"


# -- derivatives, integrals and the search statistics ---------------------------------------


def test_nan_sites_give_nan_for_every_order(heavi):
    f = heavi[3]
    for nu in range(4):
        got = f([np.nan, 0.5], nu=nu)
        assert np.isnan(got[0]) and np.isfinite(got[1])


@pytest.mark.parametrize("fixture", ["heavi", "two_columns"])
def test_integrals_match_scipy(fixture, request):
    f = request.getfixturevalue(fixture)[-1]
    pp = f.to_ppoly()
    b = f.breaks
    for a, c in [(b[0], b[-1]), (0.2, 0.7), (0.7, 0.2), (b[0] - 1.0, b[-1] + 2.0),
                 (f.jumps[0], f.jumps[0])]:
        np.testing.assert_allclose(f.integrate(a, c), pp.integrate(a, c), rtol=1e-10,
                                   atol=1e-12)
    one = f.integrate(0.2, 0.7)
    if fixture == "heavi":
        assert isinstance(one, float)
    else:
        assert one.shape == (2,)


def test_integral_bounds_must_be_numbers(heavi):
    with pytest.raises(TypeError) as info:
        heavi[3].integrate("0", 1.0)
    assert str(info.value) == "a must be a real number, got str"


@pytest.mark.parametrize("fixture", ["heavi", "two_columns"])
def test_antiderivative_and_derivative_objects_match_scipy(fixture, request):
    f = request.getfixturevalue(fixture)[-1]
    pp = f.to_ppoly()
    sites = _probe_sites(f)
    anti = f.antiderivative()
    assert anti.order == 5 and anti.breaks is f.breaks
    np.testing.assert_allclose(anti(sites), pp.antiderivative()(sites), rtol=1e-10, atol=1e-10)
    np.testing.assert_allclose(anti(sites, nu=1), f(sites), rtol=1e-10, atol=1e-10)
    for nu in (1, 2, 3):
        g = f.derivative(nu)
        assert g.order == 4 - nu
        np.testing.assert_allclose(g(sites), pp.derivative(nu)(sites), rtol=1e-10, atol=1e-7)
        np.testing.assert_array_equal(g(sites), f(sites, nu=nu))
    # The integral between two sites is the antiderivative's difference, jumps included.
    a, c = float(f.breaks[1]), float(f.breaks[-2])
    np.testing.assert_allclose(f.integrate(a, c), anti(c) - anti(a), rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(anti.to_ppoly()(sites), anti(sites), rtol=1e-12, atol=1e-12)


def test_derivative_of_the_wrong_order(heavi):
    with pytest.raises(ValueError) as info:
        heavi[3].derivative(4)
    assert str(info.value) == "nu must be a whole number from 0 to 3, got 4"


def test_search_statistics_are_reported():
    x, y, _ = _many_jumps(800)
    dominance = vorn.fit(x, y, 0.9999, 5.0)
    pelt = vorn.fit(x, y, 0.9999, 5.0, pruning="PELT")
    for f in (dominance, pelt):
        assert isinstance(f.search_stats, vorn._fit.SearchStats)
        assert all(isinstance(v, int) and v >= 0 for v in f.search_stats)
    np.testing.assert_array_equal(dominance.jumps, pelt.jumps)
    assert dominance.pruning == "DOMINANCE" and pelt.pruning == "PELT"
