"""One smoothing spline at large n through every layer, against csaps and SciPy, in one run.

    python bench_fit_path.py [--n 1000000] [--p 0.5] [--rounds 7] [--skip-scipy]
    python bench_fit_path.py --segments 100 --n 100000    (jumps: vorn's own layers only)
    python bench_fit_path.py --vorn-only                  (vorn's own layers, no peers needed)
    python bench_fit_path.py --vorn-only --before REV     (also vorn.fit with REV's checks)
    python bench_fit_path.py --vorn-only --predecessors   (each contender after each other)
    python bench_fit_path.py --vorn-only --cpu            (the thread's CPU time, not wall time)

Times, interleaved round by round so that load on the shared machine hits every contender
alike, a plain loop of single calls (fresh memory each time, the result dropped before the
next call, as a user's loop does). Each timed call follows an untimed call of the same
contender, as in a user's loop: what a call costs depends on what the call before it freed
(after _vorn_core, which frees 200 B per sample, the next call faulted in 800 to 1,700 more
pages than after any other, 1.5 to 3.5 ms at 10^6 samples; --predecessors prints the time and
the page faults of each contender after each other). With --cpu the clock is the calling thread's CPU time
(time.thread_time; the engine computes on that thread), which time waiting for a core on a
loaded machine does not stretch.

  vorn.fit        the package: input checks (vorn._checks), then the engine
  engine          vorn._engine.fit on the same float64 arrays: the data path without the checks
  _vorn_core      the extension's vorn (its full result dictionary)
  csaps           csaps.CubicSmoothingSpline(x, y, weights=1/delta**2, smooth=p)
  scipy           scipy.interpolate.make_smoothing_spline(x, y, w=1/delta**2, lam=(1-p)/p)
  before REV      vorn.fit with the input checks (vorn/_checks.py) of git revision REV: the
                  overhead before and after a change to them, in the same run

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
import os
import resource
import statistics
import subprocess
import sys
import time
import types
from typing import Callable, Dict, Optional

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


def checks_at(revision: str) -> types.ModuleType:
    """vorn._checks as committed at `revision`, loaded beside the installed one."""
    source = subprocess.run(["git", "show", f"{revision}:vorn/_checks.py"], check=True,
                            capture_output=True, text=True,
                            cwd=os.path.dirname(os.path.abspath(__file__))).stdout
    module = types.ModuleType("vorn._checks_before")
    module.__package__ = "vorn"
    exec(compile(source, f"{revision}:vorn/_checks.py", "exec"), module.__dict__)
    return module


def calls(data: Dict[str, np.ndarray], p: float, gamma: float = math.inf,
          before: Optional[str] = None) -> Dict[str, Callable[[], object]]:
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

    contenders = {"vorn.fit": vorn_fit, "engine": engine, "_vorn_core": core,
                  "csaps": csaps_call, "scipy": scipy_call}
    if before is not None:
        from vorn._problem import Problem

        old = checks_at(before)

        def old_checks() -> object:
            # vorn.fit's own path at a checked p and gamma, the checks swapped.
            return Problem(old.prepare(x, y, delta)).fit(p, gamma, "DOMINANCE", "none")

        contenders[f"before {before}"] = old_checks
    return contenders


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def gamma_for(segments: int) -> float:
    return math.inf if segments == 1 else 10.0


def probe(name: str, n: int, p: float, segments: int, before: Optional[str]) -> None:
    """One call in this (fresh) interpreter; prints its peak above the resident baseline."""
    data = workload(n, segments)
    call = calls(data, p, gamma_for(segments), before)[name]
    # Imports (and SciPy's lazy submodules) happen in a warm-up on tiny data, not in the peak.
    calls(workload(100), p, before=before)[name]()
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    baseline = status_kib("VmRSS")
    result = call()
    peak = status_kib("VmHWM")
    del result
    print(json.dumps({"name": name, "peak_bytes": (peak - baseline) * 1024,
                      "baseline_bytes": baseline * 1024}))


def measure_peak(name: str, n: int, p: float, segments: int, before: Optional[str]) -> dict:
    revision = [] if before is None else ["--before", before]
    out = subprocess.run([sys.executable, __file__, "--probe", name, "--n", str(n), "--p", str(p),
                          "--segments", str(segments)] + revision,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


Clock = Callable[[], float]


def time_after(contenders: Dict[str, Callable[[], object]], name: str, before: str,
               clock: Clock) -> tuple[float, int]:
    """Seconds and page faults of one call of `name` right after an untimed call of `before`."""
    contenders[before]()
    gc.collect()
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start = clock()
    result = contenders[name]()
    seconds = clock() - start
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    del result
    return seconds, faults


def print_predecessors(contenders: Dict[str, Callable[[], object]], names: list, rounds: int,
                       clock: Clock) -> None:
    """Median time and page faults of each contender (rows) after each (columns)."""
    pairs = [(name, before) for name in names for before in names]
    cells: Dict[tuple, list] = {pair: [] for pair in pairs}
    for round_ in range(rounds):
        shift = round_ % len(pairs)
        for name, before in pairs[shift:] + pairs[:shift]:
            cells[name, before].append(time_after(contenders, name, before, clock))
    print(f"median of {rounds} rounds: ms, page faults of the timed call")
    print()
    print("| timed call | " + " | ".join(f"after {before}" for before in names) + " |")
    print("|---|" + "---|" * len(names))
    for name in names:
        row = []
        for before in names:
            seconds, faults = zip(*cells[name, before])
            row.append(f"{1e3 * statistics.median(seconds):.2f} ms, "
                       f"{statistics.median(faults):.0f}")
        print(f"| {name} | " + " | ".join(row) + " |")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--p", type=float, default=0.5)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--skip-scipy", action="store_true")
    parser.add_argument("--segments", type=int, default=1)
    parser.add_argument("--vorn-only", action="store_true")
    parser.add_argument("--before", metavar="REV",
                        help="also time vorn.fit with the input checks of this git revision")
    parser.add_argument("--cpu", action="store_true",
                        help="time the calling thread's CPU time instead of wall time")
    parser.add_argument("--predecessors", action="store_true",
                        help="time each contender after each other instead")
    parser.add_argument("--probe", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.probe:
        probe(args.probe, args.n, args.p, args.segments, args.before)
        return 0

    clock: Clock = time.thread_time if args.cpu else time.perf_counter
    names = [c for c in CONTENDERS if not (args.skip_scipy and c == "scipy")]
    if args.segments > 1 or args.vorn_only:
        names = ["vorn.fit", "engine", "_vorn_core"]
    if args.before is not None:
        names.insert(1, f"before {args.before}")
    gamma = gamma_for(args.segments)
    data = workload(args.n, args.segments)
    contenders = calls(data, args.p, gamma, args.before)
    for name in names:  # warm-up: imports, first-touch of the code
        contenders[name]()
    if args.predecessors:
        print_predecessors(contenders, names, args.rounds, clock)
        return 0
    times: Dict[str, list] = {name: [] for name in names}
    for round_ in range(args.rounds):
        shift = round_ % len(names)
        for name in names[shift:] + names[:shift]:
            times[name].append(time_after(contenders, name, name, clock)[0])
    peaks = {name: measure_peak(name, args.n, args.p, args.segments, args.before)
             for name in names}

    median = {name: statistics.median(times[name]) for name in names}
    measured = "the thread's CPU time" if args.cpu else "wall time"
    print(f"n = {args.n}, p = {args.p}, gamma = {gamma}, {args.segments} segment(s); {measured}; "
          f"median of {args.rounds} interleaved rounds, each starting with the next contender, "
          "each timed call after an untimed one of its own; peak = resident high-water mark above "
          "the baseline, one call in a fresh interpreter")
    print()
    print("| contender | median s | min s | over the engine (median) | over the engine (min) "
          "| csaps / it | SciPy / it | peak MB | peak B/sample |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name in names:
        csaps_ratio = f"{median['csaps'] / median[name]:.1f}x" if "csaps" in median else "-"
        scipy_ratio = f"{median['scipy'] / median[name]:.1f}x" if "scipy" in median else "-"
        peak = peaks[name]["peak_bytes"]
        over = f"{100.0 * (median[name] / median['engine'] - 1.0):+.1f} %"
        fastest = min(times[name])
        over_fastest = f"{100.0 * (fastest / min(times['engine']) - 1.0):+.1f} %"
        print(f"| {name} | {median[name]:.4f} | {fastest:.4f} | {over} | {over_fastest} | "
              f"{csaps_ratio} | {scipy_ratio} | {peak / 1e6:.1f} | {peak / args.n:.0f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
