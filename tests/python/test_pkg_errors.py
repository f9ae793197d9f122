"""Messages that say what to do, and arguments accepted in the forms users pass them."""

from __future__ import annotations

import numpy as np
import pytest

import vorn
from vorn import datasets


@pytest.fixture(scope="module")
def signal():
    return datasets.heavisine(n=200, noise=0.2, seed=1)


@pytest.mark.parametrize(
    "make_x, make_y, message",
    [
        (lambda x: x, lambda y: y[None, :],
         "x and y must have the same length: x has 200, y has 1; y has shape (1, 200) and "
         "looks transposed: pass y.T, one row per sample"),
        (lambda x: x, lambda y: np.vstack([y, -y, y]),
         "x and y must have the same length: x has 200, y has 3; y has shape (3, 200) and "
         "looks transposed: pass y.T, one row per sample"),
        (lambda x: None, lambda y: y[None, :],
         "y has shape (1, 200), one row of 200 columns, and looks transposed: pass y.T or a "
         "1-D array, one row per sample"),
        (lambda x: x[:-1], lambda y: y,
         "x and y must have the same length: x has 199, y has 200"),
    ],
)
def test_transposed_y_is_named(signal, make_x, make_y, message):
    with pytest.raises(ValueError) as info:
        vorn.fit(make_x(signal.x), make_y(signal.y), 0.99, 1.0)
    assert str(info.value) == message


@pytest.mark.parametrize("delta", [0.5, np.float32(0.5), np.array(0.5), 1])
def test_scalar_delta_applies_to_every_sample(signal, delta):
    f = vorn.fit(signal.x, signal.y, 0.99999, 1.0, delta=delta)
    g = vorn.fit(signal.x, signal.y, 0.99999, 1.0, delta=np.full(200, float(delta)))
    np.testing.assert_array_equal(f.coefs, g.coefs)
    np.testing.assert_array_equal(f.jumps, g.jumps)


@pytest.mark.parametrize("delta, shown", [(0.0, "0.0"), (-1.0, "-1.0"), (np.nan, "nan")])
def test_bad_scalar_delta(signal, delta, shown):
    with pytest.raises(ValueError) as info:
        vorn.fit(signal.x, signal.y, 0.99, 1.0, delta=delta)
    assert str(info.value) == f"delta must be positive and finite, got delta[0] = {shown}"


def test_zero_dimensional_parameters_are_numbers(signal):
    f = vorn.fit(signal.x, signal.y, np.array(0.99999), np.array(1.0))
    g = vorn.fit(signal.x, signal.y, 0.99999, 1.0)
    assert (f.p, f.gamma) == (0.99999, 1.0) and type(f.p) is float and type(f.gamma) is float
    np.testing.assert_array_equal(f.coefs, g.coefs)
    many = vorn.fit_many([signal.y], p=np.array(0.5), gamma=np.array(2), max_workers=1,
                         executor=_Inline())
    assert (many[0].p, many[0].gamma) == (0.5, 2.0)


@pytest.mark.parametrize(
    "p, gamma, exc, message",
    [
        (np.array(True), 1.0, TypeError, "p must be a real number, got bool"),
        (np.array([0.5]), 1.0, TypeError, "p must be a real number, got ndarray"),
        (0.5, np.array("1"), TypeError, "gamma must be a real number, got str_"),
        (np.array(1.5), 1.0, ValueError, "p must lie in [0, 1], got 1.5"),
        (0.5, np.array(-2), ValueError, "gamma must be >= 0, got -2.0"),
    ],
)
def test_bad_parameters_stay_errors(signal, p, gamma, exc, message):
    with pytest.raises(exc) as info:
        vorn.fit(signal.x, signal.y, p, gamma)
    assert str(info.value) == message


class _Inline:
    """The smallest executor: runs each task at once."""

    def submit(self, fn, *args):
        from concurrent.futures import Future

        future = Future()
        future.set_result(fn(*args))
        return future


# -- values so large that their squares overflow --------------------------------------------

HUGE = ("y is too large: |y| (or |y| / delta) reaches {:.3g}, beyond 1e+150, where the fit's "
        "energies overflow; divide y by a constant c and gamma by c**2, or give the smoothing "
        "and the jump penalty in natural units (bandwidth_samples, penalty)")


@pytest.mark.parametrize("entry", ["fit", "select", "fit_many"])
def test_huge_values_are_refused_with_a_remedy(signal, entry):
    y = signal.y * 1e200
    expected = HUGE.format(float(np.max(np.abs(y))))
    with pytest.raises(ValueError) as info:
        if entry == "fit":
            vorn.fit(signal.x, y, 0.99999, 1.0)
        elif entry == "select":
            vorn.select(signal.x, y, method="cv", folds=3)
        else:
            vorn.fit_many([signal.y, (signal.x, y)], 0.99999, 1.0, executor=_Inline())
    prefix = "series 1: " if entry == "fit_many" else ""
    assert str(info.value) == prefix + expected


def test_tiny_delta_counts_towards_the_limit(signal):
    with pytest.raises(ValueError) as info:
        vorn.fit(signal.x, signal.y, 0.99999, 1.0, delta=1e-200)
    largest = float(np.max(np.abs(signal.y))) / 1e-200
    assert str(info.value) == HUGE.format(largest)


def test_large_values_below_the_limit_fit_as_scaled(signal):
    scale = 1e140
    f = vorn.fit(signal.x, signal.y * scale, 0.99999, scale**2)
    g = vorn.fit(signal.x, signal.y, 0.99999, 1.0)
    np.testing.assert_array_equal(f.jumps, g.jumps)
    np.testing.assert_allclose(f.jump_sizes / scale, g.jump_sizes, rtol=1e-9)


def test_missing_rows_do_not_count_towards_the_limit(signal):
    y = signal.y.copy()
    y[5] = np.inf
    f = vorn.fit(signal.x, y, 0.99999, 1.0)
    assert f.x.shape == (199,)


@pytest.mark.parametrize(
    "x, y, message",
    [
        ([0.0, 2.225073858507e-311], [1.0, 0.0],
         "x is too finely spaced for the size of y: a gap of 2.23e-311 between sites, with "
         "|y| up to 1, overflows the fit's energies; rescale x (for example to units of its "
         "spacing), or give the smoothing and the jump penalty in natural units "
         "(bandwidth_samples, penalty)"),
        ([-1e308, 0.0, 1e308], [0.0, 1.0, 0.0],
         "x spans too wide a range (-1e+308 to 1e+308) for float64 arithmetic; rescale x"),
    ],
)
def test_sites_that_overflow_the_energies_are_refused(x, y, message):
    # Found by the package fuzz: such sites gave infinite and NaN coefficients.
    with pytest.raises(ValueError) as info:
        vorn.fit(x, y, 0.9, 1.0)
    assert str(info.value) == message


# Long site arrays are differenced in blocks of 2**16 gaps: the smallest gap is found wherever it
# lies, either side of a block's edge and at the very ends.
@pytest.mark.parametrize("where", [0, 2**16 - 1, 2**16, 2**16 + 1, 2**17 + 1])
def test_the_smallest_gap_of_long_sites_is_found_in_every_block(where):
    x = np.arange(2**17 + 3, dtype=float)
    x[where + 1:] -= 1.0 - 2.0**-30  # exact: one gap of 2**-30, the others 1
    with pytest.raises(ValueError) as info:
        vorn.fit(x, np.full_like(x, 1e135), 0.5, 1.0)
    assert str(info.value).startswith("x is too finely spaced for the size of y: a gap of "
                                      "9.31e-10 between sites")


# Values and deviations are reduced in the same blocks: a value too large, or a deviation that is
# not positive and finite, is found in any block, whichever its sign.
@pytest.mark.parametrize("where", [0, 2**16 - 1, 2**16, 2**17 + 2])
@pytest.mark.parametrize("argument, bad, message", [
    ("y", 3e160, HUGE.format(3e160)),
    ("y", -3e160, HUGE.format(3e160)),
    ("delta", 0.0, "delta must be positive and finite, got delta[{}] = 0.0"),
    ("delta", np.inf, "delta must be positive and finite, got delta[{}] = inf"),
])
def test_a_bad_value_of_long_data_is_found_in_every_block(where, argument, bad, message):
    data = {"y": np.ones(2**17 + 3), "delta": np.ones(2**17 + 3)}
    data[argument][where] = bad
    with pytest.raises(ValueError) as info:
        vorn.fit(None, data["y"], 0.5, 1.0, delta=data["delta"])
    assert str(info.value) == message.format(where)


def test_fine_spacing_with_small_values_still_fits():
    x = np.arange(10.0) * 1e-60
    y = np.r_[np.zeros(5), np.ones(5)] * 1e-30
    f = vorn.fit(x, y, 0.5, 1e-70)
    assert np.all(np.isfinite(f.coefs)) and f.jumps.size == 1


def test_importing_the_unbuilt_source_tree_says_so(tmp_path):
    import subprocess
    import sys
    from pathlib import Path

    # A copy of the package's Python files beside a pyproject.toml: a checkout before any build.
    source = Path(vorn.__file__).parent
    tree = tmp_path / "checkout"
    (tree / "vorn").mkdir(parents=True)
    (tree / "pyproject.toml").write_text("[project]\nname = 'vorn'\n")
    for path in source.glob("*.py"):
        (tree / "vorn" / path.name).write_text(path.read_text())
    result = subprocess.run([sys.executable, "-c", "import vorn"], cwd=tree,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == (
        f"ImportError: vorn is imported from its source tree ({tree / 'vorn'}), where its "
        "compiled engine is not built; leave the source directory and relaunch Python to use "
        "the installed vorn, or build and install it first (make install, or pip install .)")


# Either side of each limit: |y| <= 1e150, and 2 log10 |y| - 3 log10(gap) <= 290.
@pytest.mark.parametrize("largest, gap, refused", [
    (1e150, 1e4, False), (np.nextafter(1e150, np.inf), 1e4, True),
    (1.0, 1e-96, False), (1.0, 1e-97, True),
    (1e10, 1e-89, False), (1e10, 1e-91, True),
    (1e145, 1.0, False),  # exactly on the spacing limit
])
def test_the_overflow_limits_are_where_they_are_stated(largest, gap, refused):
    x = np.arange(4.0) * gap
    y = np.array([0.0, largest, -largest, 0.5 * largest])
    if not refused:
        f = vorn.fit(x, y, 0.5, 1.0)
        assert np.all(np.isfinite(f.coefs))
        return
    with pytest.raises(ValueError) as info:
        vorn.fit(x, y, 0.5, 1.0)
    if largest > 1e150:
        assert str(info.value) == HUGE.format(largest)
    else:
        assert str(info.value).startswith(f"x is too finely spaced for the size of y: a gap of "
                                          f"{gap:.3g} between sites, with |y| up to {largest:.3g}")
