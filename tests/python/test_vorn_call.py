"""The call frame of vorn: binding, conversions, options, failures, layouts, lifetimes."""

import gc
import sys

import numpy as np
import pytest

from _vorn_core import vorn
from conftest import assert_results_identical, bind_error, eval_pp, jump_data, rss_bytes, under_sanitizer

pytestmark = pytest.mark.extension


def vorn_def(x, y, p, gamma, delta=None, pruning="FPVI", precondition="none"):
    return "bound"


vorn_def.__qualname__ = "vorn"  # CPython names the function by its qualified name


class Key(str):
    """A str subclass used as a keyword."""


class LooseKey(str):
    """A keyword that equals 'gamma' by its own rules, not by its text."""

    def __eq__(self, other):
        return other == "gamma"

    __hash__ = str.__hash__


# ---- binding ----

BINDING_CASES = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((1, 2, 3), {}),
    ((1,) * 8, {}),
    ((1,) * 11, {}),
    ((1,) * 8, {"q": 1}),
    ((1,) * 8, {"x": 1}),
    ((1,), {"x": 1, "q": 2}),
    ((1,), {"q": 2, "x": 1}),
    ((), {1: 2}),
    ((1,) * 8, {1: 2}),
    ((), {"q": 1, 1: 2}),
    ((1, 2), {"gamma": 1}),
    ((), {"delta": 1}),
    ((), {"p": 1, "gamma": 2}),
    ((1, 2, 3), {"p": 4}),
    ((1, 2, 3, 4, 5, 6, 7), {"precondition": 1}),
    ((), {"x": 1, "y": 2, "p": 3, "gamma": 4, "pruning": 5, "Q": 6}),
    ((1, 2, 3, 4), {Key("q"): 1}),
    ((1,), {Key("x"): 1}),
    ((1, 2), {Key("p"): 1}),
    ((1, 2, 3), {LooseKey("anything"): 1, "x": 2}),
    ((1, 2), {LooseKey("anything"): 1}),
]


@pytest.mark.parametrize("args, kwargs", BINDING_CASES)
def test_binding_matches_a_python_def(args, kwargs):
    assert bind_error(vorn, args, kwargs) == bind_error(vorn_def, args, kwargs)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, 3), {}, "vorn() missing 1 required positional argument: 'gamma'"),
        ((1, 2), {}, "vorn() missing 2 required positional arguments: 'p' and 'gamma'"),
        ((), {"gamma": 1}, "vorn() missing 3 required positional arguments: 'x', 'y', and 'p'"),
        ((1,) * 8, {}, "vorn() takes from 4 to 7 positional arguments but 8 were given"),
        ((1, 2, 3, 4), {"q": 1}, "vorn() got an unexpected keyword argument 'q'"),
        ((1, 2, 3, 4), {"x": 1}, "vorn() got multiple values for argument 'x'"),
        ((1, 2, 3, 4), {5: 1}, "keywords must be strings"),
    ],
)
def test_binding_messages(args, kwargs, message):
    assert bind_error(vorn, args, kwargs) == message


def test_binding_fails_before_any_conversion():
    seen = []

    class P:
        def __float__(self):
            seen.append("p")
            return 0.5

    with pytest.raises(TypeError):
        vorn(None, np.ones((3, 1)), P(), 1.0, q=1)
    assert seen == []


def test_all_keywords_equal_positional(rng):
    x, y, delta = jump_data(rng)
    by_position = vorn(x, y, 0.9, 2.0, delta, "PELT", "local")
    by_keyword = vorn(
        precondition="local", pruning="PELT", delta=delta, gamma=2.0, p=0.9, y=y, x=x
    )
    assert_results_identical(by_position, by_keyword)


# ---- arrays ----

ARRAY = "cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize(
    "name, value, type_name",
    [
        ("x", [1.0, 2.0, 3.0], "list"),
        ("x", np.arange(3), "ndarray"),
        ("x", np.ones(3, dtype=np.float32), "ndarray"),
        ("x", np.ones(3, dtype=">f8"), "ndarray"),
        ("x", np.ones((3, 1)), "ndarray"),
        ("x", np.float64(1.0), "float64"),
        ("x", np.array(1.0), "ndarray"),
        ("y", np.ones(3), "ndarray"),
        ("y", [[1.0], [2.0], [3.0]], "list"),
        ("y", None, "NoneType"),
        ("y", np.ones((3, 1, 1)), "ndarray"),
        ("y", np.ones((3, 1), dtype=np.complex128), "ndarray"),
        ("delta", np.ones(3, dtype=np.int64), "ndarray"),
        ("delta", (1.0, 1.0, 1.0), "tuple"),
        ("delta", 1.0, "float"),
    ],
)
def test_array_type_mismatch(name, value, type_name):
    args = {"x": np.arange(3.0), "y": np.ones((3, 1)), "p": 0.5, "gamma": 1.0, "delta": None}
    args[name] = value
    with pytest.raises(TypeError) as info:
        vorn(**args)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': '{type_name}' object {ARRAY}"


def test_array_mismatch_names_the_qualified_type():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"^argument 'y': 'test_array_mismatch_names_the_"):
        vorn(None, Outer.Inner(), 0.5, 1.0)
    with pytest.raises(TypeError) as info:
        vorn(None, Outer.Inner(), 0.5, 1.0)
    assert str(info.value) == (
        "argument 'y': 'test_array_mismatch_names_the_qualified_type.<locals>.Outer.Inner' "
        f"object {ARRAY}"
    )


def test_array_subclass_is_accepted(rng):
    class Sub(np.ndarray):
        pass

    x, y, delta = jump_data(rng)
    plain = vorn(x, y, 0.8, 3.0, delta)
    sub = vorn(x.view(Sub), y.view(Sub), 0.8, 3.0, delta.view(Sub))
    assert_results_identical(plain, sub)


def layouts(x, y, delta):
    """The same values under other memory layouts and flags."""
    n, d = y.shape
    yield "fortran", x, np.asfortranarray(y), delta
    big = np.full((2 * n, 3 * d + 1), np.nan)
    big[::2, 1::3] = y
    yield "sliced", x, big[::2, 1::3], delta
    yield "negative strides", x[::-1].copy()[::-1], y[::-1].copy()[::-1], delta[::-1].copy()[::-1]
    yield "column reversed", x, y[:, ::-1].copy()[:, ::-1], delta
    ro = [a.copy() for a in (x, y, delta)]
    for a in ro:
        a.setflags(write=False)
    yield "read-only", *ro
    raw = np.zeros(8 * (len(x) + len(delta) + y.size) + 1, dtype=np.uint8)
    off = 1
    parts = []
    for a in (x, y, delta):
        view = raw[off : off + a.nbytes].view(np.float64).reshape(a.shape)
        view[...] = a
        parts.append(view)
        off += a.nbytes
    assert not parts[0].flags.aligned
    yield "misaligned", *parts


@pytest.mark.parametrize("dim", [1, 3])
def test_layouts_give_identical_results(rng, dim):
    x, y, delta = jump_data(rng, n=30, dim=dim)
    want = vorn(x, y, 0.95, 1.0, delta, "PELT", "local")
    for name, lx, ly, ld in layouts(x, y, delta):
        got = vorn(lx, ly, 0.95, 1.0, ld, "PELT", "local")
        assert_results_identical(want, got)


def test_reversed_samples_give_identical_results(rng):
    # Distinct sites: the prepared samples do not depend on the input order.
    x, y, delta = jump_data(rng, n=25, dim=2)
    assert_results_identical(
        vorn(x, y, 0.9, 2.0, delta), vorn(x[::-1], y[::-1], 0.9, 2.0, delta[::-1])
    )


def test_inputs_are_not_modified(rng):
    x, y, delta = jump_data(rng, n=30, dim=2)
    x[[3, 4]] = x[4], x[3]
    y[5, 0] = np.nan
    yf = np.asfortranarray(y)
    keep = [a.copy() for a in (x, yf, delta)]
    strides = [a.strides for a in (x, yf, delta)]
    r = vorn(x, yf, 0.7, 1.0, delta)
    for arr in r.values():
        if isinstance(arr, np.ndarray):
            arr[...] = -7.0
    for a, k, s in zip((x, yf, delta), keep, strides):
        assert np.array_equal(a, k, equal_nan=True)
        assert a.strides == s
    assert yf.flags.f_contiguous


# ---- float arguments ----


class HasFloat:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class HasIndex:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "p", [1, True, 1.0, HasFloat(1.0), HasIndex(1), np.float32(1.0), np.int8(1)]
)
def test_float_argument_kinds_for_p(rng, p):
    x, y, delta = jump_data(rng, n=12)
    assert_results_identical(vorn(x, y, 1.0, 0.5, delta), vorn(x, y, p, 0.5, delta))


@pytest.mark.parametrize("gamma", [3, HasFloat(3.0), HasIndex(3), np.int64(3)])
def test_float_argument_kinds_for_gamma(rng, gamma):
    x, y, delta = jump_data(rng, n=20)
    assert_results_identical(vorn(x, y, 0.9, 3.0, delta), vorn(x, y, 0.9, gamma, delta))


def test_p_of_minus_one_is_converted_not_failed():
    with pytest.raises(RuntimeError) as info:
        vorn(None, np.ones((3, 1)), HasFloat(-1.0), 1.0)
    assert info.value.args == ("p must satisfy 0 <= p <= 1, got -1",)


@pytest.mark.parametrize("name", ["p", "gamma"])
@pytest.mark.parametrize(
    "value, message",
    [
        ("0.5", "must be real number, not str"),
        (None, "must be real number, not NoneType"),
        ([0.5], "must be real number, not list"),
        (1j, "must be real number, not complex"),
        (HasFloat("x"), "HasFloat.__float__ returned non-float (type str)"),
    ],
)
def test_float_conversion_type_errors_are_prefixed(name, value, message):
    args = {"x": None, "y": np.ones((3, 1)), "p": 0.5, "gamma": 1.0}
    args[name] = value
    with pytest.raises(TypeError) as info:
        vorn(**args)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': {message}"
    assert info.value.__cause__ is None


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "exc",
    [ValueError("no float here"), MyTypeError("subclass"), OverflowError("big"), KeyError("k")],
)
def test_other_conversion_errors_are_raised_unchanged(exc):
    with pytest.raises(BaseException) as info:
        vorn(None, np.ones((3, 1)), Raising(exc), 1.0)
    assert info.value is exc
    assert str(info.value) == str(exc)


def test_overflowing_int_is_raised_unchanged():
    with pytest.raises(OverflowError) as info:
        vorn(None, np.ones((3, 1)), 0.5, 10**400)
    assert str(info.value) == "int too large to convert to float"


def test_prefixed_type_error_keeps_the_cause():
    cause = ValueError("root")
    err = TypeError("inner text")
    err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        vorn(None, np.ones((3, 1)), 0.5, Raising(err))
    assert info.value is not err
    assert str(info.value) == "argument 'gamma': inner text"
    assert info.value.__cause__ is cause
    assert info.value.__context__ is None


# ---- option texts ----


@pytest.mark.parametrize("name", ["pruning", "precondition"])
@pytest.mark.parametrize(
    "value, type_name", [(None, "NoneType"), (b"FPVI", "bytes"), (1, "int"), (["none"], "list")]
)
def test_option_must_be_a_str(name, value, type_name):
    with pytest.raises(TypeError) as info:
        vorn(None, np.ones((3, 1)), 0.5, 1.0, **{name: value})
    assert type(info.value) is TypeError
    assert str(info.value) == (
        f"argument '{name}': '{type_name}' object cannot be converted to 'PyString'"
    )


@pytest.mark.parametrize(
    "text", ["Fpvi", "Pelt", "fPVI", " FPVI", "FPVI ", "", "FPVI\x00", "PELTS", "ＦＰＶＩ"]
)
def test_unknown_pruning(text):
    with pytest.raises(ValueError) as info:
        vorn(None, np.ones((3, 1)), 0.5, 1.0, pruning=text)
    assert type(info.value) is ValueError
    assert info.value.args == (f"unknown pruning '{text}', expected 'FPVI' or 'PELT'",)


@pytest.mark.parametrize(
    "text", ["loc", "", "none ", "nonE\x00", "locál", "LOCAĹ", "ＮＯＮＥ", "nothing", "locale"]
)
def test_unknown_precondition(text):
    with pytest.raises(ValueError) as info:
        vorn(None, np.ones((3, 1)), 0.5, 1.0, precondition=text)
    assert type(info.value) is ValueError
    assert info.value.args == (f"unknown precondition '{text}', expected 'none' or 'local'",)


def test_lone_surrogate_is_raised_unchanged():
    with pytest.raises(UnicodeEncodeError):
        vorn(None, np.ones((3, 1)), 0.5, 1.0, pruning="\ud800")


@pytest.mark.parametrize("same, canonical", [("fpvi", "FPVI"), ("pelt", "PELT")])
def test_pruning_spellings(rng, same, canonical):
    x, y, delta = jump_data(rng)
    assert_results_identical(vorn(x, y, 0.9, 1.0, delta, same), vorn(x, y, 0.9, 1.0, delta, canonical))


def test_pruning_default_is_fpvi(rng):
    x, y, delta = jump_data(rng)
    assert_results_identical(vorn(x, y, 0.9, 1.0, delta), vorn(x, y, 0.9, 1.0, delta, "FPVI"))


class Text(str):
    pass


@pytest.mark.parametrize(
    "text, canonical",
    [("none", "none"), ("NONE", "none"), ("None", "none"), ("LOCAL", "local"), ("lOcAl", "local"),
     (Text("Local"), "local")],
)
def test_precondition_spellings(rng, text, canonical):
    x, y, delta = jump_data(rng)
    got = vorn(x, y, 0.9, 1.0, delta, "FPVI", text)
    want = vorn(x, y, 0.9, 1.0, delta, "FPVI", canonical)
    assert got["precondition"] == canonical
    assert_results_identical(got, want)


def test_precondition_reaches_the_fit(rng):
    x, y, delta = jump_data(rng)
    none = vorn(x, y, 0.9, 1.0, delta)
    local = vorn(x, y, 0.9, 1.0, delta, precondition="local")
    assert none["precondition"] == "none" and local["precondition"] == "local"
    assert np.all(none["tau"] == 1.0)
    assert not np.all(local["tau"] == 1.0)


# ---- the order of failures ----


class Recorder:
    """A float argument that logs its conversion."""

    def __init__(self, log, name, value=0.5):
        self.log, self.name, self.value = log, name, value

    def __float__(self):
        self.log.append(self.name)
        return self.value


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((np.ones((2, 1)), [1], 0.5, 1.0), TypeError, f"argument 'x': 'ndarray' object {ARRAY}"),
        ((None, [1], 0.5, 1.0, None, "bad"), TypeError, f"argument 'y': 'list' object {ARRAY}"),
        ((None, np.ones((3, 1)), "p", "g"), TypeError, "argument 'p': must be real number, not str"),
        ((None, np.ones((3, 1)), 0.5, "g", [1]), TypeError,
         "argument 'gamma': must be real number, not str"),
        ((None, np.ones((3, 1)), 0.5, 1.0, [1], None), TypeError,
         f"argument 'delta': 'list' object {ARRAY}"),
        ((None, np.ones((3, 1)), 0.5, 1.0, None, None, None), TypeError,
         "argument 'pruning': 'NoneType' object cannot be converted to 'PyString'"),
        ((None, np.ones((3, 1)), 0.5, 1.0, None, "bad", None), TypeError,
         "argument 'precondition': 'NoneType' object cannot be converted to 'PyString'"),
        ((None, np.ones((3, 1)), 2.0, 1.0, None, "bad", "worse"), ValueError,
         "unknown pruning 'bad', expected 'FPVI' or 'PELT'"),
        ((None, np.ones((3, 1)), 2.0, 1.0, None, "PELT", "worse"), ValueError,
         "unknown precondition 'worse', expected 'none' or 'local'"),
        ((np.ones(4), np.ones((5, 1)), 2.0, -1.0), RuntimeError,
         "p must satisfy 0 <= p <= 1, got 2"),
    ],
)
def test_first_failing_step_wins(args, exc, message):
    with pytest.raises(exc) as info:
        vorn(*args)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_conversions_stop_at_the_first_failure():
    log = []
    with pytest.raises(TypeError):
        vorn(None, [1.0], Recorder(log, "p"), Recorder(log, "gamma"))
    assert log == []
    with pytest.raises(TypeError, match="argument 'delta'"):
        vorn(None, np.ones((3, 1)), Recorder(log, "p"), Recorder(log, "gamma"), [1.0])
    assert log == ["p", "gamma"]


# ---- failures of the fit ----


@pytest.mark.parametrize(
    "x, rows, p, gamma, delta, message",
    [
        (None, 3, 2.0, 1.0, None, "p must satisfy 0 <= p <= 1, got 2"),
        (None, 3, np.nan, -1.0, None, "p must satisfy 0 <= p <= 1, got NaN"),
        (None, 3, 0.5, -1.0, None, "gamma must satisfy 0 <= gamma, got -1"),
        (None, 3, 0.5, np.nan, None, "gamma must satisfy 0 <= gamma, got NaN"),
        (np.arange(4.0), 5, 0.5, 1.0, None, "x and y must have matching length: x has 4, y has 5"),
        (None, 5, 0.5, 1.0, np.ones(3), "delta must have the same length as x (5), got 3"),
        (np.arange(5.0), 1, 0.5, 1.0, None, "at least two finite data points are required, got 1"),
        (np.ones(3), 3, 0.5, 1.0, None, "at least two finite data points are required, got 1"),
    ],
)
def test_input_errors_become_runtime_errors(x, rows, p, gamma, delta, message):
    with pytest.raises(RuntimeError) as info:
        vorn(x, np.arange(float(rows)).reshape(rows, 1), p, gamma, delta)
    assert type(info.value) is RuntimeError
    assert info.value.args == (message,)


def test_nan_site_is_an_internal_failure_and_the_interpreter_goes_on(internal_failure):
    x = np.array([0.0, 1.0, np.nan, 3.0])
    with pytest.raises(internal_failure) as info:
        vorn(x, np.ones((4, 1)), 0.5, 1.0)
    assert info.value.args == ("NaN in x",)
    # A NaN site in a dropped row is never looked at.
    y = np.array([[0.0], [1.0], [np.nan], [3.0]])
    r = vorn(x, y, 0.5, 1.0)
    assert list(r["x"]) == [0.0, 1.0, 3.0]


# ---- prepared samples and the fit through the frame ----


def test_absent_x_means_sites_one_to_n():
    y = np.array([[1.0], [np.nan], [2.0], [5.0]])
    r = vorn(None, y, 1.0, 0.0)
    assert r["x"].tolist() == [1.0, 3.0, 4.0]
    assert r["y"].tolist() == [[1.0], [2.0], [5.0]]
    assert_results_identical(r, vorn(np.array([1.0, 2.0, 3.0, 4.0]), y, 1.0, 0.0))


@pytest.mark.parametrize(
    "delta, merged",
    [(None, [[0.0], [2.0], [2.0]]), (np.array([1.0, 1.0, 0.5, 1.0]), [[0.0], [2.6], [2.0]])],
)
def test_duplicate_sites_are_merged(delta, merged):
    r = vorn(np.array([0.0, 1.0, 1.0, 2.0]), np.array([[0.0], [1.0], [3.0], [2.0]]), 1.0, 0.0, delta)
    assert r["x"].tolist() == [0.0, 1.0, 2.0]
    assert r["y"].tolist() == merged


def test_delta_none_equals_omitted_delta(rng):
    x, y, _ = jump_data(rng)
    assert_results_identical(vorn(x, y, 0.9, 1.0), vorn(x, y, 0.9, 1.0, None))
    assert_results_identical(vorn(x, y, 0.9, 1.0), vorn(x, y, 0.9, 1.0, np.ones(len(x))))


def test_unsorted_sites_are_prepared():
    r = vorn(np.array([2.0, 0.0, 1.0]), np.array([[7.0, 1.0], [8.0, 2.0], [9.0, 3.0]]), 1.0, 0.0)
    assert r["x"].tolist() == [0.0, 1.0, 2.0]
    assert r["y"].tolist() == [[8.0, 2.0], [9.0, 3.0], [7.0, 1.0]]


@pytest.mark.parametrize("p", [0.05, 0.3, 0.7, 0.95, 0.999])
@pytest.mark.parametrize("dim", [1, 2])
def test_one_segment_fit_equals_scipy_smoothing_spline(rng, p, dim):
    interpolate = pytest.importorskip("scipy.interpolate")
    n = 40
    x = np.arange(n, dtype=float) + rng.uniform(-0.3, 0.3, n)
    y = np.cos(x / 5.0)[:, None] * np.arange(1, dim + 1) + rng.normal(0, 0.3, (n, dim))
    delta = rng.uniform(0.5, 2.0, n)
    r = vorn(x, y, p, np.inf, delta)
    assert r["discont"].shape == (0,)
    sites = np.concatenate([x, (x[1:] + x[:-1]) / 2])
    got = eval_pp(r["breaks"], r["coefs"], dim, sites)
    for j in range(dim):
        ref = interpolate.make_smoothing_spline(x, y[:, j], w=1.0 / delta**2, lam=(1 - p) / p)
        want = ref(sites)
        scale = np.max(np.abs(want))
        assert np.max(np.abs(got[:, j] - want)) <= 1e-8 * scale


def test_jump_is_found_and_located(rng):
    x, y, delta = jump_data(rng, n=40, jump_at=0.5, jump=5.0, noise=0.01)
    r = vorn(x, y, 0.99, 1.0, np.full(40, 0.01))
    assert r["discont_idx"].shape == (1,)
    k = r["discont_idx"][0]
    assert x[k] <= 20.0 < x[k + 1]
    assert r["discont"][0] == (x[k + 1] + x[k]) * 0.5


# ---- caller code that changes arrays during the conversions ----


class Resizer:
    """A float argument whose conversion runs an action first."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return self.value


def test_p_that_resizes_x_and_y(rng):
    x, y, delta = jump_data(rng, n=20)
    nx, ny, _ = jump_data(rng, n=33)

    def grow():
        x.resize(33, refcheck=False)
        x[:] = nx
        y.resize((33, 1), refcheck=False)
        y[:] = ny

    got = vorn(x, y, Resizer(grow, 0.9), 1.0)
    assert_results_identical(got, vorn(nx, ny, 0.9, 1.0))


def test_gamma_that_resizes_y(rng):
    y = rng.normal(size=(50, 1))
    new = rng.normal(size=(17, 1))

    def shrink():
        y.resize((17, 1), refcheck=False)
        y[:] = new

    got = vorn(None, y, 0.8, Resizer(shrink, 2.0))
    assert_results_identical(got, vorn(None, new, 0.8, 2.0))


def test_p_that_resizes_y_only_reports_the_length_mismatch(rng):
    x, y, _ = jump_data(rng, n=20)

    def grow():
        y.resize((26, 1), refcheck=False)

    with pytest.raises(RuntimeError) as info:
        vorn(x, y, Resizer(grow, 0.5), 1.0)
    assert info.value.args == ("x and y must have matching length: x has 20, y has 26",)


def test_gamma_that_resizes_delta(rng):
    x, y, delta = jump_data(rng, n=20)

    def grow():
        delta.resize(1000, refcheck=False)
        delta[:] = 3.0

    with pytest.raises(RuntimeError) as info:
        vorn(x, y, 0.5, Resizer(grow, 1.0), delta)
    assert info.value.args == ("delta must have the same length as x (20), got 1000",)


@pytest.mark.parametrize(
    "name, change",
    [
        ("x", lambda a: a["x"].resize((2, 10), refcheck=False)),
        ("x", lambda a: setattr(a["x"], "dtype", np.int64)),
        ("y", lambda a: a["y"].resize((20,), refcheck=False)),
        ("y", lambda a: setattr(a["y"], "dtype", np.int64)),
        ("delta", lambda a: a["delta"].resize((4, 5), refcheck=False)),
    ],
)
def test_array_that_stops_qualifying_during_conversion(rng, name, change):
    x, y, delta = jump_data(rng, n=20)
    arrays = {"x": x, "y": y, "delta": delta}
    with pytest.raises(TypeError) as info:
        vorn(x, y, Resizer(lambda: change(arrays), 0.5), 1.0, delta)
    assert str(info.value) == f"argument '{name}': 'ndarray' object {ARRAY}"


def test_array_changed_during_conversion_beats_an_unknown_option():
    y = np.ones((5, 1))
    with pytest.raises(TypeError, match=r"^argument 'y'"):
        vorn(None, y, Resizer(lambda: y.resize(5, refcheck=False), 0.5), 1.0, None, "bad")


# ---- references and memory ----


@under_sanitizer
def test_out_of_memory_is_a_memory_error(rng):
    # vorn copies its inputs: 2**46 rows of a broadcast view cannot be had.
    huge = np.broadcast_to(np.ones((1, 1)), (2**46, 1))
    with pytest.raises(MemoryError):
        vorn(None, huge, 0.5, 1.0)
    x, y, delta = jump_data(rng)
    assert_results_identical(vorn(x, y, 0.9, 1.0, delta), vorn(x, y.copy(), 0.9, 1.0, delta))


def test_reference_counts_are_unchanged(rng, internal_failure):
    x, y, delta = jump_data(rng, n=30)
    p = HasFloat(0.9)
    bad = [1.0]
    objs = (x, y, delta, p, bad)

    def counts():
        return [sys.getrefcount(o) for o in objs]

    before = counts()
    for call in [
        lambda: vorn(x, y, p, 1.0, delta),
        lambda: vorn(x, y, p, 1.0, delta, "PELT", "local"),
        lambda: vorn(x, bad, p, 1.0, delta),
        lambda: vorn(x, y, p, 1.0, bad),
        lambda: vorn(x, y, p, "g", delta),
        lambda: vorn(x, y, p, 1.0, delta, "bad"),
        lambda: vorn(x, y, p, -1.0, delta),
        lambda: vorn(x, y, p, 1.0, delta, q=1),
        lambda: vorn(np.array([0.0, np.nan, 1.0]), y[:3], p, 1.0, delta[:3]),
        lambda: vorn(x, y, Raising(ValueError("v")), 1.0, delta),
    ]:
        try:
            call()
        except BaseException:
            pass
    gc.collect()
    assert counts() == before


@under_sanitizer
def test_memory_does_not_grow_over_repeated_calls(rng):
    x, y, delta = jump_data(rng, n=300, dim=2)
    short = np.ones(299)

    def burst(count):
        for _ in range(count):
            vorn(x, y, 0.9, 1.0, delta)
            for bad in [(x, y, 2.0, 1.0, delta), (x, y, 0.9, 1.0, short),
                        (x, y, 0.9, 1.0, delta, "nope"), (x, [1.0], 0.9, 1.0)]:
                try:
                    vorn(*bad)
                except (RuntimeError, ValueError, TypeError):
                    pass

    burst(50)
    gc.collect()
    rss0, blocks0 = rss_bytes(), sys.getallocatedblocks()
    burst(600)
    gc.collect()
    rss1, blocks1 = rss_bytes(), sys.getallocatedblocks()
    # A leaked copy of the inputs alone would be 600 * 2 * 9.6 kB.
    assert rss1 - rss0 < 2_000_000
    assert blocks1 - blocks0 < 500
