"""Datetime sites: NumPy, pandas and Python datetimes in, datetimes out."""

from __future__ import annotations

import datetime

import numpy as np
import pytest

import vorn
from vorn._sites import length_in_site_units, sites_of

DAYS = np.arange("2024-01-01", "2024-04-01", dtype="datetime64[D]")  # 91 days
STEP = np.datetime64("2024-02-15")
START = np.datetime64("2024-01-01T00:00:00")


def _step(sites, seed=0):
    y = np.where(sites < STEP, 0.0, 2.0) + np.sin(np.arange(sites.size) / 9.0)
    return y + 0.02 * np.random.default_rng(seed).standard_normal(sites.size)


Y = _step(DAYS)
OFFSETS = np.arange(91.0)  # days since 2024-01-01


def test_numpy_dates_fit_in_days_since_the_first_site():
    f = vorn.fit(DAYS, Y, 0.9, 0.1)
    plain = vorn.fit(OFFSETS, Y, 0.9, 0.1)
    np.testing.assert_array_equal(f.x, OFFSETS)
    np.testing.assert_array_equal(f.coefs, plain.coefs)
    assert f.site_unit == "days since 2024-01-01T00:00:00"
    assert repr(f).endswith("jumps=[44.5], x in days since 2024-01-01T00:00:00)")
    assert f.jumps.dtype == np.dtype("datetime64[ms]")
    assert f.jumps.tolist() == [datetime.datetime(2024, 2, 14, 12)]
    np.testing.assert_array_equal(
        f.segment_bounds,
        np.array(["2024-01-01", "2024-02-14T12:00", "2024-03-31"], dtype="datetime64[ms]"))
    np.testing.assert_array_equal(f.jump_sizes, plain.jump_sizes)


@pytest.mark.parametrize(
    "at",
    [np.datetime64("2024-03-01T06:00"), datetime.datetime(2024, 3, 1, 6),
     datetime.date(2024, 3, 1), np.array(["2024-03-01T06", "2024-01-05"], "datetime64[h]"),
     [datetime.datetime(2024, 3, 1, 6), datetime.datetime(2024, 1, 5)]],
)
def test_evaluation_at_datetimes_matches_the_offsets(at):
    f = vorn.fit(DAYS, Y, 0.9, 0.1)
    minutes = np.asarray(at, dtype="datetime64[m]") - START.astype("datetime64[m]")
    days = minutes / np.timedelta64(1, "D")
    np.testing.assert_array_equal(f(at), vorn.fit(OFFSETS, Y, 0.9, 0.1)(days))


@pytest.mark.parametrize(
    "sites, unit, spacing",
    [
        (np.arange("2024-01-01T00", "2024-01-03T00", dtype="datetime64[h]"), "hours", 1.0),
        (START + np.arange(0, 90, 3).astype("timedelta64[s]"), "seconds", 3.0),
        (np.arange("2020-01", "2024-01", dtype="datetime64[M]"), "days", 31.0),
        (START + np.arange(0, 40).astype("timedelta64[ms]") * 250, "milliseconds", 250.0),
        (START + np.arange(0, 40).astype("timedelta64[m]") * 90, "hours", 1.5),
        # Spans beyond what nanoseconds can count.
        ((np.arange(12) * 1000).astype("datetime64[Y]"), "days", 365243.0),
    ],
)
def test_the_unit_follows_the_spacing(sites, unit, spacing):
    sites_map, floats = sites_of("x", sites)
    assert sites_map.describe().split()[0] == unit
    assert np.median(np.diff(floats)) == spacing
    half = sites.size // 2
    y = np.where(np.arange(sites.size) < half, 0.0, 1.0)
    f = vorn.fit(sites, y, 0.5, 1e-30)  # a noise-free step: a tiny penalty finds it
    assert f.site_unit.startswith(unit + " since ")
    np.testing.assert_array_equal(f.x, floats)
    before, after = sites[half - 1 : half + 1].astype("datetime64[ms]")
    assert f.jumps.tolist() == [(before + (after - before) / 2).item()]


def test_python_dates_and_datetimes():
    dates = [datetime.date(2024, 1, 1) + datetime.timedelta(days=i) for i in range(91)]
    f = vorn.fit(dates, Y, 0.9, 0.1)
    g = vorn.fit([datetime.datetime(d.year, d.month, d.day) for d in dates], Y, 0.9, 0.1)
    for fit in (f, g):
        assert fit.jumps.dtype.kind == "M"
        assert fit.jumps.tolist() == [datetime.datetime(2024, 2, 14, 12)]


def test_missing_site_is_reported_as_nat():
    days = DAYS.copy()
    days[3] = np.datetime64("NaT")
    with pytest.raises(ValueError) as info:
        vorn.fit(days, Y, 0.9, 0.1)
    assert str(info.value) == "x must be finite, got x[3] = NaT"


@pytest.mark.parametrize(
    "fit_sites, at, message",
    [
        (DAYS, [1.0, 2.0], "xs must be datetimes like the fit's sites, got list of numbers"),
        (OFFSETS, DAYS[:2], "xs holds datetimes, but the fit's sites are numbers"),
    ],
)
def test_sites_and_evaluation_points_must_be_of_one_kind(fit_sites, at, message):
    f = vorn.fit(fit_sites, Y, 0.9, 0.1)
    with pytest.raises(TypeError) as info:
        f(at)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "length, expected",
    [(np.timedelta64(36, "h"), 1.5), (datetime.timedelta(days=2, hours=6), 2.25),
     (np.timedelta64(1, "W"), 7.0)],
)
def test_timedelta_lengths_in_the_fit_unit(length, expected):
    f = vorn.fit(DAYS, Y, 0.9, 0.1)
    assert length_in_site_units(length, f.sites) == expected
    assert f.sites.length(length, "bandwidth") == expected


@pytest.mark.parametrize(
    "sites, length, message",
    [
        (OFFSETS, np.timedelta64(1, "D"), "bandwidth is a timedelta, but the sites are numbers"),
        (DAYS, 2.0, "bandwidth must be a timedelta for datetime sites, got float"),
        (OFFSETS, "2", "bandwidth must be a real number, got str"),
    ],
)
def test_lengths_of_the_wrong_kind(sites, length, message):
    site_map, _ = sites_of("x", sites)
    with pytest.raises(TypeError) as info:
        length_in_site_units(length, site_map)
    assert str(info.value) == message
    assert length_in_site_units(3, sites_of("x", OFFSETS)[0]) == 3.0


# -- pandas -------------------------------------------------------------------------------------


@pytest.fixture
def pd():
    return pytest.importorskip("pandas")


@pytest.mark.parametrize("tz", [None, "Europe/Berlin"])
def test_series_with_a_datetime_index_uses_it_as_sites(pd, tz):
    index = pd.DatetimeIndex(DAYS).tz_localize(tz) if tz else pd.DatetimeIndex(DAYS)
    series = pd.Series(Y, index=index)
    f = vorn.fit(None, series, 0.9, 0.1)
    plain = vorn.fit(OFFSETS, Y, 0.9, 0.1)
    np.testing.assert_array_equal(f.coefs, plain.coefs)
    assert isinstance(f.jumps, pd.DatetimeIndex)
    assert str(f.jumps.tz) == str(tz) if tz else f.jumps.tz is None
    assert f.jumps[0] == pd.Timestamp("2024-02-14 12:00", tz=tz)
    # The complaint that started this: jumps read back as dates.
    assert pd.to_datetime(f.jumps)[0].year == 2024
    values = f(series.index)
    assert isinstance(values, pd.Series)
    assert values.index.equals(series.index)
    np.testing.assert_array_equal(values.to_numpy(), plain(OFFSETS))
    assert f(pd.Timestamp("2024-03-01", tz=tz)) == plain(60.0)


def test_dataframe_columns_and_index(pd):
    frame = pd.DataFrame({"north": Y, "south": -Y}, index=pd.DatetimeIndex(DAYS))
    f = vorn.fit(None, frame, 0.9, 0.1)
    assert f.columns == ["north", "south"]
    values = f(frame.index[:3])
    assert isinstance(values, pd.DataFrame)
    assert list(values.columns) == ["north", "south"]
    np.testing.assert_array_equal(values.to_numpy(),
                                  vorn.fit(OFFSETS, np.column_stack([Y, -Y]), 0.9, 0.1)(
                                      OFFSETS[:3]))


def test_pandas_sites_and_timedeltas(pd):
    sites = pd.Series(pd.date_range("2024-01-01", periods=91, freq="D"))
    f = vorn.fit(sites, Y, 0.9, 0.1)
    assert isinstance(f.jumps, pd.DatetimeIndex)
    assert length_in_site_units(pd.Timedelta(hours=12), f.sites) == 0.5
    # A Series of sites gives values on the Series' own index.
    values = f(sites.iloc[::30])
    assert list(values.index) == [0, 30, 60, 90]


def test_numeric_fit_at_pandas_sites_keeps_the_index(pd):
    f = vorn.fit(OFFSETS, Y, 0.9, 0.1)
    at = pd.Series([1.0, 50.0], index=["a", "b"])
    values = f(at)
    assert list(values.index) == ["a", "b"]
    np.testing.assert_array_equal(values.to_numpy(), f(np.array([1.0, 50.0])))


def test_inputs_are_left_unchanged(pd):
    index = pd.DatetimeIndex(DAYS)
    series = pd.Series(Y.copy(), index=index)
    before = series.copy()
    vorn.fit(None, series, 0.9, 0.1)(index)
    pd.testing.assert_series_equal(series, before)


def test_the_public_length_helper_converts_a_timedelta_to_the_fit_unit():
    days = np.arange("2024-01-01", "2024-02-01", dtype="datetime64[D]")
    f = vorn.fit(days, np.arange(days.size, dtype=float), p=0.5, gamma=np.inf)
    assert vorn.length_in_site_units(np.timedelta64(36, "h"), f.sites) == 1.5
    assert vorn.length_in_site_units(2.5, vorn.fit(None, np.ones(5), 0.5, 1.0).sites) == 2.5
