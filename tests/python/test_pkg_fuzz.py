"""Property-based fuzzing of the package surface: vorn.fit, vorn.select, Fit.__call__, the CLI.

Whatever comes in, a call either returns a well-formed result or raises one of the documented
exception types with a message that names the argument at fault; the arguments come back
unchanged. The default run is short; set VORN_FUZZ_EXAMPLES for a long one.
"""

from __future__ import annotations

import contextlib
import copy
import io
import json
import re
import sys

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import vorn
from conftest import fuzz_examples
from vorn._checks import prepare
from vorn.cli import main

EXAMPLES = fuzz_examples(60)

FUZZ = settings(max_examples=EXAMPLES)
FEW = settings(max_examples=max(4, EXAMPLES // 8))

ARGUMENTS = re.compile(r"\b(x|y|xs|delta|p|gamma|pruning|precondition|nu|folds|seed|n_jobs)\b")

floats = st.floats(allow_nan=True, allow_infinity=True, width=64)
tame = st.floats(-1e3, 1e3, allow_nan=False)


def _vectors(n, elements=tame, dtype=np.float64):
    return hnp.arrays(dtype, n, elements=elements)


@st.composite
def data(draw):
    """(x, y, delta) in the forms users pass: arrays, lists, None, scalars, odd shapes."""
    n = draw(st.integers(0, 24))
    d = draw(st.integers(1, 3))
    y_kind = draw(st.sampled_from(["1d", "2d", "list", "transposed", "wrong", "text"]))
    values = draw(_vectors((n, d), st.one_of(tame, floats)))
    y = {"1d": values[:, 0], "2d": values, "list": values[:, 0].tolist(),
         "transposed": values.T, "wrong": values[:, :, None], "text": "1, 2, 3"}[y_kind]
    x_kind = draw(st.sampled_from(["none", "sorted", "random", "short", "nan", "dates", "2d",
                                   "integers", "stamps", "aware", "scaled"]))
    if x_kind == "none":
        x = None
    elif x_kind == "sorted":
        x = np.sort(draw(_vectors(n)))
    elif x_kind == "random":
        x = draw(_vectors(n, st.integers(-5, 5).map(float)))
    elif x_kind == "short":
        x = np.arange(float(max(n - 1, 0)))
    elif x_kind == "nan":
        x = draw(_vectors(n, st.one_of(tame, floats)))
    elif x_kind == "dates":
        x = np.datetime64("2024-01-01") + np.sort(
            draw(hnp.arrays(np.int64, n, elements=st.integers(0, 400)))).astype("timedelta64[D]")
    elif x_kind in ("integers", "stamps", "aware"):
        # Nanosecond stamps as numbers, as datetimes and as zoned datetimes: float64 alone
        # cannot hold them apart.
        origin = draw(st.integers(2**53, 2**62))
        steps = draw(hnp.arrays(np.int64, n, elements=st.integers(0, 10**6)))
        x = origin + np.cumsum(steps)
        if x_kind != "integers":
            x = x.view("datetime64[ns]")
        if x_kind == "aware":
            pd = pytest.importorskip("pandas")
            x = pd.DatetimeIndex(x).tz_localize(draw(st.sampled_from(
                ["UTC", "Europe/Berlin", "America/St_Johns"])))
    elif x_kind == "scaled":
        x = np.sort(draw(_vectors(n))) * 10.0 ** draw(st.integers(-150, 150))
        if isinstance(y, np.ndarray):
            with np.errstate(over="ignore"):  # inf values are missing rows: part of the test
                y = y * 10.0 ** draw(st.integers(-150, 150))
    else:
        x = np.arange(float(n)).reshape(-1, 1)
    delta = draw(st.one_of(
        st.none(), st.floats(-1.0, 10.0), _vectors(n, st.one_of(st.floats(-1.0, 10.0), floats)),
        st.just([1.0, 2.0])))
    return x, y, delta


parameters = st.one_of(floats, st.floats(-0.5, 1.5), st.just(np.array(0.5)),
                       st.just(True), st.just("0.5"), st.just([0.5]), st.none())


def _snapshot(*args):
    return copy.deepcopy(args)


def _same(before, after):
    for a, b in zip(before, after):
        if isinstance(a, np.ndarray):
            assert a.dtype == b.dtype and a.shape == b.shape
            assert np.array_equal(a, b, equal_nan=a.dtype.kind in "fc")
        else:
            assert repr(a) == repr(b)


def _check_error(exc):
    assert type(exc) in (TypeError, ValueError), repr(exc)
    assert ARGUMENTS.search(str(exc)), f"message names no argument: {exc}"


def _check_fit(f, y):
    one = np.ndim(y) == 1 or isinstance(y, list)
    n = f.x.shape[0]
    assert f.x.ndim == 1 and n >= 2 and np.all(np.isfinite(f.x)) and np.all(np.diff(f.x) > 0)
    assert f.y.shape == ((n,) if one else (n, f.dim))
    # The fit's own partition: the extension's (f.raw) may split near-ties of values far from
    # zero differently, since only the package centres the values it searches.
    last = f.jump_indices
    assert np.all((0 <= last) & (last < n - 1)) and np.all(np.diff(last) > 0)
    left, right = f.x[last], f.x[last + 1]
    if f.frame is None:
        with np.errstate(over="ignore"):
            halfway = np.where(np.isfinite(left + right), (left + right) * 0.5,
                               left * 0.5 + right * 0.5)
        np.testing.assert_array_equal(f.jumps, f.sites.decode(halfway))
    else:  # halfway in standardised units, mapped back: between the neighbours up to rounding
        assert np.all((f._jumps >= left) & (f._jumps <= right))
    assert np.asarray(f.jump_sizes).shape == ((last.size,) if one else (last.size, f.dim))
    values = f(f.sites.decode(f.x))
    assert np.shape(values) == f.y.shape


def _resolvable(x, y, delta, gamma):
    """Whether gamma exceeds, by far, the rounding of energies of these values.

    Centring removes a common offset, not the spread: with values 1e16 apart a segment's
    energy carries a rounding error of order one, and two exact searches may then settle a
    choice between partitions whose costs differ by less (both answers are optimal to working
    precision).
    """
    prepared = prepare(x, y, delta)
    kept = np.all(np.isfinite(prepared.y), axis=1)
    values = prepared.y[kept]
    # Tiny deviations give infinite weights and a NaN scale: not resolvable either.
    with np.errstate(all="ignore"):
        weights = 1.0 if prepared.delta is None else 1.0 / np.asarray(prepared.delta)[kept] ** 2
        middle = 0.5 * (values.max(axis=0) + values.min(axis=0))
        scale = float(np.sum(np.multiply(weights, ((values - middle) ** 2).T)))
    return gamma > 1e-9 * scale


@FUZZ
@given(args=data(), p=parameters, gamma=parameters)
@example(args=(None, np.r_[1.80287928e16, np.zeros(6)], None), p=0.5, gamma=0.5)
@example(args=(None, np.full(14, 3.052428172967718e15), None), p=0.5, gamma=0.5)
@example(args=(None, np.ones(5), None), p=0.0, gamma=0.0)
def test_fit(args, p, gamma):
    x, y, delta = args
    before = _snapshot(x, y, delta, p, gamma)
    try:
        f = vorn.fit(x, y, p, gamma, delta=delta)
    except Exception as exc:  # every failure must be a documented one
        _check_error(exc)
    else:
        _check_fit(f, y)
        # Both searches are exact: the default must find PELT's partition wherever the
        # energies' rounding stays far below gamma.
        if _resolvable(x, y, delta, f.gamma):
            pelt = vorn.fit(x, y, p, gamma, delta=delta, pruning="PELT")
            np.testing.assert_array_equal(f.jump_indices, pelt.jump_indices)
    _same(before, _snapshot(x, y, delta, p, gamma))


@st.composite
def series(draw):
    """Realistic data for select: a slow trend, up to three jumps of 12 to 30 noise deviations
    between plateaus of at least 50 samples, Gaussian or heavy-tailed noise, n from a handful to
    a few thousand, one or two columns, with or without (true) deviations."""
    n = draw(st.one_of(st.integers(6, 40), st.integers(200, 3000)))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    x = np.sort(rng.uniform(0.0, n, n)) if draw(st.booleans()) else np.arange(float(n))
    dim = draw(st.integers(1, 2))
    sigma = draw(st.sampled_from([0.01, 0.3, 5.0]))
    # The trend moves by at most a fifth of a noise deviation per sample.
    period = draw(st.floats(200.0, 2000.0))
    trend = sigma * draw(st.floats(0.0, 5.0)) * np.sin(2 * np.pi * np.arange(n) / period)
    places = np.arange(50, n - 49, 50)
    count = min(draw(st.integers(0, 3)), places.size)
    cuts = np.sort(rng.choice(places, count, replace=False))
    heights = rng.choice([-1.0, 1.0], count) * rng.uniform(12.0, 30.0, count)
    steps = sum((np.where(np.arange(n) >= c, h, 0.0) for c, h in zip(cuts, heights)),
                np.zeros(n))
    noise = rng.standard_t(3, (n, dim)) if draw(st.booleans()) else rng.standard_normal((n, dim))
    delta = rng.uniform(0.5, 1.0, n) if draw(st.booleans()) else None
    scale = sigma if delta is None else sigma * delta[:, None]
    y = ((trend + steps * sigma)[:, None] + scale * noise)
    return x, (y[:, 0] if dim == 1 else y), delta, cuts.tolist()


@settings(max_examples=fuzz_examples(40))
@given(data=series())
def test_select(data):
    x, y, delta, cuts = data
    before = _snapshot(x, y, delta)
    s = vorn.select(x, y, delta=delta)
    _check_fit(s.fit, y)
    # Steps the smooth choice followed may come back as constant levels, without a p.
    smooth = s.segments == "smooth"
    assert (0.0 <= s.p <= 1.0 and np.isfinite(s.score)) if smooth else np.isnan(s.p)
    assert s.gamma >= 0.0 and s.noise > 0.0 and s.penalty > 0.0
    assert s.searches and set(s.searches) == {x.size}
    assert np.all(np.diff(s.downweighted) > 0) and np.all(s.downweighted < x.size)
    # The chosen parameters are the fit's: fitting with them gives it again, bit for bit.
    again = vorn.fit(x, y, **{"delta": delta, **s.arguments})
    np.testing.assert_array_equal(again.coefs, s.fit.coefs)
    if smooth and "delta" not in s.arguments:
        # Neither wild rows nor a changing noise level altered the deviations: the pair alone
        # (in the columns' own units) gives the fit.
        again = vorn.fit(x, y, s.p, s.gamma, delta=delta, column_scale=s.fit.column_scale)
        np.testing.assert_array_equal(again.coefs, s.fit.coefs)
    # A jump of 12 or more noise deviations between 50-sample plateaus is never missed.
    last = s.fit.jump_indices
    for cut in cuts:
        assert np.any(np.abs(last + 1 - cut) <= 2), (cut, last)
    _same(before, _snapshot(x, y, delta))


@FEW
@given(n=st.integers(8, 40), seed=st.integers(0, 2**16), origin=st.integers(2**53, 2**62),
       zone=st.sampled_from(["UTC", "Asia/Kolkata", "America/St_Johns"]))
def test_sites_in_every_form_give_one_fit(n, seed, origin, zone):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(seed)
    offsets = np.cumsum(rng.integers(1, 1000, n))
    y = np.where(np.arange(n) > n // 2, 3.0, 0.0) + 0.2 * rng.standard_normal(n)
    by_offsets = vorn.fit(offsets.astype(float), y, 0.5, 1.0)
    by_integers = vorn.fit(origin + offsets, y, 0.5, 1.0)
    np.testing.assert_array_equal(by_integers.coefs, by_offsets.coefs)
    np.testing.assert_array_equal(by_integers.x, by_offsets.x - by_offsets.x[0])
    stamps = (origin + offsets).view("datetime64[ns]")
    naive = vorn.fit(stamps, y, 0.5, 1.0)
    aware = vorn.fit(pd.DatetimeIndex(stamps).tz_localize("UTC").tz_convert(zone), y, 0.5, 1.0)
    np.testing.assert_array_equal(aware.coefs, naive.coefs)
    assert str(aware.jumps.tz) == zone
    assert np.array_equal(aware.jumps.tz_convert(None).to_numpy(), naive.jumps)
    np.testing.assert_array_equal(
        aware(pd.DatetimeIndex(stamps).tz_localize("UTC")), naive(stamps))


@FEW
@given(n=st.integers(12, 60), seed=st.integers(0, 2**16), x_power=st.integers(-498, 498),
       y_power=st.integers(-498, 498))
# A spacing of 2**264: a fine p, but a raw solve that loses six digits.
@example(n=12, seed=0, x_power=264, y_power=0)
# Sites 2**-15 apart: the narrow curve's p rounds to 1 there, and its jumps' evidence is read
# in standardised units for both.
@example(n=30, seed=485, x_power=-15, y_power=0)
def test_the_choice_does_not_depend_on_the_scale(n, seed, x_power, y_power):
    # Powers of two scale every float exactly: the standardised problem is the same to the bit.
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.5, 1.5, n))
    y = np.where(x > x[n // 2], 2.0, 0.0) + 0.3 * rng.standard_normal(n)
    plain = vorn.select(x, y)
    scaled = vorn.select(np.ldexp(x, x_power), np.ldexp(y, y_power))
    assert scaled.segments == plain.segments
    np.testing.assert_array_equal(scaled.bandwidth_samples, plain.bandwidth_samples)
    assert scaled.penalty == plain.penalty
    np.testing.assert_array_equal(scaled.fit.jump_indices, plain.fit.jump_indices)
    # One of the two final fits may be made in the data's own units, the other in standard
    # ones: the same problem, rounded differently.
    np.testing.assert_allclose(np.ldexp(scaled.fit(np.ldexp(x, x_power)), -y_power),
                               plain.fit(x), rtol=1e-7, atol=1e-7)


@pytest.fixture(scope="module")
def fits():
    x, y, _ = vorn.datasets.heavisine(n=60, noise=0.1, seed=3)
    return vorn.fit(x, y, 0.9999, 1.0), vorn.fit(x, np.column_stack([y, -y]), 0.9999, 1.0)


sites = st.one_of(
    tame, floats,
    hnp.arrays(np.float64, hnp.array_shapes(min_dims=0, max_dims=3, max_side=4),
               elements=st.one_of(tame, floats)),
    hnp.arrays(np.int32, hnp.array_shapes(max_dims=2, max_side=4), elements=st.integers(-9, 9)),
    st.lists(tame, max_size=5), st.just("0.5"), st.just([[0.1, 0.2], [0.3]]),
    st.just(np.array([1 + 2j])), st.just(np.array(["2024-01-01"], dtype="datetime64[D]")),
)


@FUZZ
@given(xs=sites, nu=st.one_of(st.integers(-1, 4), st.sampled_from([1.0, 2.5, True, "1"])),
       which=st.integers(0, 1))
def test_evaluation(fits, xs, nu, which):
    f = fits[which]
    before = _snapshot(xs)
    try:
        values = f(xs, nu=nu)
    except Exception as exc:
        _check_error(exc)
    else:
        shape = np.shape(np.asarray(xs, dtype=float))
        assert np.shape(values) == (shape if which == 0 else shape + (2,))
        # Far outside the data the linear continuation may overflow; nearer it may not.
        near = np.abs(np.asarray(xs, dtype=float)) <= 1e6
        assert np.all(np.isfinite(np.asarray(values, dtype=float)[near]))
    _same(before, _snapshot(xs))


# -- the command line on random CSV text -------------------------------------------------------

cells = st.one_of(
    st.floats(-100, 100, allow_nan=False).map(repr), st.integers(-9, 9).map(str),
    st.sampled_from(["", "NA", "nan", "inf", "x", "1e400", " 3 ", '"4"', "#"]),
)


@st.composite
def csv_text(draw):
    width = draw(st.integers(1, 4))
    sep = draw(st.sampled_from([",", ";", "\t"]))
    rows = draw(st.lists(st.lists(cells, min_size=width, max_size=width), max_size=12))
    if draw(st.booleans()):
        rows.insert(0, [f"c{i}" for i in range(width)])
    if draw(st.booleans()) and rows:
        rows[draw(st.integers(0, len(rows) - 1))].append("extra")
    lines = [sep.join(row) for row in rows]
    if draw(st.booleans()):
        lines.insert(draw(st.integers(0, len(lines))), "# a comment")
    return "\n".join(lines) + draw(st.sampled_from(["", "\n"]))


@FUZZ
@given(text=csv_text(), options=st.lists(
    st.sampled_from([["--no-header"], ["--header"], ["--no-x"], ["--delimiter", ","],
                     ["--y", "c1"], ["--delta", "c2"]]), max_size=2, unique_by=tuple))
def test_cli(text, options, tmp_path_factory):
    out_path = tmp_path_factory.mktemp("fuzz") / "fitted.csv"
    args = ["fit", "-", "--p", "0.9", "--gamma", "1", "--json", "--out", str(out_path)]
    args += [word for option in options for word in option]
    stdout, stderr = io.StringIO(), io.StringIO()
    saved = sys.stdin
    sys.stdin = io.StringIO(text)
    try:
        with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
            try:
                status = main(args)
            except SystemExit as exc:  # argparse usage errors
                status = exc.code
    finally:
        sys.stdin = saved
    if status == 0:
        report = json.loads(stdout.getvalue(), parse_constant=lambda c: pytest.fail(c))
        assert 2 <= report["n"] <= report["rows"]
        written = out_path.read_text().splitlines()
        assert len(written) == 1 + report["rows"]
        assert stderr.getvalue() == ""
    else:
        assert status == 2
        assert stdout.getvalue() == ""
        message = stderr.getvalue()
        assert message.startswith("vorn fit: error: ") and message.count("\n") == 1, message
