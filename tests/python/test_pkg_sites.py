"""Sites as users hold them: large integers, pandas indexes, time zones. Nothing merged or
reinterpreted without a word."""

from __future__ import annotations

import datetime as dt
import warnings

import numpy as np
import pytest

import vorn

K = np.arange(300)
STEP = np.where(K < 150, 0.0, 1.0) + 0.05 * np.sin(1.7 * K)


@pytest.fixture(scope="module")
def pd():
    return pytest.importorskip("pandas")


@pytest.mark.parametrize("dtype", [np.int64, np.uint64])
def test_nanosecond_integers_keep_every_site(dtype):
    origin = 1_700_000_000_000_000_000
    x = (origin + 100 * K).astype(dtype)
    assert np.unique(x.astype(np.float64)).size < 300  # what a plain conversion loses
    f = vorn.fit(x, STEP, 0.5, 1e-3)
    reference = vorn.fit(100.0 * K, STEP, 0.5, 1e-3)
    np.testing.assert_array_equal(f.x, reference.x)
    np.testing.assert_array_equal(f.coefs, reference.coefs)
    assert f.site_unit == f"offsets from {origin}"
    assert repr(f).endswith(f", x in offsets from {origin})")
    np.testing.assert_array_equal(f(x[[0, 149, 150, 299]]), reference(100.0 * K[[0, 149, 150, 299]]))
    assert f.integrate(x[10], x[20]) == reference.integrate(1000.0, 2000.0)
    # The same instants as datetimes: the same sites, to the bit.
    stamps = vorn.fit(x.astype(np.int64).view("datetime64[ns]"), STEP, 0.5, 1e-3)
    np.testing.assert_array_equal(stamps.x, f.x)


def test_integers_beyond_int64():
    x = np.array([2**64 - 5, 2**64 - 3, 2**64 - 2, 2**64 - 1], dtype=np.uint64)
    f = vorn.fit(x, [0.0, 0.0, 5.0, 5.0], 1.0, 1.0)
    np.testing.assert_array_equal(f.x, [0.0, 2.0, 3.0, 4.0])


@pytest.mark.parametrize(
    "x, message",
    [
        (np.array([0, 2**60, 2**60 + 1, 2**60 + 2]),
         "x has 4 distinct sites, but float64 keeps only 2 of them apart (2 would merge with "
         "a neighbour): their span is too long for their spacing; split the series or drop "
         "the far-off sites"),
        (np.array(["2000-01-01", "2200-01-01", "2200-01-01"], dtype="datetime64[ns]")
         + np.array([0, 0, 1], dtype="timedelta64[ns]"),
         "x has 3 distinct sites, but float64 keeps only 2 of them apart (1 would merge with "
         "a neighbour): their span is too long for their spacing; split the series or drop "
         "the far-off sites"),
    ],
)
def test_sites_float64_cannot_keep_apart_are_refused(x, message):
    with pytest.raises(ValueError) as info:
        vorn.fit(x, np.arange(float(x.size)), 0.5, 1.0)
    assert str(info.value) == message


def test_small_integers_map_to_themselves():
    f = vorn.fit(np.arange(1871, 1971), STEP[:100], 0.5, 1e-3)
    assert f.sites.is_identity and f.site_unit is None
    np.testing.assert_array_equal(f.x, np.arange(1871.0, 1971.0))


def _index_cases(pd):
    return [
        (pd.Index(np.arange(300) * 0.25 + 3.0), np.arange(300) * 0.25 + 3.0, None),
        (pd.RangeIndex(10, 310), np.arange(10.0, 310.0), None),
        (pd.timedelta_range("1h", periods=300, freq="90s"),
         pd.timedelta_range("1h", periods=300, freq="90s"),
         "minutes since a duration of 1 hours"),
        (pd.period_range("2001-01", periods=300, freq="M"),
         pd.period_range("2001-01", periods=300, freq="M").to_timestamp(), None),
        (pd.date_range("2024-01-01", periods=300, freq="h", tz="Asia/Tokyo"),
         pd.date_range("2024-01-01", periods=300, freq="h", tz="Asia/Tokyo"), None),
    ]


@pytest.mark.parametrize("case", range(5))
def test_a_series_index_serves_as_sites(pd, case):
    index, sites, unit = _index_cases(pd)[case]
    series = pd.Series(STEP, index=index)
    f = vorn.fit(None, series, 0.9, 0.05)
    expected = vorn.fit(sites, STEP, 0.9, 0.05)
    np.testing.assert_array_equal(f.coefs, expected.coefs)
    np.testing.assert_array_equal(f.x, expected.x)
    assert f.sites.from_index and not expected.sites.from_index
    shown = "" if f.site_unit is None else f" in {f.site_unit}"
    assert repr(f) == repr(expected).replace(f", x in {f.site_unit}", "")[:-1] + (
        f", x from y.index{shown})")
    if unit is not None:
        assert f.site_unit == unit
    values = f(series.index)
    assert isinstance(values, pd.Series) and values.index.equals(series.index)
    assert np.all(np.asarray(f.jumps) == np.asarray(expected.jumps))


def test_pandas_default_index_is_not_sites(pd):
    f = vorn.fit(None, pd.Series(STEP), 0.9, 0.05)
    np.testing.assert_array_equal(f.x, np.arange(1.0, 301.0))
    assert repr(f) == repr(vorn.fit(None, STEP, 0.9, 0.05))


def test_a_missing_index_site_is_named(pd):
    series = pd.Series([1.0, 2.0, 3.0], index=[0.0, np.nan, 2.0])
    with pytest.raises(ValueError) as info:
        vorn.fit(None, series, 0.5, 1.0)
    assert str(info.value) == "y.index must be finite, got y.index[1] = nan"


@pytest.mark.parametrize("aware_fit", [True, False])
@pytest.mark.parametrize("kind", ["pandas", "numpy", "python"])
def test_naive_and_aware_sites_do_not_mix(pd, aware_fit, kind):
    index = pd.date_range("2024-01-01", periods=300, freq="h")
    f = vorn.fit(index.tz_localize("Europe/Paris") if aware_fit else index, STEP, 0.9, 0.05)
    at = pd.Timestamp("2024-01-02 12:00")
    if not aware_fit:
        at = at.tz_localize("Europe/Paris")
        if kind == "numpy":
            pytest.skip("NumPy datetimes are always naive")
    xs = {"pandas": at, "numpy": np.datetime64("2024-01-02T12:00"),
          "python": at.to_pydatetime()}[kind]
    with pytest.raises(TypeError) as info:
        f(xs)
    if aware_fit:
        assert str(info.value) == (
            "xs holds naive datetimes, but the fit's sites are timezone-aware (Europe/Paris); "
            "give xs a time zone (e.g. tz_localize)")
    else:
        assert str(info.value) == (
            "xs holds timezone-aware datetimes (Europe/Paris), but the fit's sites are naive; "
            "make xs naive in the fit's time scale (e.g. tz_localize(None))")
    # With the zone stated the same instant evaluates like the fit's own site.
    own = index[36].tz_localize("Europe/Paris") if aware_fit else index[36]
    assert f(own) == np.asarray(f(f.sites.decode(f.x[36:37])))[0]


def _paris_hours():
    """Hours across the spring change of clocks, with the offsets they were written with."""
    utc = dt.datetime(2024, 3, 30, 12, tzinfo=dt.timezone.utc)
    change = dt.datetime(2024, 3, 31, 1, tzinfo=dt.timezone.utc)
    winter, summer = dt.timezone(dt.timedelta(hours=1)), dt.timezone(dt.timedelta(hours=2))
    return [(utc + dt.timedelta(hours=i)).astimezone(
        winter if utc + dt.timedelta(hours=i) < change else summer) for i in range(40)]


@pytest.mark.parametrize("wrap", [list, "series"])
def test_mixed_utc_offsets_become_utc_with_a_note(pd, wrap):
    hours = _paris_hours()
    x = pd.Series(hours, dtype=object) if wrap == "series" else hours
    y = np.r_[np.zeros(20), np.ones(20)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        f = vorn.fit(x, y, 0.9, 0.05)
    assert [str(w.message) for w in caught] == [
        "x holds datetimes with 2 different UTC offsets (+01:00, +02:00); they are read as "
        "UTC instants, and jumps come back in UTC"]
    assert caught[0].filename == __file__
    expected = vorn.fit(pd.DatetimeIndex([h.astimezone(dt.timezone.utc) for h in hours]), y,
                        0.9, 0.05)
    np.testing.assert_array_equal(f.x, expected.x)
    assert f.site_unit == "hours since 2024-03-30T12:00:00 UTC"
    jump = pd.Timestamp(f.jumps[0])
    assert str(jump.tz) == ("UTC" if wrap == "series" else "None")
    assert jump.tz_localize(None) == pd.Timestamp("2024-03-31T07:30")


def test_naive_among_aware_datetimes_is_refused(pd):
    hours = _paris_hours()
    hours[3] = hours[3].replace(tzinfo=None)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError) as info:
            vorn.fit(hours, np.arange(40.0), 0.9, 0.05)
    assert str(info.value) == ("x mixes naive and timezone-aware datetimes; give every one a "
                               "time zone, or none")
