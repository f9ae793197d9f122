"""The dictionary that vorn returns: keys, order, types, shapes, ownership and consistency."""

import gc
import itertools
import weakref

import numpy as np
import pytest

from _vorn_core import vorn
from conftest import eval_pp, jump_data

pytestmark = pytest.mark.extension

KEYS = [
    "breaks", "coefs", "dim", "order", "discont", "discont_idx", "x", "y",
    "complexity_counter", "interval_cell", "pp_cell", "F", "partition", "precondition", "tau",
]
FLOAT_1D = ["breaks", "discont", "x", "F", "tau"]
INT_1D = ["discont_idx", "partition"]
INT64_NUM = np.dtype(np.int64).num  # 7 where long is 64-bit


def arrays_of(result):
    """Every array of a result, nested ones included."""
    out = [v for v in result.values() if isinstance(v, np.ndarray)]
    out += list(result["interval_cell"])
    for form in result["pp_cell"]:
        out += [form["breaks"], form["coefs"]]
    return out


@pytest.fixture
def fitted(rng):
    x, y, delta = jump_data(rng, n=40, dim=2, noise=0.01)
    return (x, y, delta), vorn(x, y, 0.99, 0.5, delta, "PELT", "local")


def test_keys_in_order_and_value_types(fitted):
    _, r = fitted
    assert type(r) is dict
    assert list(r) == KEYS
    for key in FLOAT_1D:
        assert type(r[key]) is np.ndarray and r[key].ndim == 1, key
        assert r[key].dtype == np.float64 and r[key].dtype.num == 12, key
    for key in INT_1D:
        assert type(r[key]) is np.ndarray and r[key].ndim == 1, key
        assert r[key].dtype == np.int64 and r[key].dtype.num == INT64_NUM, key
    for key in ["coefs", "y"]:
        assert r[key].ndim == 2 and r[key].dtype == np.float64, key
    for key in ["dim", "order", "complexity_counter"]:
        assert type(r[key]) is int, key
    assert type(r["precondition"]) is str
    assert type(r["interval_cell"]) is list and type(r["pp_cell"]) is list
    for cell in r["interval_cell"]:
        assert type(cell) is np.ndarray and cell.ndim == 1 and cell.dtype == np.int64
    for form in r["pp_cell"]:
        assert type(form) is dict and list(form) == ["breaks", "coefs", "dim", "order"]
        assert form["breaks"].dtype == np.float64 and form["breaks"].ndim == 1
        assert form["coefs"].dtype == np.float64 and form["coefs"].ndim == 2
        assert type(form["dim"]) is int and type(form["order"]) is int


def test_arrays_are_c_contiguous_writeable_and_independent(fitted):
    inputs, r = fitted
    arrays = arrays_of(r)
    for a in arrays:
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.aligned
    for a, b in itertools.combinations(arrays, 2):
        assert not np.shares_memory(a, b)
    for a in arrays:
        for given in inputs:
            assert not np.shares_memory(a, given)


def test_writing_one_array_changes_no_other(fitted):
    _, r = fitted
    arrays = arrays_of(r)
    before = [a.copy() for a in arrays]
    for i, a in enumerate(arrays):
        a[...] = -12345
        for j, (b, kept) in enumerate(zip(arrays, before)):
            if j > i:
                assert np.array_equal(b, kept, equal_nan=True)


def test_shapes_and_structure(fitted):
    (x, y, delta), r = fitted
    n, d = len(r["x"]), y.shape[1]
    nseg = len(r["interval_cell"])
    assert nseg == 2  # the data has one clear jump
    pieces = len(r["breaks"]) - 1
    assert r["dim"] == d and r["order"] == 4
    assert r["coefs"].shape == (pieces * d, 4)
    assert r["y"].shape == (n, d)
    assert r["F"].shape == r["partition"].shape == r["tau"].shape == (n,)
    assert r["discont"].shape == r["discont_idx"].shape == (nseg - 1,)
    assert len(r["pp_cell"]) == nseg
    # The segments cover the prepared samples in order without gaps.
    assert np.array_equal(np.concatenate(r["interval_cell"]), np.arange(n))
    assert r["discont_idx"].tolist() == [c[-1] for c in r["interval_cell"][:-1]]
    for form in r["pp_cell"]:
        assert form["dim"] == d and form["order"] == 4
        assert form["coefs"].shape == ((len(form["breaks"]) - 1) * d, 4)
    assert r["x"].tolist() == sorted(x.tolist())


def test_joined_form_agrees_with_the_segment_forms(fitted):
    _, r = fitted
    d = r["dim"]
    for cell, form in zip(r["interval_cell"], r["pp_cell"]):
        sites = r["x"][cell]
        whole = eval_pp(r["breaks"], r["coefs"], d, sites)
        part = eval_pp(form["breaks"], form["coefs"], d, sites)
        assert np.allclose(whole, part, rtol=0, atol=1e-12 * np.abs(part).max())


def test_one_segment_case(rng):
    x, y, delta = jump_data(rng, n=15, dim=1)
    r = vorn(x, y, 1.0, 5.0, delta, precondition="local")
    n = len(x)
    assert r["discont"].shape == (0,) and r["discont"].dtype == np.float64
    assert r["discont_idx"].shape == (0,) and r["discont_idx"].dtype == np.int64
    assert len(r["interval_cell"]) == 1
    assert r["interval_cell"][0].dtype == np.int64
    assert r["interval_cell"][0].tolist() == list(range(n))
    (form,) = r["pp_cell"]
    assert np.array_equal(form["breaks"], r["breaks"])
    assert np.array_equal(form["coefs"], r["coefs"])
    assert not np.shares_memory(form["breaks"], r["breaks"])
    assert not np.shares_memory(form["coefs"], r["coefs"])
    assert r["precondition"] == "local"
    assert r["F"].tolist() == [0.0] * n and r["partition"].tolist() == [0] * n
    assert r["tau"].tolist() == [1.0] * n
    assert r["complexity_counter"] == n
    assert r["breaks"][0] == r["x"][0] - 1 and r["breaks"][-1] == r["x"][-1] + 1
    # p = 1 interpolates the prepared samples.
    got = eval_pp(r["breaks"], r["coefs"], 1, r["x"])
    assert np.allclose(got, r["y"], rtol=0, atol=1e-12 * np.abs(r["y"]).max())


@pytest.mark.parametrize("dim", [1, 2, 4])
def test_dim_follows_the_columns_of_y(rng, dim):
    x, y, delta = jump_data(rng, n=12, dim=dim)
    r = vorn(x, y, 0.9, 1.0, delta)
    assert r["dim"] == dim and r["y"].shape == (12, dim)
    assert all(form["dim"] == dim for form in r["pp_cell"])
    assert r["coefs"].shape[0] == (len(r["breaks"]) - 1) * dim


def test_zero_value_columns():
    r = vorn(np.array([0.0, 1.0, 2.0]), np.zeros((3, 0)), 0.5, 1.0)
    assert r["dim"] == 0
    assert r["y"].shape == (3, 0)
    assert r["coefs"].shape == (0, 4)


def test_result_arrays_die_with_the_result(rng):
    x, y, delta = jump_data(rng, n=40, dim=2, noise=0.01)
    r = vorn(x, y, 0.99, 0.5, delta)
    assert len(r["interval_cell"]) > 1
    refs = [weakref.ref(a) for a in arrays_of(r)]
    refs.append(weakref.ref(r["pp_cell"][0]["coefs"]))
    del r
    # Reference counting alone must free them: no cycle collection needed.
    assert all(ref() is None for ref in refs)


def test_a_kept_array_outlives_its_dictionary(rng):
    x, y, delta = jump_data(rng, n=30)
    r = vorn(x, y, 0.9, 1.0, delta)
    coefs, cells = r["coefs"], r["interval_cell"]
    want = coefs.copy()
    del r
    gc.collect()
    # Churn the allocator: a freed buffer would be reused and overwritten.
    junk = [np.full(want.shape, 99.0) for _ in range(50)]
    assert np.array_equal(coefs, want)
    assert np.array_equal(np.concatenate(cells), np.arange(len(x)))
    del junk


def test_repeated_sites_give_prepared_samples():
    x = np.array([3.0, 1.0, 2.0, 1.0, 3.0])
    y = np.array([[1.0], [2.0], [3.0], [4.0], [5.0]])
    r = vorn(x, y, 0.8, 1.0)
    assert r["x"].tolist() == [1.0, 2.0, 3.0]
    assert r["y"].tolist() == [[3.0], [3.0], [3.0]]
    assert r["F"].shape == r["tau"].shape == (3,)
