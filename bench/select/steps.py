"""Seeded corpus of the signal classes of issue 22, and the runner that compares the
automatic choice with ruptures Pelt on the same noisy copies.

    .venv/bin/python bench/select/steps.py --methods priced [variants ...] --out A.json
    .venv-bench/bin/python bench/select/steps.py --methods pelt --out B.json
    .venv/bin/python bench/select/steps.py --table A.json B.json

Pelt runs in the benchmark's own environment (ruptures, no vorn needed): l2 cost, minimum
segment of 2 samples, penalty 2 sigma**2 log n with sigma from the median absolute deviation
of first differences (summed over columns). `--methods partition` gives Pelt's answer on the
columns without ruptures: the exact optimal partition under the same cost, minimum segment,
penalty and sigma, which Pelt returns (equal counts on seeds 0-39 of staircase and teeth:
40 and 21 of 40, as ruptures gave).

Every signal has a clean curve `clean` (for the mean squared error), its true jumps (index of
the last sample before each) and noise of sd `sd` (the first column's). Classes:

dense       levels +-2 switching every L samples (L = 5 to 10), noise 0.3 (jumps 13 sd), n 300
dense5      levels +-2 switching every 5 samples, noise 0.8 (jumps 5 sd), n 300
telegraph   levels +-2 held for 8 to 20 samples (uniform), noise 0.5, n 400
small_large 11 jumps of 1 to 6 sd (log-uniform), segments >= 30 samples, n 1024
teeth       levels +-1.25 alternating every 10 samples (jump 2.5 sd), n 200
staircase   a step of 3.3 sd every 10 samples, up or down for 40 to 80 samples, n 160
ramp_jumps  3 to 5 straight pieces, each boundary a jump (3.3 to 6 sd) or a kink, n 600
smooth_jumps a sine trend with 1 to 4 jumps of 4 to 6 sd, n 600
noise50, noise3000, line, smooth, ar1   no change (AR(1) phi 0.5, n 600)
short       pure noise, n 4, 8 and 10
bump        a Gaussian bump (width 0.05, height 3 sd) on a slope, n 1000
gap         a smooth curve whose sites have one gap of 1,000 spacings, n 600
teeth_short levels 0 and 2.5 sd alternating every 10 samples, n 100 to 180
stairs      a step up of 3.3 sd every 10 samples, n 100 to 200
blocks      11 jumps of 0.8 to 2 sd, segments >= 40 samples, n 2048
mixed       13 jumps of 1.5 to 5 sd, segments 10 to 70 samples, longest first, n 560
short_step  6 jumps of 1.5 to 4 sd: 5 between segments of >= 20 samples, one 8 to 16
            samples after one of them, n 500
noise_up    one jump of 5 sd at the middle, the noise twice as large after it, n 600
col_hidden  column 0 a 10 sd jump, column 1 pure noise at 10x the scale, n 400
col_copies  8 identical copies of a series with one 4 sd jump, n 400
col_corr    8 columns of pure noise correlated at 0.99 across columns, n 400

Sites even and uneven alternating (except `gap`, uneven by construction); y in arbitrary units.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path
from typing import NamedTuple

import numpy as np


class Signal(NamedTuple):
    name: str
    kind: str
    x: np.ndarray
    y: np.ndarray
    clean: np.ndarray
    truth: np.ndarray
    sd: float


KINDS = ("dense", "dense5", "telegraph", "small_large", "teeth", "staircase", "ramp_jumps",
         "smooth_jumps", "noise50", "noise3000", "line", "smooth", "ar1", "short", "bump",
         "gap", "noise_up", "col_hidden", "col_copies", "col_corr", "teeth_short", "stairs",
         "blocks", "mixed", "short_step")


def _sites(rng, n, uneven):
    if not uneven:
        return np.linspace(0.0, 1.0, n)
    x = np.concatenate(([0.0], np.cumsum(rng.gamma(2.0, 1.0, n - 1))))
    return x / x[-1]


def _levels_to_truth(levels):
    return np.flatnonzero(np.diff(levels, axis=0).any(axis=-1) if levels.ndim > 1
                          else np.diff(levels) != 0)


def _positions(rng, n, k, gap):
    for _ in range(10000):
        pos = np.sort(rng.choice(np.arange(gap, n - gap), size=k, replace=False))
        if np.all(np.diff(pos) >= gap):
            return pos - 1
    raise RuntimeError("no room")


def _steps_after(n, truth, heights):
    """Levels from 0 that change by `heights` after the samples `truth`."""
    clean = np.zeros(n)
    for last, h in zip(truth, heights):
        clean[last + 1:] += h
    return clean


def _ar1(rng, n, phi):
    e = rng.standard_normal(n)
    out = np.empty(n)
    out[0] = e[0]
    for i in range(1, n):
        out[i] = phi * out[i - 1] + np.sqrt(1 - phi * phi) * e[i]
    return out


def make(kind, seed):
    rng = np.random.default_rng([seed, KINDS.index(kind), 22])
    uneven = bool(seed % 2)
    sd = 1.0
    noise_scale = None
    if kind in ("dense", "dense5", "telegraph"):
        n = 400 if kind == "telegraph" else 300
        if kind == "telegraph":
            lengths = rng.integers(8, 21, n)
        else:
            lengths = np.full(n, 5 if kind == "dense5" else int(rng.integers(5, 11)))
        values = rng.choice([-2.0, 2.0], n)
        clean = np.repeat(values, lengths)[:n]
        sd = {"dense": 0.3, "dense5": 0.8, "telegraph": 0.5}[kind]
    elif kind == "small_large":
        n = 1024
        truth = _positions(rng, n, 11, 30)
        heights = np.exp(rng.uniform(np.log(1.0), np.log(6.0), 11)) * rng.choice([-1, 1], 11)
        clean = _steps_after(n, truth, heights)
    elif kind == "teeth":
        n = 200
        clean = np.where((np.arange(n) // 10) % 2 == 0, -1.25, 1.25)
    elif kind == "staircase":
        n = 160
        run = int(rng.integers(4, 9))
        steps = np.arange(n) // 10
        direction = np.where((steps // run) % 2 == 0, 1.0, -1.0)
        clean = np.cumsum(np.r_[0.0, np.diff(steps)] * 3.3 * direction)
    elif kind == "teeth_short":
        n = int(rng.integers(100, 181))
        clean = np.where((np.arange(n) // 10) % 2 == 0, 0.0, 2.5)
    elif kind == "stairs":
        n = int(rng.integers(100, 201))
        clean = 3.3 * (np.arange(n) // 10)
    elif kind == "blocks":
        n = 2048
        truth = _positions(rng, n, 11, 40)
        heights = rng.uniform(0.8, 2.0, 11) * rng.choice([-1, 1], 11)
        clean = _steps_after(n, truth, heights)
    elif kind == "mixed":
        n = 560
        lengths = np.sort(rng.integers(10, 71, 14))[::-1]
        lengths = np.round(lengths * n / lengths.sum()).astype(int)
        lengths[-1] = n - lengths[:-1].sum()
        truth = np.cumsum(lengths)[:-1] - 1
        heights = rng.uniform(1.5, 5.0, 13) * rng.choice([-1, 1], 13)
        clean = _steps_after(n, truth, heights)
    elif kind == "short_step":
        n = 500
        truth = _positions(rng, n, 5, 20)
        after = truth[int(rng.integers(0, 5))] + int(rng.integers(8, 17))
        truth = np.sort(np.r_[truth, after])
        heights = rng.uniform(1.5, 4.0, 6) * rng.choice([-1, 1], 6)
        clean = _steps_after(n, truth, heights)
    elif kind == "ramp_jumps":
        n = 600
        k = int(rng.integers(2, 5))
        bounds = _positions(rng, n, k, 60)
        is_jump = rng.random(k) < 0.6
        is_jump[rng.integers(k)] = True
        clean = np.empty(n)
        level, slope = 0.0, rng.uniform(-0.05, 0.05)
        start = 0
        for b, jump in zip(list(bounds) + [n - 1], list(is_jump) + [False]):
            seg = np.arange(start, b + 1)
            clean[seg] = level + slope * (seg - start)
            level = clean[b] + slope
            if jump:
                level += rng.choice([-1, 1]) * rng.uniform(3.3, 6.0)
            new = rng.uniform(-0.05, 0.05)
            while abs(new - slope) < 0.03:
                new = rng.uniform(-0.05, 0.05)
            slope = new
            start = b + 1
        truth = bounds[is_jump]
    elif kind == "smooth_jumps":
        n = 600
        k = int(rng.integers(1, 5))
        truth = _positions(rng, n, k, 30)
        t = np.linspace(0, 1, n)
        clean = rng.uniform(2, 5) * np.sin(2 * np.pi * rng.uniform(0.5, 2) * t
                                           + rng.uniform(0, 6.3))
        for last in truth:
            clean[last + 1:] += rng.choice([-1, 1]) * rng.uniform(4, 6)
    elif kind in ("noise50", "noise3000"):
        n = 50 if kind == "noise50" else 3000
        clean = np.zeros(n)
    elif kind == "line":
        n = 600
        clean = rng.uniform(-10, 10) * np.linspace(0, 1, n)
    elif kind in ("smooth", "ar1", "gap"):
        n = 600
        t = np.linspace(0, 1, n)
        clean = rng.uniform(2, 6) * np.sin(2 * np.pi * rng.uniform(0.5, 2) * t
                                           + rng.uniform(0, 6.3))
        if kind == "ar1":
            noise_scale = _ar1(rng, n, 0.5)
    elif kind == "short":
        n = (4, 8, 10)[seed % 3]
        clean = np.zeros(n)
    elif kind == "bump":
        n = 1000
        t = np.linspace(0, 1, n)
        c = rng.uniform(0.25, 0.75)
        clean = rng.uniform(-5, 5) * t + 3.0 * np.exp(-0.5 * ((t - c) / 0.05) ** 2)
    elif kind == "noise_up":
        n = 600
        clean = np.where(np.arange(n) < n // 2, 0.0, 5.0 * rng.choice([-1, 1]))
        noise_scale = rng.standard_normal(n) * np.where(np.arange(n) < n // 2, 1.0, 2.0)
    elif kind == "col_hidden":
        n = 400
        truth = np.array([n // 2 - 1])
        clean = np.column_stack([np.where(np.arange(n) < n // 2, 0.0, 10.0), np.zeros(n)])
        noise_scale = rng.standard_normal((n, 2)) * np.array([1.0, 10.0])
    elif kind == "col_copies":
        n = 400
        at = int(rng.integers(100, 300))
        step = np.where(np.arange(n) < at, 0.0, 4.0)
        truth = np.array([at - 1])
        clean = np.tile(step[:, None], (1, 8))
        noise_scale = np.tile(rng.standard_normal(n)[:, None], (1, 8))
    elif kind == "col_corr":
        n = 400
        common = rng.standard_normal(n)
        noise_scale = (0.99**0.5 * common[:, None]
                       + 0.01**0.5 * rng.standard_normal((n, 8)))
        clean = np.zeros((n, 8))
    else:
        raise ValueError(kind)
    if kind in ("dense", "dense5", "telegraph", "teeth", "staircase", "teeth_short", "stairs"):
        truth = _levels_to_truth(clean)
    elif kind in ("noise50", "noise3000", "line", "smooth", "ar1", "short", "bump", "gap",
                  "col_corr"):
        truth = np.zeros(0, dtype=np.int64)
    elif kind == "noise_up":
        truth = np.array([n // 2 - 1])
    if kind == "gap":
        x = np.arange(n, dtype=float)
        x[n // 2:] += 1000.0
        x = x / x[-1]
    else:
        x = _sites(rng, n, uneven)
    noise = noise_scale if noise_scale is not None else rng.standard_normal(clean.shape)
    y = clean + sd * noise
    scale = 10.0 ** rng.uniform(-2, 3)
    return Signal(f"{kind}-s{seed}", kind, x, y * scale, clean * scale,
                  np.asarray(truth, dtype=np.int64), sd * scale)


def corpus(per_class, kinds=KINDS, first=0):
    for kind in kinds:
        for seed in range(first, first + per_class):
            yield make(kind, seed)


def _pelt(sig):
    import ruptures

    y = sig.y.reshape(sig.y.shape[0], -1)
    n = y.shape[0]
    sigma = np.median(np.abs(np.diff(y, axis=0) - np.median(np.diff(y, axis=0), axis=0)),
                      axis=0) / 0.6744897501960817 / np.sqrt(2.0)
    pen = 2.0 * float(np.sum(sigma**2)) * np.log(n)
    if n < 4:
        ends = [n]
    else:
        ends = ruptures.Pelt(model="l2", min_size=2, jump=1).fit(y).predict(pen=max(pen, 1e-300))
    found = np.asarray(ends[:-1], dtype=np.int64) - 1
    est = np.empty_like(y)
    for a, b in zip([0] + list(ends[:-1]), ends):
        est[a:b] = y[a:b].mean(axis=0)
    return found, est.reshape(sig.y.shape)


def _partition(sig):
    """Pelt's answer without ruptures: the exact optimal partition under the same l2 cost
    (summed over columns), minimum segment, penalty and sigma as :func:`_pelt` (Pelt prunes,
    but returns this optimum), by dynamic programming over every segment start."""
    y = sig.y.reshape(sig.y.shape[0], -1)
    n = y.shape[0]
    d = np.diff(y, axis=0)
    sigma = (np.median(np.abs(d - np.median(d, axis=0)), axis=0) / 0.6744897501960817
             / np.sqrt(2.0))
    pen = 2.0 * float(np.sum(sigma**2)) * np.log(n)
    first = np.concatenate((np.zeros((1, y.shape[1])), np.cumsum(y, axis=0)))
    second = np.concatenate(([0.0], np.cumsum(np.sum(y * y, axis=1))))
    best = np.full(n + 1, np.inf)
    best[0] = -pen
    start = np.zeros(n + 1, dtype=np.int64)
    for t in range(2, n + 1):
        s = np.arange(0, t - 1)
        s = s[(s == 0) | (s >= 2)]
        cost = (second[t] - second[s]
                - np.sum((first[t] - first[s]) ** 2, axis=1) / (t - s))
        total = best[s] + cost + pen
        i = int(np.argmin(total))
        best[t], start[t] = total[i], s[i]
    ends, t = [], n
    while t > 0:
        ends.append(t)
        t = int(start[t])
    ends = ends[::-1]
    found = np.asarray(ends[:-1], dtype=np.int64) - 1
    est = np.empty_like(y)
    for a, b in zip([0] + ends[:-1], ends):
        est[a:b] = y[a:b].mean(axis=0)
    return found, est.reshape(sig.y.shape)


def _vorn(method, sig):
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from run import run_method

    chosen = run_method(method, sig.x, sig.y)
    return np.asarray(chosen.fit.jump_indices, dtype=np.int64), np.asarray(chosen.fit(sig.x))


def evaluate(method, per_class, kinds, first=0):
    out = []
    for sig in corpus(per_class, kinds, first):
        t0 = time.perf_counter()
        found, est = (_pelt(sig) if method == "pelt" else _partition(sig)
                      if method == "partition" else _vorn(method, sig))
        elapsed = time.perf_counter() - t0
        mse = float(np.mean((est.reshape(sig.clean.shape) - sig.clean) ** 2) / sig.sd**2)
        hits = sum(int(np.any(np.abs(sig.truth - f) <= 2)) for f in found)
        out.append(dict(method=method, kind=sig.kind, name=sig.name, found=int(found.size),
                        true=int(sig.truth.size), hits=hits, mse=mse, seconds=elapsed))
    return out


def table(rows):
    methods = list(dict.fromkeys(r["method"] for r in rows))
    kinds = [k for k in KINDS if any(r["kind"] == k for r in rows)]
    head = "| class | " + " | ".join(methods) + " |"
    lines = ["Cells: exact jump count (share of signals) / any jump (no-change classes: share "
             "of signals with any jump) ; mean squared error against the clean curve, in noise "
             "variances ; mean seconds", "", head, "|---|" + "---|" * len(methods)]
    for kind in kinds:
        cells = []
        count = max(sum(r["kind"] == kind and r["method"] == m for r in rows) for m in methods)
        for m in methods:
            rs = [r for r in rows if r["kind"] == kind and r["method"] == m]
            if not rs:
                cells.append("")
                continue
            if rs[0]["true"] == 0 and all(r["true"] == 0 for r in rs):
                acc = f"any {np.mean([r['found'] > 0 for r in rs]):.2f}"
            else:
                acc = f"exact {np.mean([r['found'] == r['true'] for r in rs]):.2f}"
            cells.append(f"{acc} ; {np.mean([r['mse'] for r in rs]):.3g} ; "
                         f"{np.mean([r['seconds'] for r in rs]):.3f}")
        lines.append(f"| {kind} ({count}) | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--methods", nargs="+", default=["priced"])
    ap.add_argument("--per-class", type=int, default=40)
    ap.add_argument("--kinds", nargs="+", default=list(KINDS))
    ap.add_argument("--first-seed", type=int, default=0,
                    help="seeds first-seed .. first-seed + per-class - 1 of every class")
    ap.add_argument("--out")
    ap.add_argument("--table", nargs="+")
    args = ap.parse_args()
    if args.table:
        rows = [r for f in args.table for r in json.loads(Path(f).read_text())]
        print(table(rows))
        return
    rows = []
    for method in args.methods:
        rows += evaluate(method, args.per_class, tuple(args.kinds), args.first_seed)
        print(f"done {method}", file=sys.stderr)
    if args.out:
        Path(args.out).write_text(json.dumps(rows))
    print(table(rows))


if __name__ == "__main__":
    main()
