"""Reference model of both call frames, used by the fuzz tests.

Given the arguments of one call it predicts, without running the extension, which exception
(type and exact text) the call must raise, or which prepared samples a successful fit must
report. Primitive conversions (float, index, sequence test) go through CPython's own C functions
via ctypes, so their wording is CPython's; the order of the checks, the prefix rule, the option
parsers, the sample preparation and the cross-validation bookkeeping are modelled here.

The tests at the bottom pin the model itself to hand-worked cases, so that a wrong model cannot
silently agree with a wrong extension.
"""

from __future__ import annotations

import ctypes
import decimal
import math
import operator
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

import numpy as np
import pytest

# ---------------------------------------------------------------------------------------------
# CPython's primitives, exactly as the call frames use them.

_api = ctypes.pythonapi
_float_as_double = _api.PyFloat_AsDouble
_float_as_double.argtypes = [ctypes.py_object]
_float_as_double.restype = ctypes.c_double
_sequence_check = _api.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int
_sequence_size = _api.PySequence_Size
_sequence_size.argtypes = [ctypes.py_object]
_sequence_size.restype = ctypes.c_ssize_t
_long_as_long = _api.PyLong_AsLong
_long_as_long.argtypes = [ctypes.py_object]
_long_as_long.restype = ctypes.c_long
_number_index = _api.PyNumber_Index
_number_index.argtypes = [ctypes.py_object]
_number_index.restype = ctypes.py_object

F64 = np.dtype(np.float64)
EXTEND_MESSAGE = "assertion failed: l <= self.breaks[0] && *self.breaks.last().unwrap() <= r"
RESULT_KEYS = [
    "breaks", "coefs", "dim", "order", "discont", "discont_idx", "x", "y",
    "complexity_counter", "interval_cell", "pp_cell", "F", "partition", "precondition", "tau",
]


class Internal:
    """Stands for the extension's InternalFailure type, which the model cannot name."""


@dataclass
class Raise:
    type: type
    message: Optional[str]  # None: any text (left to the implementer)
    cause: Optional[type] = None

    def describe(self) -> str:
        return f"{self.type.__name__}({self.message!r})"


@dataclass
class FitOk:
    """A successful fit; the prepared samples and the facts the result must agree with."""
    x: list
    y: list  # rows
    dim: int
    shortcut: bool
    precondition: str
    p: float


@dataclass
class ScoreOk:
    value: Optional[float]  # None: the model cannot compute it (see folds_need_fits)
    fits: list = field(default_factory=list)  # per fold (train_x, train_y, train_delta, held-out)


@dataclass
class Outcomes:
    """One expected outcome, or several when rounding decides between them."""
    options: list

    @property
    def main(self):
        return self.options[0]


class _Stop(Exception):
    """Carries an expected outcome out of the model's nested steps."""

    def __init__(self, outcome):
        super().__init__()
        self.outcome = outcome


# ---------------------------------------------------------------------------------------------
# Numbers and messages.

def ieee_div(a: float, b: float) -> float:
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def ieee_sqrt(a: float) -> float:
    with np.errstate(all="ignore"):
        return float(np.sqrt(np.float64(a)))


def format_double(v: float) -> str:
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "-inf" if v < 0 else "inf"
    text = format(decimal.Decimal(repr(v)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def too_few(count: int) -> Raise:
    return Raise(RuntimeError, f"at least two finite data points are required, got {count}")


def same_float(a: float, b: float) -> bool:
    """Bitwise equality of two doubles (NaN payloads aside, -0.0 distinct from 0.0)."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


# ---------------------------------------------------------------------------------------------
# Conversions of the call frames.

def _conversion_failure(name: str, exc: BaseException) -> Raise:
    if type(exc) is TypeError:
        cause = exc.__cause__
        return Raise(TypeError, f"argument '{name}': {exc}",
                     None if cause is None else type(cause))
    return Raise(type(exc), str(exc))


def _mismatch(name: str, obj, target: str) -> _Stop:
    """The type-mismatch failure; reading the type's __qualname__ may itself fail."""
    try:
        qualname = str(type(obj).__qualname__)
    except BaseException as exc:  # noqa: BLE001
        return _Stop(_conversion_failure(name, exc))
    return _Stop(Raise(TypeError, f"argument '{name}': '{qualname}' object cannot be converted "
                                  f"to '{target}'"))


def convert_array(name: str, obj, ndim: int):
    if issubclass(type(obj), np.ndarray) and obj.ndim == ndim and obj.dtype == F64:
        return obj
    raise _mismatch(name, obj, "PyArray<T, D>")


def convert_float(name: str, obj) -> float:
    try:
        return float(_float_as_double(obj))
    except BaseException as exc:  # noqa: BLE001 - the model mirrors whatever the object raises
        raise _Stop(_conversion_failure(name, exc)) from None


def convert_option(name: str, obj) -> str:
    if not issubclass(type(obj), str):
        raise _mismatch(name, obj, "PyString")
    try:
        str.encode(obj, "utf-8")
    except BaseException as exc:  # noqa: BLE001
        raise _Stop(_conversion_failure(name, exc)) from None
    return str.__str__(obj)


def parse_pruning(text: str) -> str:
    raw = str.encode(text, "utf-8")
    if raw in (b"FPVI", b"fpvi"):
        return "FPVI"
    if raw in (b"PELT", b"pelt"):
        return "PELT"
    raise _Stop(Raise(ValueError, f"unknown pruning '{text}', expected 'FPVI' or 'PELT'"))


def parse_precondition(text: str) -> str:
    raw = str.encode(text, "utf-8")
    lowered = bytes(c + 32 if 65 <= c <= 90 else c for c in raw)
    if raw and lowered in (b"none", b"local"):
        return lowered.decode("ascii")
    raise _Stop(Raise(ValueError, f"unknown precondition '{text}', expected 'none' or 'local'"))


def _fold_sequence(obj) -> None:
    if issubclass(type(obj), str):
        raise _Stop(Raise(TypeError, "argument 'folds': Can't extract `str` to `Vec`"))
    if not _sequence_check(obj):
        raise _mismatch("folds", obj, "Sequence")
    try:
        _sequence_size(obj)
    except BaseException:  # noqa: BLE001 - the frame discards it too
        pass


def _fold_index(element) -> int:
    if issubclass(type(element), int):
        return _long_as_long(element)
    return _long_as_long(_number_index(element))


def convert_folds(obj) -> list:
    try:
        _fold_sequence(obj)
        folds = []
        for item in iter(obj):
            _fold_sequence(item)
            folds.append([_fold_index(e) for e in iter(item)])
        return folds
    except _Stop:
        raise
    except BaseException as exc:  # noqa: BLE001
        raise _Stop(_conversion_failure("folds", exc)) from None


# ---------------------------------------------------------------------------------------------
# Binding: a Python def with the same parameters gives CPython's own wording.

def vorn(x, y, p, gamma, delta=None, pruning="FPVI", precondition="none"):  # noqa: D103
    return dict(x=x, y=y, p=p, gamma=gamma, delta=delta, pruning=pruning,
                precondition=precondition)


def vorn_cvscore(x, y, p, gamma, delta, folds, pruning="FPVI", precondition="none"):  # noqa: D103
    return dict(x=x, y=y, p=p, gamma=gamma, delta=delta, folds=folds, pruning=pruning,
                precondition=precondition)


_MISSING = object()


def _bind(reference: Callable, args: tuple, kwargs: dict) -> dict:
    try:
        bound = reference(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - a keyword's own __eq__ may raise anything
        raise _Stop(Raise(type(exc), str(exc))) from None
    omitted = {name for name in ("pruning", "precondition")
               if name not in kwargs and len(args) <= list(bound).index(name)}
    for name in omitted:
        bound[name] = _MISSING
    return bound


# ---------------------------------------------------------------------------------------------
# Sample preparation and the fit's outcome.

def _plain(array) -> np.ndarray:
    return np.asarray(array).view(np.ndarray)


def prepare(x, y, delta):
    """Prepared samples (x list, y rows) or the Raise the fit must end with."""
    y = _plain(y)
    n, dim = y.shape
    if n < 2:
        return too_few(n)
    if x is not None and x.shape[0] != n:
        return Raise(RuntimeError,
                     f"x and y must have matching length: x has {x.shape[0]}, y has {n}")
    if delta is not None and delta.shape[0] != n:
        return Raise(RuntimeError, f"delta must have the same length as x ({n}), got "
                                   f"{delta.shape[0]}")
    rows = [[float(y[i, c]) for c in range(dim)] for i in range(n)]
    kept = [i for i in range(n) if all(math.isfinite(v) for v in rows[i])]
    if len(kept) < 2:
        return too_few(len(kept))
    xs = None if x is None else _plain(x)
    ds = None if delta is None else _plain(delta)
    sites = [float(xs[i]) if xs is not None else float(i + 1) for i in kept]
    weights = []
    for i in kept:
        d = float(ds[i]) if ds is not None else 1.0
        weights.append(ieee_div(1.0, d * d))
    if any(math.isnan(s) for s in sites):
        return Raise(Internal, "NaN in x")
    order = sorted(range(len(kept)), key=lambda k: sites[k])  # stable
    out_x, out_y = [], []
    k = 0
    while k < len(order):
        first = order[k]
        site = sites[first]
        total = weights[first]
        sums = [weights[first] * v for v in rows[kept[first]]]
        j = k + 1
        while j < len(order) and sites[order[j]] == site:
            w = weights[order[j]]
            total = total + w
            sums = [s + w * v for s, v in zip(sums, rows[kept[order[j]]])]
            j += 1
        out_x.append(site)
        out_y.append([ieee_div(s, total) for s in sums])
        k = j
    if len(out_x) < 2:
        return too_few(len(out_x))
    return out_x, out_y


def midpoint_escapes(sites: list) -> bool:
    """True when some jump location between neighbours would fall outside them (overflow)."""
    for a, b in zip(sites, sites[1:]):
        mid = (a + b) * 0.5
        if not (a <= mid <= b):
            return True
    return False


def jump_site(left: float, right: float, got: float) -> float:
    """The jump location between two neighbouring sites: their sum halved, in that order.

    When that sum overflows for two finite sites, the halves-first form (which stays between
    them) is accepted too: it is the only way for such a fit to succeed at all.
    """
    mid = (right + left) * 0.5
    if not math.isfinite(mid) and math.isfinite(left) and math.isfinite(right):
        halves = left * 0.5 + right * 0.5
        if same_float(got, halves):
            return halves
    return mid


def fit_outcome(x, y, delta, pruning, precondition, p, gamma) -> Outcomes:
    if not (0.0 <= p <= 1.0):
        return Outcomes([Raise(RuntimeError, f"p must satisfy 0 <= p <= 1, got {format_double(p)}")])
    if not (0.0 <= gamma):
        return Outcomes([Raise(RuntimeError,
                               f"gamma must satisfy 0 <= gamma, got {format_double(gamma)}")])
    prepared = prepare(x, y, delta)
    if isinstance(prepared, Raise):
        return Outcomes([prepared])
    px, py = prepared
    shortcut = p == 1.0 or gamma >= math.inf
    ok = FitOk(px, py, _plain(y).shape[1], shortcut, precondition, p)
    if not shortcut and midpoint_escapes(px):
        return Outcomes([ok, Raise(Internal, EXTEND_MESSAGE)])
    return Outcomes([ok])


def vorn_outcome(args: tuple, kwargs: dict) -> Outcomes:
    """What vorn(*args, **kwargs) must do."""
    try:
        b = _bind(vorn, args, kwargs)
        x = None if b["x"] is None else convert_array("x", b["x"], 1)
        y = convert_array("y", b["y"], 2)
        p = convert_float("p", b["p"])
        gamma = convert_float("gamma", b["gamma"])
        delta = None if b["delta"] is None else convert_array("delta", b["delta"], 1)
        pruning = "FPVI" if b["pruning"] is _MISSING else convert_option("pruning", b["pruning"])
        precondition = ("none" if b["precondition"] is _MISSING
                        else convert_option("precondition", b["precondition"]))
        pruning = parse_pruning(pruning)
        precondition = parse_precondition(precondition)
    except _Stop as stop:
        return Outcomes([stop.outcome])
    return fit_outcome(x, y, delta, pruning, precondition, p, gamma)


def cvscore_outcome(args: tuple, kwargs: dict, fitter: Optional[Callable] = None) -> Outcomes:
    """What vorn_cvscore(*args, **kwargs) must do.

    `fitter(x, y, delta, pruning, precondition, p, gamma)` returns the joined form (breaks,
    coefs, dim) of one training fit; with it the model computes the score exactly. Without it
    (or when a training fit is ambiguous) any float is accepted once the checks have passed.
    """
    try:
        b = _bind(vorn_cvscore, args, kwargs)
        x = convert_array("x", b["x"], 1)
        y = convert_array("y", b["y"], 2)
        p = convert_float("p", b["p"])
        gamma = convert_float("gamma", b["gamma"])
        delta = convert_array("delta", b["delta"], 1)
        folds = convert_folds(b["folds"])
        pruning = "FPVI" if b["pruning"] is _MISSING else convert_option("pruning", b["pruning"])
        precondition = ("none" if b["precondition"] is _MISSING
                        else convert_option("precondition", b["precondition"]))
        pruning = parse_pruning(pruning)
        precondition = parse_precondition(precondition)
    except _Stop as stop:
        return Outcomes([stop.outcome])
    return score_outcome(_plain(x), _plain(y), _plain(delta), folds, pruning, precondition, p,
                         gamma, fitter)


def locate(breaks: list, site: float) -> int:
    nb = len(breaks)
    if nb < 2 or site <= breaks[0]:
        return 0
    if site >= breaks[-1]:
        return nb - 2
    lo, hi = 0, nb - 1
    while True:
        mid = (lo + hi) // 2
        if site >= breaks[mid]:
            lo = mid
            if mid + 1 >= hi:
                return lo
        else:
            if lo + 1 >= mid:
                return lo
            hi = mid


def evaluate(breaks: list, coefs: np.ndarray, dim: int, site: float) -> list:
    if len(breaks) < 2:
        return [0.0] * dim
    i = locate(breaks, site)
    t = site - breaks[i]
    values = []
    for d in range(dim):
        row = coefs[i * dim + d]
        v = float(row[0])
        for c in row[1:]:
            v = v * t + float(c)
        values.append(v)
    return values


def score_outcome(x, y, delta, folds, pruning, precondition, p, gamma, fitter) -> Outcomes:
    n = x.shape[0]
    if gamma <= 0.0 or not (0.0 <= p <= 1.0):
        return Outcomes([ScoreOk(math.inf)])
    if not folds:
        return Outcomes([ScoreOk(ieee_div(0.0, float(n)))])
    rows_y, len_delta, dim = y.shape[0], delta.shape[0], y.shape[1]
    score = 0.0
    exact = fitter is not None
    ambiguous = False

    def finish(outcome) -> Outcomes:
        # An earlier fold whose jump location could overflow may have ended the call instead.
        if ambiguous:
            return Outcomes([outcome, Raise(Internal, EXTEND_MESSAGE)])
        return Outcomes([outcome])

    for fold in folds:
        held = {i % (1 << 64) for i in fold}
        train = [i for i in range(n) if i not in held]
        if any(i >= rows_y or i >= len_delta for i in train):
            return finish(Raise(Internal, None))
        tx = np.array([x[i] for i in train], dtype=np.float64)
        ty = np.array([y[i] for i in train], dtype=np.float64).reshape(len(train), dim)
        td = np.array([delta[i] for i in train], dtype=np.float64)
        outcome = fit_outcome(tx, ty, td, pruning, precondition, p, gamma)
        first = outcome.main
        if isinstance(first, Raise):
            return finish(ScoreOk(math.inf) if first.type is RuntimeError else first)
        if len(outcome.options) > 1:
            ambiguous = True
        if any(k < 0 or k >= n or k >= rows_y or k >= len_delta for k in fold):
            return finish(Raise(Internal, None))
        if not exact or ambiguous:
            continue
        breaks, coefs, fdim = fitter(tx, ty, td, pruning, precondition, p, gamma)
        breaks = [float(b) for b in breaks]
        for k in fold:
            pred = evaluate(breaks, coefs, fdim, float(x[k]))
            for d in range(dim):
                r = ieee_div(pred[d] - float(y[k, d]), float(delta[k]))
                score = score + r * r
    if not exact or ambiguous:
        return finish(ScoreOk(None))
    return Outcomes([ScoreOk(ieee_div(score, float(n)))])


# ---------------------------------------------------------------------------------------------
# What a successful result must look like, and one checked call.

_internal_failure_type: list = []


def is_internal_failure(exc: BaseException) -> bool:
    """InternalFailure: a direct BaseException subclass, one type object for the process."""
    t = type(exc)
    if t.__bases__ != (BaseException,) or t.__name__ != "InternalFailure":
        return False
    if not _internal_failure_type:
        _internal_failure_type.append(t)
    return t is _internal_failure_type[0]


def _result_array(value, dtype, ndim, arrays: list, what: str) -> np.ndarray:
    assert type(value) is np.ndarray, what
    assert value.dtype == np.dtype(dtype) and value.dtype.isnative, what
    assert value.ndim == ndim, what
    assert value.flags.c_contiguous and value.flags.writeable, what
    arrays.append(value)
    return value


def _same_floats(actual, expected, what: str) -> None:
    actual = [float(v) for v in np.ravel(actual)]
    expected = [float(v) for v in np.ravel(np.asarray(expected, dtype=float))]
    assert len(actual) == len(expected), what
    bad = [i for i, (a, e) in enumerate(zip(actual, expected)) if not same_float(a, e)]
    assert not bad, f"{what}: {actual} != {expected}"


def check_fit_result(res, ok: FitOk, inputs: list) -> None:
    assert type(res) is dict
    assert list(res) == RESULT_KEYS
    n, d = len(ok.x), ok.dim
    arrays: list = []
    breaks = _result_array(res["breaks"], np.float64, 1, arrays, "breaks")
    coefs = _result_array(res["coefs"], np.float64, 2, arrays, "coefs")
    pieces = breaks.shape[0] - 1
    assert pieces >= 1 and coefs.shape == (pieces * d, 4)
    assert type(res["dim"]) is int and res["dim"] == d
    assert type(res["order"]) is int and res["order"] == 4
    discont = _result_array(res["discont"], np.float64, 1, arrays, "discont")
    discont_idx = _result_array(res["discont_idx"], np.int64, 1, arrays, "discont_idx")
    _same_floats(_result_array(res["x"], np.float64, 1, arrays, "x"), ok.x, "prepared x")
    y = _result_array(res["y"], np.float64, 2, arrays, "y")
    assert y.shape == (n, d)
    _same_floats(y, ok.y, "prepared y")
    assert type(res["complexity_counter"]) is int and res["complexity_counter"] >= n

    cells = res["interval_cell"]
    assert type(cells) is list and len(cells) >= 1
    segments = []
    for k, cell in enumerate(cells):
        cell = _result_array(cell, np.int64, 1, arrays, "interval_cell")
        start = 0 if k == 0 else segments[-1][1] + 1
        assert cell.tolist() == list(range(start, start + cell.shape[0])), "cells are consecutive"
        assert cell.shape[0] >= (1 if k == 0 else 2)
        segments.append((start, start + cell.shape[0] - 1))
    assert segments[-1][1] == n - 1
    nseg = len(segments)
    assert discont.shape == (nseg - 1,) and discont_idx.shape == (nseg - 1,)
    assert discont_idx.tolist() == [e for _, e in segments[:-1]]
    _same_floats(discont, [jump_site(ok.x[e], ok.x[e + 1], float(got))
                           for (_, e), got in zip(segments[:-1], discont)], "discont")

    F = _result_array(res["F"], np.float64, 1, arrays, "F")
    partition = _result_array(res["partition"], np.int64, 1, arrays, "partition")
    tau = _result_array(res["tau"], np.float64, 1, arrays, "tau")
    assert F.shape == partition.shape == tau.shape == (n,)
    assert F[0] == 0.0 and F[1] == 0.0
    part = partition.tolist()
    assert part[0] == 0 and part[1] == 0
    assert all(s == 0 or 1 <= s <= r - 1 for r, s in enumerate(part))
    readback, e = [], n - 1
    while True:
        s = part[e]
        readback.append((s, e))
        if s == 0:
            break
        e = s - 1
    assert readback[::-1] == segments, "interval_cell is the read-back of partition"
    if ok.shortcut:
        assert nseg == 1 and res["complexity_counter"] == n
        assert not F.any() and not partition.any()
    if ok.shortcut or ok.precondition == "none":
        assert (tau == 1.0).all()
    assert type(res["precondition"]) is str and res["precondition"] == ok.precondition

    forms = res["pp_cell"]
    assert type(forms) is list and len(forms) == nseg
    joined_breaks: list = []
    joined_coefs: list = []
    for k, ((s, e), form) in enumerate(zip(segments, forms)):
        assert type(form) is dict and list(form) == ["breaks", "coefs", "dim", "order"]
        assert type(form["dim"]) is int and form["dim"] == d
        assert type(form["order"]) is int and form["order"] == 4
        fb = _result_array(form["breaks"], np.float64, 1, arrays, "pp_cell breaks")
        fc = _result_array(form["coefs"], np.float64, 2, arrays, "pp_cell coefs")
        left = ok.x[0] - 1.0 if k == 0 else discont[k - 1]
        right = ok.x[-1] + 1.0 if k == nseg - 1 else discont[k]
        inner = [] if s == e else ok.x[s:e + 1]
        _same_floats(fb, [left] + inner + [right], "segment breaks")
        assert fc.shape == ((fb.shape[0] - 1) * d, 4)
        if s == e:
            _same_floats(fc, [[0.0, 0.0, 0.0, ok.y[s][j]] for j in range(d)], "constant piece")
        else:
            ends = np.concatenate([fc[:d, :2], fc[-d:, :2]]) if d else np.zeros(0)
            assert (ends == 0.0).all(), "linear end pieces"
            if ok.p == 0.0:
                assert (fc[:, :2] == 0.0).all(), "straight lines for p = 0"
            if ok.p == 1.0:
                values = [row[3] for row in fc[d:-d]] if d else []
                _same_floats(values, [ok.y[i][j] for i in range(s, e) for j in range(d)],
                             "interpolation")
        joined_breaks.extend(fb.tolist() if k == 0 else fb.tolist()[1:])
        joined_coefs.append(fc)
    assert breaks.tobytes() == np.array(joined_breaks).tobytes(), "joined breaks"
    assert coefs.tobytes() == np.concatenate(joined_coefs).tobytes(), "joined coefs"

    for i, a in enumerate(arrays):
        for b in arrays[i + 1:]:
            assert not np.may_share_memory(a, b), "result arrays share memory"
        for given in inputs:
            assert not np.may_share_memory(a, np.asarray(given)), "result shares an input"


def _arrays_in(obj, out: list, depth: int = 0) -> list:
    if isinstance(obj, np.ndarray):
        out.append(obj)
    elif isinstance(obj, (list, tuple)) and depth < 3:
        for item in obj:
            _arrays_in(item, out, depth + 1)
    return out


def _array_state(a: np.ndarray):
    plain = np.asarray(a)
    root = plain
    while isinstance(root.base, np.ndarray):
        root = root.base
    memory = bytes(root.base) if isinstance(root.base, (bytes, bytearray)) else root.tobytes()
    mask = np.ma.getmaskarray(a).tobytes() if isinstance(a, np.ma.MaskedArray) else b""
    return (plain.shape, plain.strides, plain.dtype.str, plain.flags.writeable, memory,
            plain.tobytes(), mask)


@dataclass
class Observed:
    result: Any = None
    exc_type: Optional[type] = None
    message: str = ""
    cause: Optional[type] = None
    internal: bool = False


def _matches(expected: Raise, seen: Observed) -> bool:
    if expected.type is Internal:
        if not seen.internal:
            return False
    elif seen.exc_type is not expected.type:
        return False
    if expected.message is not None and seen.message != expected.message:
        return False
    if expected.type is TypeError and expected.message.startswith("argument '"):
        return seen.cause is expected.cause
    return True


def check_call(function: Callable, model: Callable, build_call: Callable, recipe,
               warn_mode: str, fitter: Optional[Callable] = None) -> Observed:
    """Runs one call and the model on separate copies of its arguments and compares them."""
    import warnings

    args, kwargs = build_call(recipe)
    model_args, model_kwargs = build_call(recipe)
    top = list(args) + list(kwargs.values())
    arrays = _arrays_in(top, [])
    # Shared immutable singletons gain and lose references anywhere in the process.
    counted = [o for o in top if type(o) not in (type(None), bool, int, float, str, bytes)]
    with warnings.catch_warnings():
        warnings.simplefilter(warn_mode)
        expected = (model(model_args, model_kwargs, fitter) if fitter is not None
                    else model(model_args, model_kwargs))
        before = [_array_state(a) for a in arrays]
        counts = [sys.getrefcount(o) for o in counted]
        seen = Observed()
        try:
            seen.result = function(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001 - every outcome is compared below
            seen.exc_type, seen.message = type(exc), str(exc)
            seen.cause = None if exc.__cause__ is None else type(exc.__cause__)
            seen.internal = is_internal_failure(exc)
            del exc
    assert [sys.getrefcount(o) for o in counted] == counts, "argument reference counts changed"
    assert [_array_state(a) for a in arrays] == before, "an input array changed"

    try:
        from hypothesis import event
        if isinstance(seen.result, dict):
            nseg = len(seen.result.get("interval_cell", ()))
            event(f"returned a fit with {min(nseg, 3)}{'+' if nseg >= 3 else ''} segments")
        elif isinstance(seen.result, float):
            r = seen.result
            event("returned score " + ("inf" if r == math.inf else "NaN" if r != r else "finite"))
        else:
            name = "InternalFailure" if seen.internal else seen.exc_type.__name__
            where = seen.message.split(":")[0] if seen.message.startswith("argument '") else ""
            event(f"raised {name} {where}".strip())
    except BaseException:  # noqa: BLE001 - outside a Hypothesis test there is nothing to record
        pass
    if seen.exc_type is not None:
        if not any(isinstance(o, Raise) and _matches(o, seen) for o in expected.options):
            raise AssertionError(f"raised {seen.exc_type.__name__}({seen.message!r}), expected "
                                 f"{[o.describe() if isinstance(o, Raise) else o for o in expected.options]}")
        return seen
    oks = [o for o in expected.options if not isinstance(o, Raise)]
    assert oks, f"returned normally, expected {[o.describe() for o in expected.options]}"
    ok = oks[0]
    if isinstance(ok, FitOk):
        owners = sys.getrefcount(seen.result) - 1  # computed outside assert: no rewrite temporaries
        assert owners == 1, "the result has exactly one owner"
        check_fit_result(seen.result, ok, arrays)
    else:
        assert type(seen.result) is float
        if ok.value is not None:
            assert (math.isnan(ok.value) and math.isnan(seen.result)) or seen.result == ok.value, \
                f"score {seen.result!r}, expected {ok.value!r}"
    return seen


# ---------------------------------------------------------------------------------------------
# Checks of the model against hand-worked cases.

def _only(outcomes: Outcomes):
    assert len(outcomes.options) == 1, outcomes
    return outcomes.main


def test_model_formats_doubles_in_plain_decimal():
    assert [format_double(v) for v in (1.5, 2.0, -1.0, 1e-7, 1e20, math.nan, math.inf, -math.inf,
                                      0.1, 5e-324)] == [
        "1.5", "2", "-1", "0.0000001", "100000000000000000000", "NaN", "inf", "-inf", "0.1",
        "0." + "0" * 323 + "5"]


def test_model_merges_duplicate_sites_with_weights():
    x = np.array([0.0, 1.0, 1.0, 2.0])
    y = np.array([[0.0], [1.0], [3.0], [2.0]])
    px, py = prepare(x, y, np.array([1.0, 1.0, 0.5, 1.0]))
    assert px == [0.0, 1.0, 2.0]
    assert py == [[0.0], [2.6], [2.0]]
    px, py = prepare(np.array([2.0, 0.0, 1.0]), np.array([[7.0], [8.0], [9.0]]), None)
    assert (px, py) == ([0.0, 1.0, 2.0], [[8.0], [9.0], [7.0]])
    px, _ = prepare(None, np.array([[1.0], [math.nan], [2.0], [3.0]]), None)
    assert px == [1.0, 3.0, 4.0]


def test_model_orders_the_checks():
    y5 = np.zeros((5, 1))
    assert _only(fit_outcome(None, y5, None, "FPVI", "none", math.nan, -1.0)).message == \
        "p must satisfy 0 <= p <= 1, got NaN"
    assert _only(fit_outcome(None, y5, None, "FPVI", "none", 1.0, -1.0)).message == \
        "gamma must satisfy 0 <= gamma, got -1"
    assert _only(fit_outcome(np.zeros(5), np.zeros((1, 1)), None, "FPVI", "none", 0.5,
                             1.0)).message == "at least two finite data points are required, got 1"
    assert _only(fit_outcome(np.zeros(4), y5, np.zeros(3), "FPVI", "none", 0.5, 1.0)).message == \
        "x and y must have matching length: x has 4, y has 5"
    assert _only(fit_outcome(None, y5, np.zeros(3), "FPVI", "none", 0.5, 1.0)).message == \
        "delta must have the same length as x (5), got 3"
    nan_site = _only(fit_outcome(np.array([0.0, math.nan, 1.0]), np.zeros((3, 1)), None, "FPVI",
                                 "none", 0.5, 1.0))
    assert (nan_site.type, nan_site.message) == (Internal, "NaN in x")
    dropped = _only(fit_outcome(np.array([0.0, math.nan, 1.0]),
                                np.array([[0.0], [math.nan], [1.0]]), None, "FPVI", "none", 0.5,
                                1.0))
    assert isinstance(dropped, FitOk) and dropped.x == [0.0, 1.0]
    assert _only(fit_outcome(np.ones(3), np.zeros((3, 1)), None, "FPVI", "none", 0.5,
                             1.0)).message == "at least two finite data points are required, got 1"


def test_model_binds_and_converts_in_order():
    y = np.zeros((3, 1))
    assert _only(vorn_outcome((None, y, 0.5), {})).message == \
        "vorn() missing 1 required positional argument: 'gamma'"
    assert _only(vorn_outcome((None, [1.0], 0.5, 1.0), {"pruning": "x"})).message == \
        "argument 'y': 'list' object cannot be converted to 'PyArray<T, D>'"
    assert _only(vorn_outcome((None, y, "0.5", 1.0), {})).message == \
        "argument 'p': must be real number, not str"
    assert _only(vorn_outcome((None, y, 2, 1.0), {"pruning": "Pelt"})).message == \
        "unknown pruning 'Pelt', expected 'FPVI' or 'PELT'"
    assert _only(vorn_outcome((None, y, 2, 1.0), {"precondition": ""})).message == \
        "unknown precondition '', expected 'none' or 'local'"
    surrogate = _only(vorn_outcome((None, y, 2, 1.0), {"pruning": "\udc80"}))
    assert surrogate.type is UnicodeEncodeError
    assert _only(vorn_outcome((None, y, 10 ** 400, 1.0), {})).type is OverflowError
    assert _only(vorn_outcome((None, y, 0.5, 1.0), {"pruning": None})).message == \
        "argument 'pruning': 'NoneType' object cannot be converted to 'PyString'"
    ok = _only(vorn_outcome((None, y, True, 1.0), {"precondition": "LOCAL"}))
    assert isinstance(ok, FitOk) and ok.precondition == "local" and ok.shortcut


def test_model_converts_folds_like_the_frame():
    x = np.arange(4.0)
    y = np.zeros((4, 1))
    base = (x, y, 0.5, 1.0, np.ones(4))
    assert _only(cvscore_outcome(base + ("01",), {})).message == \
        "argument 'folds': Can't extract `str` to `Vec`"
    assert _only(cvscore_outcome(base + ([[0, 1], "2"],), {})).message == \
        "argument 'folds': Can't extract `str` to `Vec`"
    assert _only(cvscore_outcome(base + ([0, 1],), {})).message == \
        "argument 'folds': 'int' object cannot be converted to 'Sequence'"
    assert _only(cvscore_outcome(base + ([[0.5]],), {})).message == \
        "argument 'folds': 'float' object cannot be interpreted as an integer"
    overflow = _only(cvscore_outcome(base + ([[2 ** 63]],), {}))
    assert overflow.type is OverflowError and not overflow.message.startswith("argument")
    assert _only(cvscore_outcome(base + ([(0, 1), range(2, 4)],), {"pruning": "x"})).type \
        is ValueError
    assert _only(cvscore_outcome(base + ([],), {})).value == 0.0
    assert _only(cvscore_outcome(base + ([[-1]],), {})).type is Internal
    assert _only(cvscore_outcome((x, y, 0.5, 0.0, np.ones(4), [[0]]), {})).value == math.inf


def test_model_evaluates_right_continuously():
    breaks = [0.0, 1.0, 1.0, 2.0, 3.0]
    assert [locate(breaks, s) for s in (-1.0, 0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 9.0, math.nan)] == \
        [0, 0, 0, 2, 2, 3, 3, 3, 0]
    coefs = np.array([[0.0, 0.0, 1.0, 0.0]] * 4)
    assert evaluate(breaks, coefs, 1, 2.5) == [0.5]
