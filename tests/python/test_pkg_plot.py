"""Fit.plot: the legend names the value columns; datetime sites give a date axis."""

from __future__ import annotations

import numpy as np
import pytest

import vorn
from vorn import datasets

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


@pytest.fixture
def ax():
    fig, axes = plt.subplots()
    yield axes
    plt.close(fig)


def _legend(ax):
    return [text.get_text() for text in ax.get_legend().get_texts()]


@pytest.fixture(scope="module")
def signal():
    return datasets.heavisine(n=120, noise=0.1, seed=2)


def test_one_column_keeps_data_fit_and_jump(signal, ax):
    vorn.fit(signal.x, signal.y, 0.99999, 1.0).plot(ax=ax)
    assert _legend(ax) == ["data", "fit", "jump"]


@pytest.mark.parametrize(
    "labels, expected",
    [(None, ["y[0]", "y[1]", "y[2]"]), (["north", "south", "east"], ["north", "south", "east"])],
)
def test_several_columns_are_named(signal, ax, labels, expected):
    y = np.column_stack([signal.y, -signal.y, 2 * signal.y])
    vorn.fit(signal.x, y, 0.99999, 1.0).plot(ax=ax, labels=labels)
    assert _legend(ax) == expected + ["jump"]


def test_dataframe_columns_name_the_legend(signal, ax):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"level": signal.y, "mirror": -signal.y}, index=signal.x)
    vorn.fit(signal.x, frame, 0.99999, 1.0).plot(ax=ax)
    assert _legend(ax) == ["level", "mirror", "jump"]


def test_wrong_number_of_labels(signal, ax):
    f = vorn.fit(signal.x, np.column_stack([signal.y, -signal.y]), 0.99999, 1.0)
    with pytest.raises(ValueError) as info:
        f.plot(ax=ax, labels=["only one"])
    assert str(info.value) == "labels must name the 2 value columns, got 1 names"


def test_datetime_sites_draw_on_a_date_axis(ax):
    days = np.arange("2024-01-01", "2024-04-01", dtype="datetime64[D]")
    y = np.where(days < np.datetime64("2024-02-15"), 0.0, 2.0)
    f = vorn.fit(days, y, 0.9, 0.1)
    f.plot(ax=ax)
    low, high = ax.get_xlim()
    start = matplotlib.dates.date2num(np.datetime64("2024-01-01"))
    assert low <= start and high >= start + 90
    jump_line = ax.get_lines()[-1]
    assert matplotlib.dates.date2num(f.jumps[0]) == pytest.approx(
        matplotlib.dates.date2num(jump_line.get_xdata()[0]))
