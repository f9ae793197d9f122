"""A seeded corpus of real-like annotated series, and the change-point protocol's metrics.

Every series is ``Series(name, kind, x, y, annotations)``. ``annotations`` is a list of
annotators, each a sorted list of change-point indices (the index of the first sample of a
new regime); index 0 is added by the metrics, as the protocol does. Annotated, as a careful
annotator would: level shifts and abrupt regime changes. Not annotated: seasonality, trends,
random-walk drift, single outliers, bursts of volatility.

Generated kinds (seeded; several seeds each):

bank         daily balance: transactions of both signs every day and a few larger ones
             (a heavy-tailed random walk); quantised to cents. No change.
passengers   monthly airport passengers: growing trend times a strong seasonal cycle,
             multiplicative noise. No change, or one abrupt drop (a strike / a crisis).
image_row    one row of a photograph: flat regions with texture and a few wide soft edges
             (blur of 1-2 pixels), quantised to 0..255. Every region edge annotated.
price        a slow price (geometric random walk) with bursts of volatility. No change.
well_log     level shifts in AR(1) noise (phi 0.6) with spikes. Every shift annotated.
counts       Poisson counts whose rate shifts once or twice. Shifts annotated.
seasonal_shift  monthly temperatures with a seasonal cycle and one level shift. Annotated.
long_memory  a smooth mean under long-memory noise (a sum of AR(1) of long correlation
             times). No change.
sensor       a sensor's reading: trend, noise, spikes, missing stretches and two steps.
             Steps annotated.
ar_trend     AR(1) noise (phi 0.5) on a trend with one level shift. Annotated.

Bundled real series (statsmodels' datasets; the bench only):

nile         annual flow at Aswan 1871-1970 (also vorn.datasets.nile): the 1898 drop,
             change at 1899 (index 28), the one annotation every annotator agrees on.
co2          weekly CO2 at Mauna Loa 1958-2001 (2284 weeks, missing values): trend and
             season only. No change expected.
sunspots     yearly sunspot activity 1700-2008: cycles of varying height, no abrupt change.
             No change expected.
elnino       monthly sea surface temperature 1950-2010 (61 years x 12): seasonal cycle and
             El Nino episodes (smooth excursions of a few months), no change a careful
             annotator would agree on. No change expected.
"""

from __future__ import annotations

from typing import Iterator, NamedTuple

import numpy as np


class Series(NamedTuple):
    name: str
    kind: str
    x: np.ndarray
    y: np.ndarray
    annotations: list[list[int]]


def _ar1(rng, n, phi):
    e = rng.standard_normal(n)
    out = np.empty(n)
    out[0] = e[0] / np.sqrt(1 - phi * phi)
    for i in range(1, n):
        out[i] = phi * out[i - 1] + e[i]
    return out * np.sqrt(1 - phi * phi)


def bank(seed):
    rng = np.random.default_rng(seed)
    n = 568
    day = np.arange(n)
    # Daily transactions of both signs, now and then a larger one: a random walk that
    # annotators read as drift, not as changes.
    flow = rng.laplace(0.0, 25.0, n)
    big = rng.choice(n, 8, replace=False)
    flow[big] += rng.choice([-1, 1], 8) * rng.uniform(150, 400, 8)
    y = np.round(3000.0 + np.cumsum(flow), 2)
    return Series(f"bank-{seed}", "bank", day.astype(float), y, [[]])


def passengers(seed, drop):
    rng = np.random.default_rng(seed)
    n = 144
    t = np.arange(n)
    season = 1.0 + 0.25 * np.sin(2 * np.pi * t / 12 + rng.uniform(0, 6)) \
        + 0.1 * np.sin(4 * np.pi * t / 12 + rng.uniform(0, 6))
    level = 100.0 * np.exp(0.01 * t)
    notes: list[int] = []
    if drop:
        at = int(rng.integers(50, 100))
        level = level * np.where(t >= at, 0.55, 1.0)
        notes = [at]
    y = np.round(level * season * np.exp(0.03 * rng.standard_normal(n)))
    return Series(f"passengers-{seed}{'-drop' if drop else ''}", "passengers",
                  t.astype(float), y, [notes])


def image_row(seed):
    rng = np.random.default_rng(seed)
    n = 480
    k = int(rng.integers(6, 14))
    for _ in range(1000):
        edges = np.sort(rng.choice(np.arange(12, n - 12), k, replace=False))
        if np.all(np.diff(edges) >= 12):
            break
    levels = rng.uniform(20, 235, k + 1)
    # Neighbouring regions differ clearly, as edges an annotator marks do.
    for i in range(1, k + 1):
        while abs(levels[i] - levels[i - 1]) < 40:
            levels[i] = rng.uniform(20, 235)
    region = np.searchsorted(edges, np.arange(n), side="right")
    clean = levels[region]
    blur = np.array([0.25, 0.5, 0.25])
    clean = np.convolve(np.pad(clean, 1, mode="edge"), blur, mode="valid")
    texture = 6.0 * _ar1(rng, n, 0.4) + 2.0 * np.sin(np.arange(n) / rng.uniform(3, 8))
    y = np.clip(np.round(clean + texture), 0, 255)
    return Series(f"image_row-{seed}", "image_row", np.arange(n, dtype=float), y,
                  [edges.tolist()])


def price(seed):
    rng = np.random.default_rng(seed)
    n = 700
    vol = np.full(n, 0.006)
    for _ in range(3):
        at = int(rng.integers(0, n - 40))
        vol[at: at + int(rng.integers(15, 40))] *= rng.uniform(3, 6)
    y = np.round(50.0 * np.exp(np.cumsum(vol * rng.standard_normal(n))), 2)
    return Series(f"price-{seed}", "price", np.arange(n, dtype=float), y, [[]])


def well_log(seed):
    rng = np.random.default_rng(seed)
    n = 800
    k = int(rng.integers(3, 7))
    edges = np.sort(rng.choice(np.arange(30, n - 30, 30), k, replace=False))
    levels = np.cumsum(rng.choice([-1, 1], k + 1) * rng.uniform(4, 8, k + 1))
    y = levels[np.searchsorted(edges, np.arange(n), side="right")] + _ar1(rng, n, 0.6)
    spikes = rng.choice(n, 5, replace=False)
    y[spikes] += rng.choice([-1, 1], 5) * rng.uniform(8, 15, 5)
    return Series(f"well_log-{seed}", "well_log", np.arange(n, dtype=float), y,
                  [edges.tolist()])


def counts(seed):
    rng = np.random.default_rng(seed)
    n = 300
    k = int(rng.integers(1, 3))
    edges = np.sort(rng.choice(np.arange(40, n - 40, 20), k, replace=False))
    rates = rng.uniform(5, 30, k + 1)
    for i in range(1, k + 1):
        while abs(np.sqrt(rates[i]) - np.sqrt(rates[i - 1])) < 1.5:
            rates[i] = rng.uniform(5, 30)
    y = rng.poisson(rates[np.searchsorted(edges, np.arange(n), side="right")]).astype(float)
    return Series(f"counts-{seed}", "counts", np.arange(n, dtype=float), y, [edges.tolist()])


def seasonal_shift(seed):
    rng = np.random.default_rng(seed)
    n = 240
    t = np.arange(n)
    at = int(rng.integers(60, 180))
    y = 12 + 8 * np.sin(2 * np.pi * t / 12) + np.where(t >= at, rng.choice([-3, 3]), 0.0) \
        + 0.8 * _ar1(rng, n, 0.3)
    return Series(f"seasonal_shift-{seed}", "seasonal_shift", t.astype(float),
                  np.round(y, 1), [[at]])


def long_memory(seed):
    rng = np.random.default_rng(seed)
    n = 500
    noise = sum(w * _ar1(rng, n, phi) for w, phi in ((1.0, 0.2), (0.6, 0.9), (0.5, 0.98)))
    t = np.arange(n)
    y = 10 + 0.5 * np.sin(2 * np.pi * t / n) + noise
    return Series(f"long_memory-{seed}", "long_memory", t.astype(float), y, [[]])


def sensor(seed):
    rng = np.random.default_rng(seed)
    n = 1000
    t = np.arange(n)
    a, b = sorted(rng.choice(np.arange(100, 900, 50), 2, replace=False))
    y = 20 + 2 * np.sin(2 * np.pi * t / 700) + np.where(t >= a, 3.0, 0.0) \
        - np.where(t >= b, 2.0, 0.0) + 0.4 * rng.standard_normal(n)
    y[rng.choice(n, 6, replace=False)] += 6.0
    gap = int(rng.integers(0, n - 40))
    y[gap: gap + 30] = np.nan
    y[rng.choice(n, 20, replace=False)] = np.nan
    return Series(f"sensor-{seed}", "sensor", t.astype(float), y, [[int(a), int(b)]])


def ar_trend(seed):
    rng = np.random.default_rng(seed)
    n = 400
    t = np.arange(n)
    at = int(rng.integers(80, 320))
    y = 0.01 * t + np.where(t >= at, 2.5, 0.0) + _ar1(rng, n, 0.5)
    return Series(f"ar_trend-{seed}", "ar_trend", t.astype(float), y, [[at]])


def real():
    import statsmodels.api as sm

    nile = sm.datasets.nile.load_pandas().data
    yield Series("nile", "real", nile["year"].to_numpy(float), nile["volume"].to_numpy(float),
                 [[28]])
    co2 = sm.datasets.co2.load_pandas().data
    yield Series("co2", "real", np.arange(len(co2), dtype=float), co2["co2"].to_numpy(float),
                 [[]])
    sun = sm.datasets.sunspots.load_pandas().data
    yield Series("sunspots", "real", sun["YEAR"].to_numpy(float),
                 sun["SUNACTIVITY"].to_numpy(float), [[]])
    nino = sm.datasets.elnino.load_pandas().data
    values = nino.drop(columns="YEAR").to_numpy(float).ravel()
    yield Series("elnino", "real", np.arange(values.size, dtype=float), values, [[]])


def corpus(kinds=None) -> Iterator[Series]:
    makers = [
        *(bank(s) for s in (0, 1, 2)),
        *(passengers(s, False) for s in (0, 1)),
        *(passengers(s, True) for s in (2, 3)),
        *(image_row(s) for s in (0, 1, 2)),
        *(price(s) for s in (0, 1, 2)),
        *(well_log(s) for s in (0, 1, 2)),
        *(counts(s) for s in (0, 1, 2)),
        *(seasonal_shift(s) for s in (0, 1)),
        *(long_memory(s) for s in (0, 1, 2)),
        *(sensor(s) for s in (0, 1)),
        *(ar_trend(s) for s in (0, 1, 2)),
    ]
    for s in [*makers, *real()]:
        if kinds is None or s.kind in kinds:
            yield s


# -- the protocol's metrics ----------------------------------------------------------------

def _true_positives(truth, predicted, margin):
    """Predictions matched one to one to the truth within the margin (closest first)."""
    found = set()
    left = sorted(predicted)
    for t in truth:
        close = [x for x in left if abs(x - t) <= margin]
        if close:
            best = min(close, key=lambda x: abs(x - t))
            found.add(t)
            left.remove(best)
    return len(found)


def f1(annotations, predicted, margin=5):
    """F1 with index 0 counted as a change point in predictions and annotations alike."""
    predicted = sorted(set([0, *predicted]))
    annotators = [sorted(set([0, *a])) for a in annotations]
    union = sorted(set().union(*annotators))
    precision = _true_positives(union, predicted, margin) / len(predicted)
    recall = float(np.mean([_true_positives(a, predicted, margin) / len(a)
                            for a in annotators]))
    if precision + recall == 0:
        return 0.0
    return 2 * precision * recall / (precision + recall)


def _partition(points, n):
    bounds = sorted(set([0, *[p for p in points if 0 < p < n], n]))
    return [set(range(a, b)) for a, b in zip(bounds[:-1], bounds[1:])]


def covering(annotations, predicted, n):
    """Segmentation covering of the annotators' partitions by the predicted one, averaged."""
    mine = _partition(predicted, n)
    scores = []
    for a in annotations:
        theirs = _partition(a, n)
        total = 0.0
        for region in theirs:
            total += len(region) * max(len(region & r) / len(region | r) for r in mine)
        scores.append(total / n)
    return float(np.mean(scores))
