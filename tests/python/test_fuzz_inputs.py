"""Hostile arguments for the fuzz tests, drawn as recipes and built fresh on demand.

A recipe is plain data that Hypothesis can draw and shrink; `build` turns it into the objects of
one call. Every call of `build` makes new objects, so the model and the extension each get their
own copy of stateful arguments (generators, iterators) and of arrays that a defect might modify.
"""

from __future__ import annotations

import math
import random
import sys

import numpy as np
import pytest
from hypothesis import strategies as st

# ---------------------------------------------------------------------------------------------
# Objects with misbehaving protocols.


class TypeErrorSub(TypeError):
    pass


class CustomBase(BaseException):
    pass


def make_exception(kind: int) -> BaseException:
    if kind == 0:
        return TypeError("boom")
    if kind == 1:
        return TypeError()
    if kind == 2:
        return TypeError(1, "two")
    if kind == 3:
        exc = TypeError("with a cause")
        exc.__cause__ = KeyError("root")
        return exc
    if kind == 4:
        return ValueError("bad value")
    if kind == 5:
        return OverflowError("too big")
    if kind == 6:
        return TypeErrorSub("a subclass")
    if kind == 7:
        return KeyError("k")
    if kind == 8:
        return CustomBase("not an Exception")
    return ArithmeticError("\udc80 surrogate \x00 nul")


EXCEPTION_KINDS = 10


class FloatReturns:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class FloatRaises:
    def __init__(self, kind):
        self.kind = kind

    def __float__(self):
        raise make_exception(self.kind)


class FloatIsNone:
    __float__ = None


class IndexReturns:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaises:
    def __init__(self, kind):
        self.kind = kind

    def __index__(self):
        raise make_exception(self.kind)


class AVeryLongClassNameThatCPythonCutsAtFiftyCharactersInItsMessages:
    def __float__(self):
        return 1

    def __index__(self):
        return 1.5


class FloatSub(float):
    pass


class IntSub(int):
    def __index__(self):  # ignored: an int is read directly
        return 99

    def __float__(self):  # ignored by nobody: PyFloat_AsDouble prefers __float__
        return 0.25


class StrSub(str):
    def __eq__(self, other):
        return True

    def __hash__(self):
        return 0

    def encode(self, *args, **kwargs):
        return b"FPVI"

    def __str__(self):
        return "FPVI"


class ArraySub(np.ndarray):
    pass


class KeyStr(str):
    """A keyword name of a str subclass, equal to what its mode says."""

    mode = "normal"

    def __eq__(self, other):
        if self.mode == "always":
            return True
        if self.mode == "raises":
            raise LookupError("no comparing keywords")
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class KeyStrAlways(KeyStr):
    mode = "always"


class KeyStrRaises(KeyStr):
    mode = "raises"


KEY_TYPES = {"normal": KeyStr, "always": KeyStrAlways, "raises": KeyStrRaises}


class QualMeta(type):
    """Classes whose __qualname__, as read through getattr, is whatever `mode` says."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            mode = type.__getattribute__(cls, "mode")
            if mode == "raises":
                raise ValueError("no name today")
            if mode == "typeerror":
                raise TypeError("which name?")
            if mode == "int":
                return 42
            return "Re\x00named \u00e9"
        return type.__getattribute__(cls, name)


QUALMETA_CLASSES = {mode: QualMeta("Odd", (), {"mode": mode})
                    for mode in ("raises", "typeerror", "int", "str")}


def make_local_class():
    class Local:
        pass
    return Local()


class SeqLike:
    """A sequence (it has __getitem__) whose other protocols misbehave as told."""

    def __init__(self, items, len_mode, iter_mode):
        self.items = items
        self.len_mode = len_mode
        self.iter_mode = iter_mode

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        mode = self.len_mode
        if mode == "ok":
            return len(self.items)
        if mode == "raises":
            raise ValueError("no length")
        if mode == "negative":
            return -1
        if mode == "str":
            return "3"
        if mode == "huge":
            return 2 ** 100
        if mode == "maxsize":
            return sys.maxsize
        return 10 ** 12  # "lies"

    def __iter__(self):
        mode = self.iter_mode
        if mode == "raises_type":
            raise TypeError("cannot iterate")
        if mode == "raises_value":
            raise ValueError("cannot iterate")
        if mode == "non_iterator":
            return 42
        if mode == "breaks_midway":
            return _breaking_iterator(self.items)
        return iter(self.items)


def _breaking_iterator(items):
    yield from items
    raise LookupError("iterator broke")


class GetItemOnly:
    """Iterated by the old protocol: __getitem__ until IndexError."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class IterOnly:
    """Iterable but not a sequence."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


# ---------------------------------------------------------------------------------------------
# Building.

SPECIAL_FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1.5, 0.1, 1e-7, 1e20, 5e-324, 1e-310,
                  2.2250738585072014e-308, 1e300, -1e300, 1e308, 1.7976931348623157e308,
                  -1.7976931348623157e308, math.nan, math.inf, -math.inf, -math.nan]

DTYPES = ["<f8", ">f8", "<f4", "<f2", "<i8", ">i8", "<i4", "<i2", "i1", "<u8", "<u4", "<u2", "u1", "?",
          "<c16", "<c8", "O", "<U3", "S2",
          "<M8[s]", "<m8[s]", "V8", "longdouble", "<f8-meta", "<f8-struct"]

LAYOUTS = ["C", "F", "strided", "reversed", "readonly", "unaligned", "subclass", "masked",
           "broadcast", "transposed"]

SENTINEL = 7.0e77  # fills the gaps of strided arrays: reading it would show in the result


def _make_dtype(name):
    if name == "<f8-meta":
        return np.dtype(np.float64, metadata={"unit": "m"})
    if name == "<f8-struct":
        return np.dtype([("a", "<f8")])
    return np.dtype(name)


def _array(dtype_name, shape, values, layout):
    shape = tuple(shape)
    size = math.prod(shape)
    flat = np.array([values[i % len(values)] if values else 0.0 for i in range(size)],
                    dtype=np.float64)
    logical = flat.reshape(shape)
    dtype = _make_dtype(dtype_name)
    if dtype != np.dtype(np.float64) or dtype_name != "<f8":
        if dtype.kind == "V" and dtype.names is None:
            return np.zeros(shape, dtype=dtype)
        if dtype.names:
            out = np.zeros(shape, dtype=dtype)
            out["a"] = logical
            return out
        if dtype.kind in "OUSMm":
            return np.zeros(shape, dtype=dtype)
        with np.errstate(all="ignore"):
            return logical.astype(dtype)
    ndim = len(shape)
    if layout == "F":
        return np.asfortranarray(logical)
    if layout == "strided" and ndim:
        big = np.full(tuple(2 * s + 1 for s in shape), SENTINEL)
        view = big[tuple(slice(1, None, 2) for _ in shape)]
        view[...] = logical
        return view
    if layout == "reversed" and ndim:
        back = np.ascontiguousarray(logical[(slice(None, None, -1),) * ndim])
        return back[(slice(None, None, -1),) * ndim]
    if layout == "readonly":
        out = logical.copy()
        out.flags.writeable = False
        return out
    if layout == "unaligned":
        buf = bytearray(logical.nbytes + 1)
        out = np.ndarray(shape, dtype=np.float64, buffer=buf, offset=1)
        out[...] = logical
        return out
    if layout == "subclass":
        return logical.copy().view(ArraySub)
    if layout == "masked":
        mask = np.zeros(shape, dtype=bool)
        if size:
            mask.flat[0] = True
        return np.ma.masked_array(logical.copy(), mask=mask)
    if layout == "broadcast" and ndim and shape[0] > 0:
        return np.broadcast_to(logical[:1], shape)
    if layout == "transposed" and ndim == 2:
        return np.ascontiguousarray(logical.T).T
    return logical


def build(recipe):
    """A fresh object for the recipe."""
    tag = recipe[0]
    if tag == "obj":  # a plain immutable value, shared safely
        return recipe[1]
    if tag == "array":
        return _array(*recipe[1:])
    if tag == "float_returns":
        return FloatReturns(build(recipe[1]))
    if tag == "float_raises":
        return FloatRaises(recipe[1])
    if tag == "float_is_none":
        return FloatIsNone()
    if tag == "index_returns":
        return IndexReturns(build(recipe[1]))
    if tag == "index_raises":
        return IndexRaises(recipe[1])
    if tag == "long_name":
        return AVeryLongClassNameThatCPythonCutsAtFiftyCharactersInItsMessages()
    if tag == "float_sub":
        return FloatSub(recipe[1])
    if tag == "int_sub":
        return IntSub(recipe[1])
    if tag == "str_sub":
        return StrSub(recipe[1])
    if tag == "local":
        return make_local_class()
    if tag == "qualmeta":
        return QUALMETA_CLASSES[recipe[1]]()
    if tag == "np_scalar":
        with np.errstate(all="ignore"):
            return np.array(recipe[2]).astype(recipe[1])[()]  # wraps instead of raising
    if tag == "list":
        return [build(r) for r in recipe[1]]
    if tag == "tuple":
        return tuple(build(r) for r in recipe[1])
    if tag == "gen":
        items = [build(r) for r in recipe[1]]
        return (item for item in items)
    if tag == "set":
        return set(recipe[1])
    if tag == "dict":
        return {i: i for i in recipe[1]}
    if tag == "range":
        return range(*recipe[1:])
    if tag == "bytes":
        return bytes(recipe[1])
    if tag == "bytearray":
        return bytearray(recipe[1])
    if tag == "int_array":
        return np.array(recipe[2], dtype=recipe[1])
    if tag == "int_array_2d":
        return np.array(recipe[1], dtype=np.int64).reshape(len(recipe[1]), 1)
    if tag == "int_array_0d":
        return np.array(recipe[1], dtype=np.int64)
    if tag == "seq_like":
        return SeqLike([build(r) for r in recipe[1]], recipe[2], recipe[3])
    if tag == "getitem_only":
        return GetItemOnly([build(r) for r in recipe[1]])
    if tag == "iter_only":
        return IterOnly([build(r) for r in recipe[1]])
    raise AssertionError(f"unknown recipe {recipe!r}")


def build_key(key):
    if isinstance(key, tuple):
        if key[0] == "nonstr":
            return key[1]
        return KEY_TYPES[key[0]](key[1])
    return "".join(list(key))  # equal to the name but not the interned object


def build_call(call):
    """(args, kwargs) of one call recipe; see `calls`."""
    positional, keywords = call
    return tuple(build(r) for r in positional), {build_key(k): build(r) for k, r in keywords}


# ---------------------------------------------------------------------------------------------
# Strategies.

nice_floats = st.floats(-50.0, 50.0, allow_nan=False, allow_infinity=False, width=64)
any_float = st.one_of(st.sampled_from(SPECIAL_FLOATS), nice_floats,
                      st.floats(allow_nan=True, allow_infinity=True))


@st.composite
def float_arrays(draw, ndim, length=None, nice=None, kind="values"):
    """Recipes of arrays; mostly float64 of `ndim` dimensions, sometimes anything else."""
    roll = draw(st.integers(0, 99))
    if roll == 96:
        return ("qualmeta", draw(st.sampled_from(sorted(QUALMETA_CLASSES))))
    if roll >= 97:
        dims = draw(st.sampled_from([d for d in range(4) if d != ndim]))
    else:
        dims = ndim
    dtype = "<f8" if draw(st.integers(0, 99)) < 96 else draw(st.sampled_from(DTYPES))
    shape = []
    for axis in range(dims):
        if axis == 0 and length is not None and draw(st.integers(0, 9)) < 9:
            shape.append(length)
        elif axis == 1:
            shape.append(draw(st.sampled_from([1, 1, 1, 2, 3, 0])))
        else:
            shape.append(draw(st.integers(0, 8)))
    size = math.prod(shape)
    if nice is None:
        nice = draw(st.integers(0, 9)) < 7
    if kind == "sites" and nice:
        pool = draw(st.sampled_from(["ascending", "shuffled", "duplicates"]))
        if pool == "ascending":
            values = [float(i) + draw(st.sampled_from([0.0, 0.25])) for i in range(size)]
        elif pool == "duplicates":
            values = [float(draw(st.integers(0, 3))) for _ in range(size)]
        else:
            values = draw(st.permutations([float(i) for i in range(size)]))
    elif kind == "delta" and nice:
        values = [draw(st.sampled_from([1.0, 0.5, 2.0, 0.1])) for _ in range(size)]
    elif size > 4:
        # One draw for many values keeps generation cheap; the pattern still shrinks.
        seed = draw(st.integers(0, 2 ** 32 - 1))
        rnd = random.Random(seed)
        if nice:
            values = [round(rnd.uniform(-50.0, 50.0), rnd.choice([0, 3, 17])) for _ in range(size)]
        else:
            values = [rnd.choice(SPECIAL_FLOATS) if rnd.random() < 0.3 else
                      rnd.uniform(-50.0, 50.0) for _ in range(size)]
    elif nice:
        values = [draw(nice_floats) for _ in range(size)]
    else:
        values = [draw(any_float) for _ in range(size)]
    layout = draw(st.sampled_from(LAYOUTS))
    return ("array", dtype, tuple(shape), tuple(values), layout)


def plain(value):
    return ("obj", value)


@st.composite
def float_arguments(draw, nice):
    """Recipes for p or gamma."""
    if draw(st.integers(0, 99)) < 88:
        return plain(draw(nice))
    return draw(st.one_of(
        st.sampled_from(SPECIAL_FLOATS).map(plain),
        st.sampled_from([0, 1, 2, -1, True, False, 10 ** 400, -(10 ** 400), 2 ** 53 + 1]).map(plain),
        st.sampled_from(["0.5", b"0.5", None, 1j, [0.5], (), "", "\udc80"]).map(plain),
        st.tuples(st.just("np_scalar"),
                  st.sampled_from(["f4", "f2", "f8", "i8", "u1", "c16", "longdouble", "?"]),
                  st.sampled_from([0.5, 1.0, 0.0, 3.0])),
        st.tuples(st.just("float_returns"),
                  st.sampled_from([plain(0.5), plain(1), plain("x"), plain(None), plain(math.nan),
                                   ("float_sub", 0.75)])),
        st.tuples(st.just("float_raises"), st.integers(0, EXCEPTION_KINDS - 1)),
        st.just(("float_is_none",)),
        st.tuples(st.just("index_returns"),
                  st.sampled_from([plain(1), plain(0), plain(10 ** 400), plain(1.5),
                                   ("int_sub", 1)])),
        st.tuples(st.just("index_raises"), st.integers(0, EXCEPTION_KINDS - 1)),
        st.just(("long_name",)),
        st.tuples(st.just("float_sub"), st.sampled_from([0.5, math.nan, 2.0])),
        st.tuples(st.just("int_sub"), st.sampled_from([0, 1, 3])),
        st.just(("local",)),
        float_arrays(0),
        float_arrays(1),
    ))


OPTION_TEXTS = ["FPVI", "fpvi", "PELT", "pelt", "Fpvi", "Pelt", " FPVI", "FPVI ", "FPVI\x00",
                "FP\x00VI", "\x00", "ＦＰＶＩ", "none", "NONE", "None", "nOnE", "LOCAL", "lOcAl",
                "local", "loc", "", "local\x00", "ｌｏｃａｌ", "loc\u0430l", "\u0130", "nonE\u0301",
                "\udc80", "FPVI\udcff", "l\ud800cal", "ПЕЛТ", "\U0001f600"]


@st.composite
def option_arguments(draw, valid):
    roll = draw(st.integers(0, 99))
    if roll < 75:
        return plain(draw(st.sampled_from(valid)))
    if roll < 88:
        return plain(draw(st.sampled_from(OPTION_TEXTS)))
    if roll < 94:
        alphabet = st.characters(min_codepoint=0, max_codepoint=0x10FFFF,
                                 exclude_categories=())
        return plain(draw(st.text(alphabet, max_size=6)))
    return draw(st.one_of(
        st.sampled_from([None, b"FPVI", bytearray(b"none"), 1, 0.5, ["FPVI"]]).map(plain),
        st.tuples(st.just("str_sub"), st.sampled_from(OPTION_TEXTS)),
        st.just(("local",)),
        st.sampled_from(sorted(QUALMETA_CLASSES)).map(lambda m: ("qualmeta", m)),
        float_arrays(1),
    ))


# Fold elements and containers.

def element_strategy(n):
    small = st.integers(-2, n + 2)
    return st.one_of(
        small.map(plain), small.map(plain), small.map(plain),
        st.sampled_from([True, False, 2 ** 63, 2 ** 63 - 1, -(2 ** 63), -(2 ** 63) - 1, 10 ** 30,
                         0.5, 1.0, None, "1", b"1", 1j, (1,)]).map(plain),
        st.tuples(st.just("np_scalar"), st.sampled_from(["i8", "u8", "i1", "u1", "f8", "?"]),
                  small),
        st.tuples(st.just("index_returns"),
                  st.sampled_from([plain(0), plain(1), plain(2 ** 64), plain(1.5), plain(None),
                                   ("int_sub", 1)])),
        st.tuples(st.just("index_raises"), st.integers(0, EXCEPTION_KINDS - 1)),
        st.tuples(st.just("int_sub"), small),
        st.just(("long_name",)),
    )


def container_strategy(children, n, leaf_ints):
    lens = ["ok", "ok", "raises", "negative", "str", "huge", "maxsize", "lies"]
    iters = ["ok", "ok", "raises_type", "raises_value", "non_iterator", "breaks_midway"]
    return st.one_of(
        st.lists(children, max_size=5).map(lambda c: ("list", tuple(c))),
        st.lists(children, max_size=5).map(lambda c: ("list", tuple(c))),
        st.lists(children, max_size=5).map(lambda c: ("tuple", tuple(c))),
        st.lists(children, max_size=4).map(lambda c: ("gen", tuple(c))),
        st.tuples(st.just("seq_like"), st.lists(children, max_size=4).map(tuple),
                  st.sampled_from(lens), st.sampled_from(iters)),
        st.lists(children, max_size=3).map(lambda c: ("getitem_only", tuple(c))),
        st.lists(children, max_size=3).map(lambda c: ("iter_only", tuple(c))),
        st.sampled_from([plain("01"), plain(""), plain(3), plain(None), plain(1.5)]),
        st.sampled_from(sorted(QUALMETA_CLASSES)).map(lambda m: ("qualmeta", m)),
        st.lists(st.integers(0, n + 1), max_size=3).map(lambda v: ("set", tuple(v))),
        st.lists(st.integers(0, n + 1), max_size=3).map(lambda v: ("dict", tuple(v))),
        st.lists(st.integers(0, 3), max_size=3).map(lambda v: ("int_array_2d", tuple(v))),
        leaf_ints,
    )


def fold_leaves(n):
    """Containers whose items are integers by construction."""
    idx = st.integers(-1, n + 1)
    return st.one_of(
        st.tuples(st.just("range"), st.integers(-1, n), st.integers(-1, n + 2),
                  st.sampled_from([1, 1, 2, -1])),
        st.lists(st.integers(0, 255), max_size=4).map(lambda v: ("bytes", tuple(v))),
        st.lists(st.integers(0, max(n, 1)), max_size=4).map(lambda v: ("bytes", tuple(v))),
        st.lists(idx, max_size=4).map(lambda v: ("bytearray", tuple(i % 256 for i in v))),
        st.tuples(st.just("int_array"), st.sampled_from(["i8", "i4", "u1", "u8", "f8", "?"]),
                  st.lists(st.integers(0, max(n, 1)), max_size=4).map(tuple)),
        st.integers(-1, 3).map(lambda v: ("int_array_0d", v)),
    )


@st.composite
def folds_arguments(draw, n):
    roll = draw(st.integers(0, 99))
    idx = st.integers(0, max(n - 1, 0))
    if roll < 65:
        # Well-formed folds: lists of in-range indices, the kind a caller normally passes.
        k = draw(st.integers(0, 4))
        folds = [tuple(plain(i) for i in draw(st.lists(idx, max_size=3))) for _ in range(k)]
        kind = draw(st.sampled_from(["list", "list", "tuple"]))
        return (kind, tuple(("list", f) for f in folds))
    elements = element_strategy(n)
    inner = container_strategy(elements, n, fold_leaves(n))
    return draw(container_strategy(inner, n, fold_leaves(n)))


# Whole calls.

VORN_PARAMS = ["x", "y", "p", "gamma", "delta", "pruning", "precondition"]
CVSCORE_PARAMS = ["x", "y", "p", "gamma", "delta", "folds", "pruning", "precondition"]
OMIT = ("omit",)


@st.composite
def data_arguments(draw, allow_absent_x):
    """Recipes for x, y and delta of one call, with mostly consistent lengths."""
    n = draw(st.one_of(st.integers(0, 6), st.integers(2, 12), st.integers(10, 30)))
    nice = draw(st.integers(0, 9)) < 7
    y = draw(float_arrays(2, length=n, nice=nice))
    if allow_absent_x and draw(st.integers(0, 3)) == 3:
        x = plain(None)
    else:
        x = draw(float_arrays(1, length=n, nice=nice or None, kind="sites"))
    if draw(st.integers(0, 2)) == 0:
        delta = draw(st.sampled_from([OMIT, plain(None)])) if allow_absent_x else plain(None)
    else:
        delta = draw(float_arrays(1, length=n, nice=nice or None, kind="delta"))
    return n, x, y, delta


@st.composite
def calls(draw, function):
    """Recipe of one call: positional recipes and keyword (name, recipe) pairs."""
    is_vorn = function == "vorn"
    params = VORN_PARAMS if is_vorn else CVSCORE_PARAMS
    n, x, y, delta = draw(data_arguments(is_vorn))
    values = {"x": x, "y": y, "delta": delta}
    values["p"] = draw(float_arguments(st.sampled_from([0.0, 0.5, 0.9, 1.0, 0.999, 0.01])))
    values["gamma"] = draw(float_arguments(st.sampled_from([0.0, 0.1, 1.0, 10.0, math.inf, 1e3])))
    for name, valid in (("pruning", ["FPVI", "PELT", "fpvi", "pelt"]),
                        ("precondition", ["none", "local", "LOCAL", "None"])):
        values[name] = OMIT if draw(st.booleans()) else draw(option_arguments(valid))
    if not is_vorn:
        values["folds"] = draw(folds_arguments(n))
        if values["delta"] is OMIT or values["delta"] == plain(None):
            values["delta"] = draw(float_arrays(1, length=n, kind="delta"))
    # Now decide how the arguments are passed, sometimes wrongly.
    present = [p for p in params if values[p] is not OMIT]
    if draw(st.integers(0, 99)) >= 96:
        present.remove(draw(st.sampled_from(present)))
    first_gap = next((i for i, p in enumerate(params) if p not in present), len(params))
    k = draw(st.integers(0, first_gap))
    positional = [values[p] for p in params[:k]]
    keywords = [(p, values[p]) for p in params[k:] if p in present]
    keywords = draw(st.permutations(keywords))
    roll = draw(st.integers(0, 99))
    if roll >= 98 and k == len(params):
        positional.append(plain(0))
    elif roll >= 96:
        keywords.append(("q", plain(1)))
    elif roll >= 94 and k > 0:
        keywords.append((params[draw(st.integers(0, k - 1))], plain(None)))
    elif roll >= 92 and keywords:
        # Keyword names that are str subclasses (equal normally, always, or raising) or no str.
        i = draw(st.integers(0, len(keywords) - 1))
        name, value = keywords[i]
        mode = draw(st.sampled_from(["normal", "always", "raises", "nonstr"]))
        keywords[i] = ((mode, 1 if mode == "nonstr" else name), value)
    return tuple(positional), tuple(keywords)


def test_build_makes_independent_objects():
    recipe = ("gen", (plain(1), plain(2)))
    first, second = build(recipe), build(recipe)
    assert list(first) == [1, 2] and list(second) == [1, 2]
    arrays = [build(("array", "<f8", (3, 2), (1.0, 2.0, 3.0), layout)) for layout in LAYOUTS]
    expected = np.array([[1.0, 2.0], [3.0, 1.0], [2.0, 3.0]])
    for layout, a in zip(LAYOUTS, arrays):
        if layout == "broadcast":
            assert np.array_equal(a, np.broadcast_to(expected[:1], (3, 2)))
        else:
            assert np.array_equal(np.asarray(a), expected), layout
    unaligned = build(("array", "<f8", (3,), (1.0,), "unaligned"))
    assert not unaligned.flags.aligned
    assert build(("array", "<f8", (4,), (1.0,), "strided")).strides == (16,)
    assert build(("array", "<f8", (4,), (1.0,), "reversed")).strides == (-8,)


@pytest.mark.parametrize("name", DTYPES)
def test_build_makes_every_dtype(name):
    a = build(("array", name, (2, 1), (1.0, 2.0), "C"))
    assert a.shape == (2, 1)
    assert (a.dtype == np.dtype(np.float64)) == (name in ("<f8", "<f8-meta"))
