"""vorn.fit_many through a local process pool and a Dask cluster."""

from __future__ import annotations

from concurrent.futures import Executor, Future, ProcessPoolExecutor

import json

import numpy as np
import pytest
from conftest import run_python

import vorn
from vorn import datasets


def _series():
    out = []
    for seed in range(3):
        x, y, _ = datasets.heavisine(n=90, noise=0.2, seed=seed)
        out.append((x, y))
    x, y, _ = datasets.blocks_trend(n=80, noise=0.1, seed=4)
    out.append({"x": x, "y": np.column_stack([y, -y]), "delta": np.full(x.size, 0.5)})
    out.append(datasets.heavisine(n=70, noise=0.2, seed=9).y)  # y alone: sites 1..n
    x, y, _ = datasets.blocks_trend(n=60, noise=0.1, seed=5)
    out.append((x, y, np.linspace(0.5, 1.5, x.size)))
    return out


def _serial(series, p, gamma):
    fits = []
    for item in series:
        if isinstance(item, dict):
            fits.append(vorn.fit(item["x"], item["y"], p, gamma, delta=item["delta"]))
        elif isinstance(item, tuple) and len(item) == 3:
            fits.append(vorn.fit(item[0], item[1], p, gamma, delta=item[2]))
        elif isinstance(item, tuple):
            fits.append(vorn.fit(item[0], item[1], p, gamma))
        else:
            fits.append(vorn.fit(None, item, p, gamma))
    return fits


def _assert_same(fits, expected):
    assert len(fits) == len(expected)
    for f, g in zip(fits, expected):
        assert isinstance(f, vorn.Fit)
        np.testing.assert_array_equal(f.breaks, g.breaks)
        np.testing.assert_array_equal(f.coefs, g.coefs)
        np.testing.assert_array_equal(f.jumps, g.jumps)
        np.testing.assert_array_equal(f.y, g.y)
        assert (f.p, f.gamma, f.complexity_counter) == (g.p, g.gamma, g.complexity_counter)


class _InlineExecutor(Executor):
    """Runs each task at once in this process and records what was submitted."""

    def __init__(self):
        self.submitted = 0
        self.shut = False

    def submit(self, fn, /, *args, **kwargs):
        self.submitted += 1
        future: Future = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as exc:  # handed to the caller through the future
            future.set_exception(exc)
        return future

    def shutdown(self, wait=True, *, cancel_futures=False):
        self.shut = True


def test_inline_executor_matches_serial_and_is_not_shut_down():
    series = _series()
    executor = _InlineExecutor()
    fits = vorn.fit_many(series, 0.999, 3.0, executor=executor)
    _assert_same(fits, _serial(series, 0.999, 3.0))
    assert executor.submitted == len(series) and not executor.shut


def test_shapes_follow_each_series():
    fits = vorn.fit_many(_series(), 0.999, 3.0, executor=_InlineExecutor())
    assert fits[0].y.ndim == 1 and fits[3].y.shape == (80, 2)
    np.testing.assert_array_equal(fits[4].x, np.arange(1.0, 71.0))


def test_selection_per_series_when_parameters_are_omitted():
    series = _series()[:2]
    fits = vorn.fit_many(series, folds=4, seed=2, executor=_InlineExecutor())
    for f, (x, y) in zip(fits, series):
        s = vorn.select(x, y, folds=4, seed=2)
        assert (f.p, f.gamma) == (s.p, s.gamma)
        np.testing.assert_array_equal(f.coefs, s.fit.coefs)
    fixed_p = vorn.fit_many(series, p=0.999, folds=4, executor=_InlineExecutor())
    assert all(f.p == 0.999 for f in fixed_p)


def test_bad_series_is_reported_before_any_work():
    series = _series()
    series.insert(2, ([1.0, 2.0, 3.0], [1.0, 2.0]))
    executor = _InlineExecutor()
    with pytest.raises(ValueError) as info:
        vorn.fit_many(series, 0.999, 3.0, executor=executor)
    assert str(info.value) == "series 2: x and y must have the same length: x has 3, y has 2"
    assert executor.submitted == 0


@pytest.mark.parametrize(
    "series, kwargs, exc, message",
    [
        ([{"x": [1, 2]}], {}, ValueError,
         "series 0: a series given as a mapping needs a 'y' entry"),
        ([{"y": [1, 2], "w": [1, 1]}], {}, ValueError,
         "series 0: unknown keys in series mapping: ['w']"),
        ([[1.0, 2.0, 3.0], "abc"], {}, TypeError,
         "series 1: y must be an array of numbers, got str"),
        ([[1.0, 2.0, 3.0]], {"p": 3.0}, ValueError, "p must lie in [0, 1], got 3.0"),
        ([[1.0, 2.0, 3.0]], {"pruning": "x"}, ValueError,
         "pruning must be 'DOMINANCE', 'PELT' or 'FPVI', got 'x'"),
        ([[1.0, 2.0, 3.0]], {"gamma": None, "penalty": -1.0}, ValueError,
         "penalty must be positive, got -1.0"),
        ([[1.0, 2.0, 3.0]], {"bandwidth_samples": 2.0}, ValueError,
         "give p and gamma, or bandwidth, bandwidth_samples or penalty in their place, "
         "not both"),
        ([[1.0, 2.0, 3.0]], {"gamma": None, "method": "aic"}, ValueError,
         "method must be 'priced' or 'cv', got 'aic'"),
        ([[1.0, 2.0, 3.0]], {"gamma": None, "folds": 2.5}, TypeError,
         "folds must be an int, got float"),
        ([[1.0, 2.0, 3.0]], {"gamma": None, "segments": "linear"}, ValueError,
         "segments must be 'smooth' or 'constant', got 'linear'"),
        ([[1.0, 2.0, 3.0]], {"gamma": None, "segments": "constant"}, ValueError,
         "segments='constant' takes no bandwidth, bandwidth_samples or p"),
    ],
)
def test_user_errors(series, kwargs, exc, message):
    args = {"p": 0.5, "gamma": 1.0}
    args.update(kwargs)
    with pytest.raises(exc) as info:
        vorn.fit_many(series, executor=_InlineExecutor(), **args)
    assert str(info.value) == message


def test_a_tuple_of_numbers_is_one_series():
    fits = vorn.fit_many([(0.0, 1.0, 5.0)], 1.0, 1.0, executor=_InlineExecutor())
    np.testing.assert_array_equal(fits[0].x, [1.0, 2.0, 3.0])


def test_empty_input():
    assert vorn.fit_many([], 0.5, 1.0) == []


@pytest.mark.multiprocess
def test_default_process_pool_matches_serial():
    series = _series()
    fits = vorn.fit_many(series, 0.999, 3.0, max_workers=2)
    _assert_same(fits, _serial(series, 0.999, 3.0))


@pytest.mark.multiprocess
def test_given_process_pool_matches_serial_and_stays_usable():
    series = _series()
    with ProcessPoolExecutor(max_workers=2) as pool:
        fits = vorn.fit_many(series, 0.999, 3.0, executor=pool)
        again = vorn.fit_many(series[:2], 0.999, 3.0, executor=pool)
    _assert_same(fits, _serial(series, 0.999, 3.0))
    _assert_same(again, fits[:2])


@pytest.mark.multiprocess
def test_dask_local_cluster_matches_serial():
    distributed = pytest.importorskip("distributed")
    series = _series()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            executor = client.get_executor()
            fits = vorn.fit_many(series, 0.999, 3.0, executor=executor)
            workers = client.run(lambda: __import__("os").getpid())
    assert len(workers) == 2
    _assert_same(fits, _serial(series, 0.999, 3.0))


@pytest.mark.multiprocess
def test_worker_errors_reach_the_caller():
    # Too many folds for six samples is found by the selection inside the worker.
    with ProcessPoolExecutor(max_workers=1) as pool:
        with pytest.raises(ValueError) as info:
            vorn.fit_many([[0.0, 1.0, 0.0, 1.0, 0.0, 1.0]], p=0.5, folds=10, executor=pool)
    assert str(info.value) == (
        "series 0: folds must lie between 2 and the number of samples (6), got 10"
    )


def test_errors_raised_while_fitting_carry_the_position_of_the_series():
    # Ten folds cannot be made of five samples; only the selection finds that out.
    rng = np.random.default_rng(3)
    series = [rng.standard_normal(40), rng.standard_normal(5)]
    with pytest.raises(ValueError) as info:
        vorn.fit_many(series, folds=10, executor=_InlineExecutor())
    assert str(info.value) == ("series 1: folds must lie between 2 and the number of "
                               "samples (5), got 10")


def _pandas_series():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(5)
    y = np.r_[np.zeros(30), np.full(30, 3.0)] + 0.2 * rng.standard_normal(60)
    return [
        pd.Series(y, index=pd.date_range("2024-01-01", periods=60, freq="D", tz="UTC")),
        pd.Series(y, index=np.arange(60) * 0.5),
        pd.DataFrame({"a": y, "b": -y}, index=pd.timedelta_range("0s", periods=60,
                                                                   freq="1s")),
    ]


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"bandwidth_samples": 4.0},
        {"penalty": 30.0, "bandwidth_samples": 2.0},
        {"p": 0.9},
        {"gamma": 5.0},
        {"method": "cv", "folds": 3, "seed": 2, "scoring": "core"},
        {"p": 0.9, "gamma": 5.0, "pruning": "PELT"},
        {"segments": "constant"},
        {"segments": "constant", "penalty": 12.0, "precondition": "local"},
    ],
)
def test_every_argument_of_fit_and_select_gives_their_answer(kwargs):
    rng = np.random.default_rng(4)
    series = [rng.standard_normal(5), np.r_[np.zeros(20), np.ones(20)]
              + 0.1 * rng.standard_normal(40)] + _pandas_series()
    fits = vorn.fit_many(series, executor=_InlineExecutor(), **kwargs)
    for got, y in zip(fits, series):
        if "p" in kwargs and "gamma" in kwargs:
            expected = vorn.fit(None, y, **kwargs)
        else:
            expected = vorn.select(None, y, **{key: value for key, value in kwargs.items()
                                               if key != "precondition"}).fit
        np.testing.assert_array_equal(got.coefs, expected.coefs)
        np.testing.assert_array_equal(got.x, expected.x)
        assert repr(got) == repr(expected)
        assert (got.columns, got.sites.describe()) == (expected.columns,
                                                       expected.sites.describe())
        if got.jumps.size:
            assert np.all(np.asarray(got.jumps) == np.asarray(expected.jumps))


def test_bandwidth_in_time_for_datetime_series():
    series = _pandas_series()[:1]
    day = np.timedelta64(2, "D")
    got = vorn.fit_many(series, bandwidth=day, executor=_InlineExecutor())[0]
    expected = vorn.select(None, series[0], bandwidth=day).fit
    np.testing.assert_array_equal(got.coefs, expected.coefs)
    assert str(got.jumps.tz) == "UTC"


def test_selected_fits_keep_pruning_and_precondition():
    x, y = _series()[0]
    wild = y.copy()
    wild[7] += 50.0  # downweighted as an outlier
    series = _series()[:2] + [(x * 1e-9, wild * 1e-170)]  # p and gamma cannot carry this one
    fits = vorn.fit_many(series, folds=4, pruning="fpvi", precondition="LOCAL",
                         executor=_InlineExecutor())
    for f, (x, y) in zip(fits, series):
        assert (f.pruning, f.precondition) == ("FPVI", "local")
        s = vorn.select(x, y, folds=4)
        expected = vorn.fit(x, y, **s.arguments, pruning="FPVI", precondition="local")
        np.testing.assert_array_equal(f(x), expected(x))
        np.testing.assert_array_equal(f.jumps, expected.jumps)
    assert fits[2].frame is not None and 7 in vorn.select(*series[2]).downweighted


def test_datetime_series_give_datetime_jumps():
    days = np.arange("2024-01-01", "2024-03-01", dtype="datetime64[D]")
    y = np.where(days < np.datetime64("2024-02-01"), 0.0, 2.0)
    y = y + 0.01 * np.random.default_rng(0).standard_normal(days.size)
    fits = vorn.fit_many([(days, y), {"x": days, "y": -y}], p=0.5, gamma=0.5,
                         executor=_InlineExecutor())
    selected = vorn.fit_many([(days, y)], folds=3, executor=_InlineExecutor())
    for f in fits + selected:
        assert f.jumps.dtype.kind == "M"
        assert f.jumps.tolist() == [np.datetime64("2024-01-31T12:00:00.000").item()]


_INTERRUPTED_BATCH = """
import json, multiprocessing, os, signal, threading, time
import numpy as np
import vorn

n = 20000
x = np.arange(n, dtype=float) / 100.0
levels = np.where(np.arange(n) // 100 % 2 == 0, 0.0, 3.0)
y = levels + 0.1 * np.random.default_rng(11).standard_normal(n)
sent = []

def interrupt():
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)

threading.Timer(3.0, interrupt).start()
outcome = "finished"
try:
    vorn.fit_many([(x, y)] * 4, p=0.9999, gamma=5.0, pruning="FPVI", max_workers=2)
except KeyboardInterrupt:
    outcome = "interrupted"
stopped = time.monotonic()
me = str(os.getpid())
children = []
for entry in os.listdir("/proc"):
    if entry.isdigit():
        try:
            with open(f"/proc/{entry}/stat") as handle:
                fields = handle.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[1] == me and fields[0] != "Z":
            children.append(int(entry))
print(json.dumps({"outcome": outcome, "after_signal": stopped - sent[0],
                  "active": len(multiprocessing.active_children()), "children": children}))
"""


@pytest.mark.multiprocess
def test_ctrl_c_stops_the_pool_at_once_and_leaves_no_worker():
    # Each fit takes tens of seconds; waiting for the running ones would take that long.
    result = run_python(_INTERRUPTED_BATCH, timeout=300)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["outcome"] == "interrupted"
    assert report["active"] == 0 and report["children"] == []
    assert report["after_signal"] < 10.0
