"""Cost of the jump intervals and evidence against the fit they describe, in one process.

    .venv/bin/python bench/jumps/speed.py [--n 1000000] [--jumps 1000] [--repeats 3]

A seeded signal of n samples with `jumps` evenly spaced steps of 3 noise sd on a gentle
trend, fitted with ``vorn.fit(bandwidth_samples=20, penalty=12)``. Reports the fit's time, the
time of ``jump_intervals()`` + ``jump_evidence`` on a fresh copy of the fit (best of
`repeats`), and the peak resident memory each adds above what was resident before it (the
kernel's high-water mark, reset through /proc/self/clear_refs), per sample. The share of the
smooth correction (the engine's smooth_saving, which refits the samples within 10 bandwidths
of each split) is the engine pass at its default reach less the pass at a reach that keeps
only the four samples the window always holds, both best of `repeats` in the same run; the
share of the evidence's noise estimate (the fit evaluated at every sample, its residuals'
square and lag-one product, and the phi the law of that estimate is read at) is timed alone,
best of `repeats`, and that phi alone too.
"""

from __future__ import annotations

import argparse
import copy
import gc
import math
import os
import time

import numpy as np

import vorn


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def _peak_above(call):
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    base = _status_kib("VmRSS")
    started = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - started
    return result, seconds, (_status_kib("VmHWM") - base) * 1024


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--jumps", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--bias", action="store_true",
                        help="also time the smooth-segment candidate (run.py's bias_saving)")
    args = parser.parse_args()
    rng = np.random.default_rng(5)
    n = args.n
    x = np.arange(n, dtype=float)
    level = 3.0 * (np.arange(n) * (args.jumps + 1) // n % 2)
    y = level + np.sin(x / 5000.0) + rng.standard_normal(n)

    f, fit_s, fit_bytes = _peak_above(
        lambda: vorn.fit(x, y, bandwidth_samples=20, penalty=12))
    times, peaks = [], []
    for _ in range(args.repeats):
        fresh = copy.copy(f)
        fresh._jump_reports = {}

        def measure(g=fresh):
            g.jump_intervals()
            return g.jump_evidence

        _, seconds, peak = _peak_above(measure)
        times.append(seconds)
        peaks.append(peak)
    load = os.getloadavg()[0]
    print(f"n = {n}, jumps found {f.jumps.size} (planted {args.jumps}), load {load:.1f}")
    print(f"fit: {fit_s:.2f} s, peak {fit_bytes / n:.1f} B/sample above the inputs")
    print(f"intervals + evidence: {min(times):.3f} s (best of {args.repeats}) = "
          f"{100 * min(times) / fit_s:.1f} % of the fit; peak {max(peaks) / n:.1f} B/sample "
          "above the fit")
    from vorn import _jumps

    select_noise = _jumps.noise_of(f, None)
    residual = []
    for _ in range(args.repeats):
        started = time.perf_counter()
        _jumps.evidence_noise(f, None, select_noise)
        residual.append(time.perf_counter() - started)
    print(f"of which the noise read off the residuals: {min(residual):.3f} s = "
          f"{100 * min(residual) / fit_s:.1f} % of the fit")
    # The phi the noise law is read at, off the same residuals (formed once here, untimed).
    r = y[:, None] - np.asarray(f(x)).reshape(n, 1)
    bandwidth = _jumps.series_bandwidth(f, None)
    index = []
    for _ in range(args.repeats):
        started = time.perf_counter()
        _jumps.law_index(r, np.asarray(f.jump_indices, np.int64), bandwidth, 0.0)
        index.append(time.perf_counter() - started)
    del r
    print(f"  of which the phi the noise law is read at: {min(index):.3f} s = "
          f"{100 * min(index) / fit_s:.1f} % of the fit")
    engine = {}
    for reach in (10.0, 1e-12):
        engine[reach] = min(_engine_pass(f, reach) for _ in range(args.repeats))
    extra = engine[10.0] - engine[1e-12]
    print(f"engine pass: {engine[10.0]:.3f} s, of which the smooth correction {extra:.3f} s = "
          f"{100 * extra / fit_s:.1f} % of the fit (pass with a 4-sample window "
          f"{engine[1e-12]:.3f} s)")
    if args.bias:
        _, seconds, peak = _peak_above(lambda: bias_savings(f))
        print(f"bias candidate on top: {seconds:.3f} s = {100 * seconds / fit_s:.1f} % of the "
              f"fit; peak {peak / n:.1f} B/sample")


def _engine_pass(f: vorn.Fit, reach: float) -> float:
    from vorn import _engine

    x, y, jumps = f.x, np.asarray(f._y, dtype=float), np.asarray(f.jump_indices, np.int64)
    started = time.perf_counter()
    _engine.jump_profiles(x, y, None, f.p, f.precondition, jumps, np.zeros(jumps.size), True,
                          smooth_reach=reach)
    return time.perf_counter() - started


def bias_savings(f: vorn.Fit) -> np.ndarray:
    """What the fit's split saves on each merged segment's own smooth (run.py's candidate):
    one spline fit per merged segment, then the profile pass again on the smooths, twice
    because neighbouring pairs overlap (even and odd jumps apart)."""
    from vorn import _engine

    x, y, jumps = f.x, np.asarray(f._y, dtype=float), np.asarray(f.jump_indices, np.int64)
    got = _engine.jump_profiles(x, y, None, f.p, "none", jumps, np.zeros(jumps.size))
    out = np.empty(jumps.size)
    for parity in (0, 1):
        smooth = y.copy()
        picked = np.arange(parity, jumps.size, 2)
        for j in picked:
            a, b = int(got["first"][j]), int(got["last"][j])
            merged = vorn.fit(x[a:b + 1], y[a:b + 1], f.p, math.inf)
            smooth[a:b + 1] = np.asarray(merged(x[a:b + 1])).reshape(smooth[a:b + 1].shape)
        again = _engine.jump_profiles(x, smooth, None, f.p, "none", jumps, np.zeros(jumps.size),
                                      True)
        lowest = got["first"][picked] + (got["first"][picked] != 0)
        at = again["profile_offset"][picked] + got["best_split"][picked] - lowest
        out[picked] = again["merged"][picked] - again["profile"][at]
    return out


if __name__ == "__main__":
    main()
