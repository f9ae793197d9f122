"""Seeded corpus of signals with and without jumps for judging the parameter choice.

Every signal is ``Signal(name, scenario, x, y, truth)`` where ``truth`` holds the index (into the
sorted samples) of the last sample before each true jump. Scenarios:

no jumps      trend, seasonal, ar1 (phi 0.3 and 0.5), student_t (3 df), outliers (1 % at 6-12 sd)
jumps         steps (1-5 jumps of 3-6 noise sd, >= 10 samples apart, on a smooth trend),
              steps_t (the same with Student-t noise), steps_multi (three columns)
one outlier   outlier10: a smooth curve with one sample moved by 10 noise sd

Sizes n in (100, 300, 1000, 2000) by default, even and uneven sites alternating.
"""

from __future__ import annotations

from typing import Iterator, NamedTuple

import numpy as np


class Signal(NamedTuple):
    name: str
    scenario: str
    x: np.ndarray
    y: np.ndarray
    truth: np.ndarray


def _sites(rng, n, uneven):
    if not uneven:
        return np.linspace(0.0, 1.0, n)
    gaps = rng.gamma(2.0, 1.0, n - 1)
    x = np.concatenate(([0.0], np.cumsum(gaps)))
    return x / x[-1]


def _trend(rng, x, amplitude):
    cycles = rng.uniform(0.5, 2.5)
    phase = rng.uniform(0, 2 * np.pi)
    slope = rng.uniform(-1, 1)
    return amplitude * np.sin(2 * np.pi * cycles * x + phase) + amplitude * slope * x


def _ar1(rng, n, phi):
    e = rng.standard_normal(n)
    out = np.empty(n)
    out[0] = e[0]
    for i in range(1, n):
        out[i] = phi * out[i - 1] + np.sqrt(1 - phi * phi) * e[i]
    return out


def _jump_positions(rng, n, k, gap=10):
    for _ in range(1000):
        pos = np.sort(rng.choice(np.arange(gap, n - gap), size=k, replace=False))
        if k == 0 or np.all(np.diff(pos) >= gap):
            return pos - 1  # last sample before each jump
    raise RuntimeError("no room for the jumps")


def make(scenario, n, seed, uneven=False):
    rng = np.random.default_rng([seed, n, SCENARIOS.index(scenario)])
    x = _sites(rng, n, uneven)
    truth = np.zeros(0, dtype=np.int64)
    noise = rng.standard_normal(n)
    columns = 1
    if scenario == "trend":
        clean = _trend(rng, x, rng.uniform(2, 8))
    elif scenario == "seasonal":
        period = rng.choice([12, 24, 52]) if n >= 200 else 12
        # Seasonality in x (n - 1 sample spacings long), so uneven sites sample it unevenly.
        clean = _trend(rng, x, 3) + rng.uniform(2, 4) * np.sin(2 * np.pi * x * (n - 1) / period)
    elif scenario == "ar1":
        clean = _trend(rng, x, rng.uniform(2, 6))
        noise = _ar1(rng, n, [0.3, 0.5][seed % 2])
    elif scenario == "student_t":
        clean = _trend(rng, x, rng.uniform(2, 6))
        noise = rng.standard_t(3, n) / np.sqrt(3.0)
    elif scenario == "outliers":
        clean = _trend(rng, x, rng.uniform(2, 6))
        k = max(1, n // 100)
        where = rng.choice(n, size=k, replace=False)
        noise[where] += rng.choice([-1, 1], k) * rng.uniform(6, 12, k)
    elif scenario == "outlier10":
        clean = _trend(rng, x, rng.uniform(2, 6))
        noise[n // 2] = 10.0
    elif scenario in ("steps", "steps_t", "steps_multi"):
        k = int(rng.integers(1, 6)) if n >= 300 else int(rng.integers(1, 3))
        truth = _jump_positions(rng, n, k)
        clean = _trend(rng, x, rng.uniform(1, 4))
        for last in truth:
            clean = clean + (np.arange(n) > last) * rng.choice([-1, 1]) * rng.uniform(3, 6)
        if scenario == "steps_t":
            noise = rng.standard_t(3, n) / np.sqrt(3.0)
        if scenario == "steps_multi":
            columns = 3
    else:
        raise ValueError(scenario)
    if columns == 1:
        y = clean + noise
    else:
        y = np.column_stack([clean * s + rng.standard_normal(n) for s in (1.0, -0.5, 0.8)])
    scale = 10.0 ** rng.uniform(-2, 3)  # arbitrary units of y
    return Signal(f"{scenario}-n{n}-s{seed}{'-u' if uneven else ''}", scenario, x,
                  y * scale, truth)


SCENARIOS = ("trend", "seasonal", "ar1", "student_t", "outliers",
             "steps", "steps_t", "steps_multi", "outlier10")


def corpus(sizes=(100, 300, 1000, 2000), per_cell=4, scenarios=SCENARIOS) -> Iterator[Signal]:
    for scenario in scenarios:
        for n in sizes:
            for seed in range(per_cell):
                yield make(scenario, n, seed, uneven=bool(seed % 2))
