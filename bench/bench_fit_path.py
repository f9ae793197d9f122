"""One smoothing spline at large n through every layer, against csaps and SciPy, in one run.

    python bench_fit_path.py [--n 1000000] [--p 0.5] [--rounds 7] [--skip-scipy]
    python bench_fit_path.py --segments 100 --n 100000    (jumps: vorn's own layers only)
    python bench_fit_path.py --vorn-only                  (vorn's own layers, no peers needed)

Times, interleaved round by round so that load on the shared machine hits every contender
alike, a plain loop of single calls (fresh memory each time, the result dropped before the
next call, as a user's loop does):

  vorn.fit        the package: input checks (vorn._checks), then the engine
  engine          vorn._engine.fit on the same float64 arrays: the data path without the checks
  _vorn_core      the extension's vorn (its full result dictionary)
  csaps           csaps.CubicSmoothingSpline(x, y, weights=1/delta**2, smooth=p)
  scipy           scipy.interpolate.make_smoothing_spline(x, y, w=1/delta**2, lam=(1-p)/p)

With --segments K the data jump by 3 between K equal segments and vorn fits with gamma = 10
(the peers have no jumps to find, so only vorn's layers run).

and the peak memory of one call of each in a fresh interpreter (this script re-run with
--probe): the kernel's high-water mark of resident memory, reset just before the call
(/proc/self/clear_refs), minus the resident memory before it, so that the interpreter, NumPy
and the inputs are not counted. Peaks are per sample (bytes / n). Prints a Markdown table.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import statistics
import subprocess
import sys
import time
from typing import Callable, Dict

import numpy as np

CONTENDERS = ("vorn.fit", "engine", "_vorn_core", "csaps", "scipy")


def workload(n: int, segments: int = 1, seed: int = 0) -> Dict[str, np.ndarray]:
    """Jittered sites about one unit apart, two sines, noise 0.1 * U(0.5, 1.5) per sample;
    with segments > 1, steps of 3 between that many equal segments."""
    rng = np.random.default_rng([seed, n, 1])
    x = np.arange(n, dtype=float) + rng.uniform(-0.3, 0.3, n)
    f = np.sin(2 * np.pi * x / 200.0) + 0.5 * np.sin(2 * np.pi * x / 37.0)
    f += 3.0 * (np.arange(n) * segments // n % 2)
    delta = 0.1 * rng.uniform(0.5, 1.5, n)
    return {"x": x, "y": f + delta * rng.standard_normal(n), "delta": delta}


def calls(data: Dict[str, np.ndarray], p: float, gamma: float = math.inf
          ) -> Dict[str, Callable[[], object]]:
    x, y, delta = data["x"], data["y"], data["delta"]
    column = y.reshape(-1, 1)
    weights = 1.0 / delta**2
    lam = (1.0 - p) / p

    def vorn_fit() -> object:
        import vorn

        return vorn.fit(x, y, p, gamma, delta=delta)

    def engine() -> object:
        from vorn import _engine

        return _engine.fit(x, column, delta, p, gamma, "DOMINANCE", "none")

    def core() -> object:
        import _vorn_core

        return _vorn_core.vorn(x, column, p, gamma, delta, "PELT")

    def csaps_call() -> object:
        import csaps

        return csaps.CubicSmoothingSpline(x, y, weights=weights, smooth=p)

    def scipy_call() -> object:
        from scipy.interpolate import make_smoothing_spline

        return make_smoothing_spline(x, y, w=weights, lam=lam)

    return {"vorn.fit": vorn_fit, "engine": engine, "_vorn_core": core, "csaps": csaps_call,
            "scipy": scipy_call}


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def gamma_for(segments: int) -> float:
    return math.inf if segments == 1 else 10.0


def probe(name: str, n: int, p: float, segments: int) -> None:
    """One call in this (fresh) interpreter; prints its peak above the resident baseline."""
    data = workload(n, segments)
    call = calls(data, p, gamma_for(segments))[name]
    # Imports (and SciPy's lazy submodules) happen in a warm-up on tiny data, not in the peak.
    calls(workload(100), p)[name]()
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    baseline = status_kib("VmRSS")
    result = call()
    peak = status_kib("VmHWM")
    del result
    print(json.dumps({"name": name, "peak_bytes": (peak - baseline) * 1024,
                      "baseline_bytes": baseline * 1024}))


def measure_peak(name: str, n: int, p: float, segments: int) -> dict:
    out = subprocess.run([sys.executable, __file__, "--probe", name, "--n", str(n), "--p", str(p),
                          "--segments", str(segments)],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--p", type=float, default=0.5)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--skip-scipy", action="store_true")
    parser.add_argument("--segments", type=int, default=1)
    parser.add_argument("--vorn-only", action="store_true")
    parser.add_argument("--probe", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.probe:
        probe(args.probe, args.n, args.p, args.segments)
        return 0

    names = [c for c in CONTENDERS if not (args.skip_scipy and c == "scipy")]
    if args.segments > 1 or args.vorn_only:
        names = ["vorn.fit", "engine", "_vorn_core"]
    gamma = gamma_for(args.segments)
    data = workload(args.n, args.segments)
    contenders = calls(data, args.p, gamma)
    for name in names:  # warm-up: imports, first-touch of the code
        contenders[name]()
    times: Dict[str, list] = {name: [] for name in names}
    for round_ in range(args.rounds):
        # Each round starts with another contender: the one after _vorn_core (which frees
        # 200 B per sample) would otherwise always meet a cold allocator.
        shift = round_ % len(names)
        for name in names[shift:] + names[:shift]:
            gc.collect()
            start = time.perf_counter()
            result = contenders[name]()
            times[name].append(time.perf_counter() - start)
            del result
    peaks = {name: measure_peak(name, args.n, args.p, args.segments) for name in names}

    median = {name: statistics.median(times[name]) for name in names}
    print(f"n = {args.n}, p = {args.p}, gamma = {gamma}, {args.segments} segment(s); median of "
          f"{args.rounds} interleaved rounds, each starting with the next contender; peak = "
          "resident high-water mark above the baseline, one call in a fresh interpreter")
    print()
    print("| contender | median s | min s | over the engine | csaps / it | SciPy / it | peak MB "
          "| peak B/sample |")
    print("|---|---|---|---|---|---|---|---|")
    for name in names:
        csaps_ratio = f"{median['csaps'] / median[name]:.1f}x" if "csaps" in median else "-"
        scipy_ratio = f"{median['scipy'] / median[name]:.1f}x" if "scipy" in median else "-"
        peak = peaks[name]["peak_bytes"]
        over = f"{100.0 * (median[name] / median['engine'] - 1.0):+.1f} %"
        print(f"| {name} | {median[name]:.4f} | {min(times[name]):.4f} | {over} | {csaps_ratio} | "
              f"{scipy_ratio} | {peak / 1e6:.1f} | {peak / args.n:.0f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
