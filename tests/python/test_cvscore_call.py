"""The call frame of vorn_cvscore: binding, conversions, folds, views, failures, lifetimes."""

import gc
import math
import operator
import sys

import numpy as np
import pytest

from _vorn_core import vorn, vorn_cvscore
from conftest import bind_error, eval_pp, jump_data, rss_bytes, under_sanitizer

pytestmark = pytest.mark.extension

ARRAY = "cannot be converted to 'PyArray<T, D>'"


def vorn_cvscore_def(x, y, p, gamma, delta, folds, pruning="FPVI", precondition="none"):
    return "bound"


vorn_cvscore_def.__qualname__ = "vorn_cvscore"


def reference_score(x, y, delta, folds, p, gamma, pruning="FPVI", precondition="none"):
    """The cross-validation score from vorn fits and an evaluation of our own."""
    n = len(x)
    total = 0.0
    for fold in folds:
        held = set(fold)
        train = [i for i in range(n) if i not in held]
        r = vorn(x[train], y[train], p, gamma, delta[train], pruning, precondition)
        pred = eval_pp(r["breaks"], r["coefs"], r["dim"], x[list(fold)])
        total += float(np.sum(((pred - y[list(fold)]) / delta[list(fold)][:, None]) ** 2))
    return total / n


@pytest.fixture
def data(rng):
    return jump_data(rng, n=24, dim=2, noise=0.1)


def five_folds(n):
    return [list(range(k, n, 5)) for k in range(5)]


# ---- binding ----


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1, 2, 3, 4, 5), {}),
        ((1,) * 9, {}),
        ((1,) * 9, {"folds": 1}),
        ((1, 2, 3, 4, 5), {"fold": 1}),
        ((1, 2, 3, 4, 5, 6), {"delta": 1}),
        ((), {"folds": 1, "x": 2}),
        ((1,), {2: 3}),
        ((1, 2, 3), {"precondition": 1, "pruning": 2}),
    ],
)
def test_binding_matches_a_python_def(args, kwargs):
    assert bind_error(vorn_cvscore, args, kwargs) == bind_error(vorn_cvscore_def, args, kwargs)


def test_binding_messages():
    assert bind_error(vorn_cvscore, (1,) * 9, {}) == (
        "vorn_cvscore() takes from 6 to 8 positional arguments but 9 were given"
    )
    assert bind_error(vorn_cvscore, (1, 2, 3, 4), {}) == (
        "vorn_cvscore() missing 2 required positional arguments: 'delta' and 'folds'"
    )


# ---- the score ----


@pytest.mark.parametrize(
    "p, gamma, pruning, precondition",
    [(0.9, 1.0, "FPVI", "none"), (0.99, 0.3, "PELT", "local"), (1.0, 2.0, "fpvi", "LOCAL"),
     (0.5, np.inf, "pelt", "none"), (0.0, 1.0, "FPVI", "none")],
)
def test_score_equals_a_reference(data, p, gamma, pruning, precondition):
    x, y, delta = data
    folds = five_folds(len(x))
    got = vorn_cvscore(x, y, p, gamma, delta, folds, pruning, precondition)
    want = reference_score(x, y, delta, folds, p, gamma, pruning, precondition)
    assert type(got) is float
    assert got == pytest.approx(want, rel=1e-9)


def test_folds_need_not_partition(data):
    x, y, delta = data
    folds = [[3, 3, 7], [], [7, 20, 1]]
    got = vorn_cvscore(x, y, 0.9, 1.0, delta, folds)
    assert got == pytest.approx(reference_score(x, y, delta, folds, 0.9, 1.0), rel=1e-9)


def test_no_folds_scores_zero(data):
    x, y, delta = data
    got = vorn_cvscore(x, y, 0.9, 1.0, delta, [])
    assert type(got) is float and got == 0.0


@pytest.mark.parametrize("p, gamma", [(0.5, 0.0), (1.5, 1.0), (math.nan, 1.0), (0.5, math.nan)])
def test_unscorable_pairs_return_infinity_as_a_float(data, p, gamma):
    x, y, delta = data
    got = vorn_cvscore(x, y, p, gamma, delta, five_folds(len(x)))
    assert type(got) is float and got == math.inf


def test_too_few_training_samples_return_infinity(data):
    x, y, delta = data
    assert vorn_cvscore(x, y, 0.5, 1.0, delta, [list(range(len(x) - 1))]) == math.inf


def test_layouts_give_identical_scores(data):
    x, y, delta = data
    folds = five_folds(len(x))
    want = vorn_cvscore(x, y, 0.95, 0.5, delta, folds)
    big = np.full((2 * len(x), 7), np.nan)
    big[::2, 2:6:2] = y
    ro = y.copy()
    ro.setflags(write=False)
    for ly in [np.asfortranarray(y), big[::2, 2:6:2], y[::-1].copy()[::-1], ro]:
        assert vorn_cvscore(x, ly, 0.95, 0.5, delta, folds) == want
    bx = np.repeat(x, 3)[::3]
    bd = delta[::-1].copy()[::-1]
    assert vorn_cvscore(bx, y, 0.95, 0.5, bd, folds) == want


def test_rows_beyond_n_are_not_read(data):
    x, y, delta = data
    folds = five_folds(len(x))
    longer_y = np.vstack([y, np.full((5, 2), np.nan)])
    longer_delta = np.concatenate([delta, [np.nan] * 5])
    want = vorn_cvscore(x, y, 0.9, 1.0, delta, folds)
    assert vorn_cvscore(x, longer_y, 0.9, 1.0, longer_delta, folds) == want


def test_arrays_are_read_in_place_without_copies(data):
    # A copy of these 2**46-row views would need 512 TiB; only the first n rows are ever read.
    x, y, delta = data
    folds = five_folds(len(x))
    huge_delta = np.broadcast_to(np.array([0.7]), (2**46,))
    assert vorn_cvscore(x, y, 0.9, 1.0, huge_delta, folds) == vorn_cvscore(
        x, y, 0.9, 1.0, np.full(len(x), 0.7), folds
    )
    row = np.array([[1.5, -2.0]])
    huge_y = np.broadcast_to(row, (2**46, 2))
    assert vorn_cvscore(x, huge_y, 0.9, 1.0, delta, folds) == vorn_cvscore(
        x, np.repeat(row, len(x), axis=0), 0.9, 1.0, delta, folds
    )


# ---- folds conversion ----


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class StrictInt(int):
    """An int whose __index__ must not be consulted."""

    def __index__(self):
        raise AssertionError("__index__ of an int subclass called")


class BadLength:
    """A sequence whose __len__ fails or lies; only iteration counts."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(
    "folds",
    [
        [(0, 5, 10), range(1, 24, 5), b"\x02\x07\x0c", np.array([3, 8, 13], dtype=np.int32),
         [np.int64(4), IndexLike(9), StrictInt(14), True]],
        ((0, 5, 10), [1, 6, 11, 16, 21], [2, 7, 12], [3, 8, 13], [4, 9, 14, 1]),
        np.array([[0, 5, 10], [1, 6, 11], [2, 7, 12], [3, 8, 13], [4, 9, 14]]),
        BadLength([[0, 5, 10], BadLength([1, 6], ValueError("len")), [2, 7]], 2**62),
        BadLength([[0, 5, 10], BadLength([1, 6], 2**40), [2, 7]], -1),
        BadLength([[0, 5, 10], BadLength([1, 6], 0), [2, 7]], TypeError("len")),
    ],
)
def test_fold_containers(data, folds):
    x, y, delta = data
    as_lists = [[operator.index(i) for i in fold] for fold in folds]
    got = vorn_cvscore(x, y, 0.9, 1.0, delta, folds)
    assert got == vorn_cvscore(x, y, 0.9, 1.0, delta, as_lists)
    assert got == pytest.approx(reference_score(x, y, delta, as_lists, 0.9, 1.0), rel=1e-9)


class FailingItems:
    def __init__(self, exc, item=(0,)):
        self.exc, self.item = exc, item

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise self.exc
        return self.item


def score_error(folds, pruning="FPVI"):
    x = np.arange(6.0)
    with pytest.raises(BaseException) as info:
        vorn_cvscore(x, np.ones((6, 1)), 0.5, 1.0, np.ones(6), folds, pruning)
    return info.value


@pytest.mark.parametrize(
    "folds, message",
    [
        ("01", "argument 'folds': Can't extract `str` to `Vec`"),
        ([[0, 1], "2"], "argument 'folds': Can't extract `str` to `Vec`"),
        ([[0], type("S", (str,), {})("1")], "argument 'folds': Can't extract `str` to `Vec`"),
        ([0, 1], "argument 'folds': 'int' object cannot be converted to 'Sequence'"),
        (b"\x00", "argument 'folds': 'int' object cannot be converted to 'Sequence'"),
        ({0: [1]}, "argument 'folds': 'dict' object cannot be converted to 'Sequence'"),
        ({(0,)}, "argument 'folds': 'set' object cannot be converted to 'Sequence'"),
        ([{0}], "argument 'folds': 'set' object cannot be converted to 'Sequence'"),
        ((f for f in [[0]]), "argument 'folds': 'generator' object cannot be converted to 'Sequence'"),
        (None, "argument 'folds': 'NoneType' object cannot be converted to 'Sequence'"),
        ([[0.5]], "argument 'folds': 'float' object cannot be interpreted as an integer"),
        ([[0], [1, "2"]], "argument 'folds': 'str' object cannot be interpreted as an integer"),
        (FailingItems(TypeError("item")), "argument 'folds': item"),
    ],
)
def test_fold_type_errors(folds, message):
    err = score_error(folds)
    assert type(err) is TypeError
    assert str(err) == message


def test_fold_element_message_is_cpythons_own():
    element = np.float64(1.5)
    with pytest.raises(TypeError) as want:
        operator.index(element)
    err = score_error([[element]])
    assert str(err) == "argument 'folds': " + str(want.value)


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**100])
def test_fold_index_overflow_is_unprefixed(value):
    err = score_error([[0], [value]])
    assert type(err) is OverflowError
    assert str(err) == "Python int too large to convert to C long"


def test_other_errors_while_iterating_are_unchanged():
    exc = RuntimeError("iteration broke")
    assert score_error(FailingItems(exc)) is exc
    assert score_error([[0], FailingItems(exc, 0)]) is exc
    with pytest.raises(TypeError) as info:
        vorn_cvscore(np.arange(3.0), np.ones((3, 1)), 0.5, 1.0, np.ones(3),
                     [FailingItems(TypeError("inner"), 0)])
    assert str(info.value) == "argument 'folds': inner"


def test_int64_extremes_pass_the_frame(internal_failure):
    # They fit in 64 bits, so the frame accepts them; the core then finds them outside the data.
    for value in [2**63 - 1, -(2**63)]:
        assert type(score_error([[value]])) is internal_failure


# ---- failures ----


@pytest.mark.parametrize(
    "name, value, type_name",
    [("x", None, "NoneType"), ("delta", None, "NoneType"), ("x", np.ones((3, 1)), "ndarray"),
     ("y", np.ones(3), "ndarray"), ("delta", [1.0, 1.0, 1.0], "list"),
     ("y", np.ones((3, 1), dtype=np.float32), "ndarray")],
)
def test_array_type_mismatch(name, value, type_name):
    args = {"x": np.arange(3.0), "y": np.ones((3, 1)), "p": 0.5, "gamma": 1.0,
            "delta": np.ones(3), "folds": [[0]]}
    args[name] = value
    with pytest.raises(TypeError) as info:
        vorn_cvscore(**args)
    assert str(info.value) == f"argument '{name}': '{type_name}' object {ARRAY}"


@pytest.mark.parametrize(
    "changes, exc, message",
    [
        ({"y": [1], "pruning": "bad"}, TypeError, f"argument 'y': 'list' object {ARRAY}"),
        ({"p": "p", "folds": "x"}, TypeError, "argument 'p': must be real number, not str"),
        ({"gamma": None, "delta": None}, TypeError,
         "argument 'gamma': must be real number, not NoneType"),
        ({"delta": None, "folds": "x"}, TypeError, f"argument 'delta': 'NoneType' object {ARRAY}"),
        ({"folds": [[0.5]], "pruning": "bad"}, TypeError,
         "argument 'folds': 'float' object cannot be interpreted as an integer"),
        ({"folds": [[-1]], "pruning": "bad"}, ValueError,
         "unknown pruning 'bad', expected 'FPVI' or 'PELT'"),
        ({"pruning": None, "precondition": None}, TypeError,
         "argument 'pruning': 'NoneType' object cannot be converted to 'PyString'"),
        ({"pruning": "bad", "precondition": "worse"}, ValueError,
         "unknown pruning 'bad', expected 'FPVI' or 'PELT'"),
        ({"precondition": "worse"}, ValueError,
         "unknown precondition 'worse', expected 'none' or 'local'"),
        ({"precondition": b"none"}, TypeError,
         "argument 'precondition': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_first_failing_step_wins(changes, exc, message):
    args = {"x": np.arange(3.0), "y": np.ones((3, 1)), "p": 0.5, "gamma": 1.0,
            "delta": np.ones(3), "folds": [[0]]}
    args.update(changes)
    with pytest.raises(exc) as info:
        vorn_cvscore(**args)
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize(
    "y_rows, delta_len, folds",
    [(6, 6, [[-1]]), (6, 6, [[6]]), (6, 6, [[0], [2, 7]]), (4, 6, [[5]]), (6, 3, [[4]]),
     (6, 6, [[-(2**62)]])],
)
def test_indices_outside_the_data_are_internal_failures(internal_failure, y_rows, delta_len,
                                                        folds):
    x = np.arange(6.0)
    y = np.arange(float(y_rows)).reshape(y_rows, 1)
    with pytest.raises(internal_failure) as info:
        vorn_cvscore(x, y, 0.5, 1.0, np.ones(delta_len), folds)
    assert len(info.value.args) == 1 and info.value.args[0]
    # The interpreter and the module go on working.
    assert vorn_cvscore(x, np.ones((6, 1)), 0.5, 1.0, np.ones(6), [[1]]) >= 0.0


# ---- caller code that changes arrays during the conversions ----


class Hook:
    """A fold index whose conversion runs an action first."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value


def test_fold_index_that_resizes_delta(data):
    x, y, delta = data
    n = len(x)

    def grow():
        delta.resize(3 * n, refcheck=False)
        delta[:] = 2.5

    folds = [[0, 5], [Hook(grow, 1), 7]]
    got = vorn_cvscore(x, y, 0.9, 1.0, delta, folds)
    want = vorn_cvscore(x, y, 0.9, 1.0, np.full(3 * n, 2.5), [[0, 5], [1, 7]])
    assert got == want


def test_fold_index_that_shrinks_delta(data, internal_failure):
    x, y, delta = data

    def shrink():
        delta.resize(4, refcheck=False)

    with pytest.raises(internal_failure):
        vorn_cvscore(x, y, 0.9, 1.0, delta, [[0, Hook(shrink, 12)]])


def test_fold_index_that_resizes_x(data):
    x, y, delta = data
    nx = np.sort(np.random.default_rng(5).uniform(0, 30, 18))

    def replace():
        x.resize(18, refcheck=False)
        x[:] = nx

    got = vorn_cvscore(x, y, 0.9, 1.0, delta, [[0, Hook(replace, 3)], [4, 9]])
    assert got == vorn_cvscore(nx, y, 0.9, 1.0, delta, [[0, 3], [4, 9]])


def test_p_that_turns_y_into_one_dimension(data):
    x, y, delta = data

    class P:
        def __float__(self):
            y.resize(y.size, refcheck=False)
            return 0.5

    with pytest.raises(TypeError) as info:
        vorn_cvscore(x, y, P(), 1.0, delta, [[0]])
    assert str(info.value) == f"argument 'y': 'ndarray' object {ARRAY}"


# ---- references and memory ----


def test_reference_counts_are_unchanged(data, internal_failure):
    x, y, delta = data
    fold = [0, 5, 10]
    folds = [fold, (1, 2)]
    bad_folds = [[0], [0.5]]
    objs = (x, y, delta, fold, folds, bad_folds)
    before = [sys.getrefcount(o) for o in objs]
    for call in [
        lambda: vorn_cvscore(x, y, 0.9, 1.0, delta, folds),
        lambda: vorn_cvscore(x, y, 0.9, 1.0, delta, bad_folds),
        lambda: vorn_cvscore(x, y, 0.9, 1.0, delta, folds, "bad"),
        lambda: vorn_cvscore(x, y, 0.9, 1.0, None, folds),
        lambda: vorn_cvscore(x, y, 0.9, 1.0, delta, [[len(x)]]),
        lambda: vorn_cvscore(x, y, 0.9, 0.0, delta, folds),
        lambda: vorn_cvscore(x, y, 0.9, 1.0, delta, folds, q=1),
    ]:
        try:
            call()
        except BaseException:
            pass
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == before


@under_sanitizer
def test_memory_does_not_grow_over_repeated_calls(data):
    x, y, delta = data
    folds = five_folds(len(x))
    big_folds = [list(range(k, 5000, 3)) for k in range(3)]

    def burst(count):
        for _ in range(count):
            vorn_cvscore(x, y, 0.9, 1.0, delta, folds)
            for bad in [(x, y, 0.9, 1.0, delta, big_folds + [[0.5]]),
                        (x, y, 0.9, 1.0, delta, big_folds, "bad"),
                        (x, y, 0.9, 1.0, delta, [[-1]])]:
                try:
                    vorn_cvscore(*bad)
                except BaseException:
                    pass

    burst(20)
    gc.collect()
    rss0, blocks0 = rss_bytes(), sys.getallocatedblocks()
    burst(300)
    gc.collect()
    rss1, blocks1 = rss_bytes(), sys.getallocatedblocks()
    # A leaked fold list alone would be 300 * 2 * 40 kB.
    assert rss1 - rss0 < 2_000_000
    assert blocks1 - blocks0 < 500
