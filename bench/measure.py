"""The measurements of the benchmark: seeded workloads, interleaved timing of vorn and its peers,
and one function per section of the report, each returning plain data (see report.py for how
it is written up, run_bench.py for the command).

Every workload is seeded; every time is the median of repeated runs, and the contenders of one
workload are run interleaved (one run of each in turn), so that a change of machine load hits
them alike and each ratio is measured within the same run. Peers are timed as black boxes
through their public functions.
"""

from __future__ import annotations

import json
import math
import os
import platform
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
SEED = 20261208

# Smoothing parameter of the jump workloads, per signal kind: chosen at the start of every run by
# calibrate_p on a seed that the benchmark itself does not use (the best F1 of jump detection;
# among equals the largest p). The penalty follows from it: gamma = 2 p log n.
CALIBRATION_PS = (1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1)
JUMP_P = {"constant": 1e-4, "smooth": 1e-3}
JUMP_EVERY = 250  # samples per true jump, on average
SIGMA = 1.0


def time_interleaved(contenders: Dict[str, Callable[[], object]], budget: float = 3.0,
                     min_runs: int = 3, max_runs: int = 15,
                     max_runs_slow: Optional[Dict[str, int]] = None,
                     single_run_after: float = 20.0) -> Dict[str, dict]:
    """Median wall time of each contender.

    A first round runs each once; a contender faster than a second treats that round as a
    warm-up. The number of further runs is chosen from the first time so that each contender
    spends about `budget` seconds, between `min_runs` and `max_runs` (or its own cap in
    `max_runs_slow`), and the runs are interleaved round by round. A contender whose first run
    takes longer than `single_run_after` seconds is not run again.
    """
    first = {}
    last = {}
    for name, fn in contenders.items():
        t0 = time.perf_counter()
        last[name] = fn()
        first[name] = time.perf_counter() - t0
    times: Dict[str, List[float]] = {name: ([] if t < 1.0 else [t]) for name, t in first.items()}
    wanted = {}
    for name, t in first.items():
        cap = (max_runs_slow or {}).get(name, max_runs)
        if t > single_run_after:
            cap = 1
        wanted[name] = max(min(min_runs, cap), min(cap, int(budget / max(t, 1e-9))))
    while any(len(times[name]) < wanted[name] for name in contenders):
        for name, fn in contenders.items():
            if len(times[name]) >= wanted[name]:
                continue
            t0 = time.perf_counter()
            last[name] = fn()
            times[name].append(time.perf_counter() - t0)
    return {name: {"median": statistics.median(ts), "runs": len(ts), "min": min(ts),
                   "result": last[name]} for name, ts in times.items()}


def fmt_time(seconds: float) -> str:
    if seconds >= 10:
        return f"{seconds:.1f} s"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.0f} µs"


def load_average() -> str:
    try:
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "unknown"


# Workloads


def jittered_sites(rng: np.random.Generator, n: int) -> np.ndarray:
    """Integers 0..n-1, each moved by up to 0.3: ascending, about one unit apart."""
    return np.arange(n, dtype=float) + rng.uniform(-0.3, 0.3, n)


def smooth_workload(n: int, seed: int) -> Dict[str, np.ndarray]:
    """One smooth curve, noise 0.1, per-sample deviations 0.1 * U(0.5, 1.5)."""
    rng = np.random.default_rng([seed, n, 1])
    x = jittered_sites(rng, n)
    f = np.sin(2 * np.pi * x / 200.0) + 0.5 * np.sin(2 * np.pi * x / 37.0)
    delta = 0.1 * rng.uniform(0.5, 1.5, n)
    y = f + delta * rng.standard_normal(n)
    return {"x": x, "y": y, "delta": delta, "truth": f}


def jump_workload(n: int, seed: int, kind: str, jump_every: int = JUMP_EVERY
                  ) -> Dict[str, np.ndarray]:
    """Signals with jumps, noise SIGMA, delta = SIGMA.

    kind "constant": piecewise constant; n / jump_every jumps at random positions at least 10
    samples apart, each of random sign and size U(3, 8) sigma.
    kind "smooth": the same jumps plus the smooth trend 4 sin(2 pi x / 400) + 2 sin(2 pi x / 97)
    (random phases), so the signal is smooth between jumps.
    kind "nojump": the smooth trend alone.
    """
    rng = np.random.default_rng([seed, n, {"constant": 2, "smooth": 3, "nojump": 4}[kind]])
    x = jittered_sites(rng, n)
    cps = np.array([], dtype=np.int64)
    if kind != "nojump":
        k = max(1, n // jump_every)
        # Random positions at least 10 apart, away from the ends.
        gaps = rng.dirichlet(np.ones(k + 1)) * (n - 20 - 10 * (k + 1)) + 10
        cps = np.round(10 + np.cumsum(gaps[:-1])).astype(np.int64)
        cps = np.unique(np.clip(cps, 5, n - 5))
    level = np.zeros(n)
    for c in cps:
        level[c:] += rng.choice([-1.0, 1.0]) * rng.uniform(3.0, 8.0) * SIGMA
    f = level
    if kind != "constant":
        ph = rng.uniform(0, 2 * np.pi, 2)
        f = f + 4 * SIGMA * np.sin(2 * np.pi * x / 400 + ph[0]) \
            + 2 * SIGMA * np.sin(2 * np.pi * x / 97 + ph[1])
    y = f + SIGMA * rng.standard_normal(n)
    return {"x": x, "y": y, "delta": np.full(n, SIGMA), "truth": f, "cps": cps}


def match_changes(true_cps: np.ndarray, est_cps: np.ndarray, tol: int = 1):
    """Precision and recall of estimated change indices (first sample of a new segment),
    each true change matched to at most one estimate within `tol` samples."""
    true_cps = np.sort(np.asarray(true_cps, dtype=np.int64))
    est_cps = np.sort(np.asarray(est_cps, dtype=np.int64))
    used = np.zeros(true_cps.size, dtype=bool)
    tp = 0
    for e in est_cps:
        lo = np.searchsorted(true_cps, e - tol, side="left")
        hi = np.searchsorted(true_cps, e + tol, side="right")
        cand = [i for i in range(lo, hi) if not used[i]]
        if cand:
            i = min(cand, key=lambda j: abs(int(true_cps[j]) - int(e)))
            used[i] = True
            tp += 1
    precision = tp / est_cps.size if est_cps.size else (1.0 if true_cps.size == 0 else 0.0)
    recall = tp / true_cps.size if true_cps.size else 1.0
    return precision, recall


def ppform_values_at_sites(res: dict) -> np.ndarray:
    """Fitted values of a vorn result at its prepared sites, d = 1.

    Each prepared site is the left break of one piece of the joined form, so the value there is
    that piece's constant coefficient; this is checked against the breaks.
    """
    x = res["x"]
    breaks = res["breaks"]
    idx = np.searchsorted(breaks, x, side="right") - 1
    if not np.array_equal(breaks[idx], x):
        raise AssertionError("a prepared site is not a break of the joined form")
    return res["coefs"][idx, 3]


# Sections


def section_smoothing(core, quick: bool) -> dict:
    import csaps
    from scipy.interpolate import make_smoothing_spline

    sizes = [10**3, 10**4, 10**5] + ([] if quick else [10**6])
    rows = []
    for n in sizes:
        w = smooth_workload(n, SEED)
        x, y, delta = w["x"], w["y"], w["delta"]
        y2 = y.reshape(-1, 1)
        weights = 1.0 / delta**2
        for p in (0.1, 0.5, 0.9):
            lam = (1.0 - p) / p
            contenders = {
                "vorn": lambda: core.vorn(x, y2, p, math.inf, delta),
                "scipy": lambda: make_smoothing_spline(x, y, w=weights, lam=lam),
                "csaps": lambda: csaps.CubicSmoothingSpline(x, y, weights=weights, smooth=p),
            }
            budget = 1.0 if quick else 3.0
            t = time_interleaved(contenders, budget=budget, max_runs=7 if n >= 10**6 else 15)
            fv = ppform_values_at_sites(core.vorn(x, y2, p, math.inf, delta))
            fs = make_smoothing_spline(x, y, w=weights, lam=lam)(x)
            fc = csaps.CubicSmoothingSpline(x, y, weights=weights, smooth=p)(x)
            scale = np.max(np.abs(fv))
            dev_s = float(np.max(np.abs(fv - fs)) / scale)
            dev_c = float(np.max(np.abs(fv - fc)) / scale)
            rows.append({"n": n, "p": p, "t": t, "dev_scipy": dev_s, "dev_csaps": dev_c})
            print(f"  smoothing n={n} p={p}: vorn {fmt_time(t['vorn']['median'])}, "
                  f"scipy {fmt_time(t['scipy']['median'])}, csaps {fmt_time(t['csaps']['median'])}"
                  f", dev {dev_s:.1e}/{dev_c:.1e}", flush=True)
    return {"rows": rows}


def csaps_convention_probe() -> List[dict]:
    """csaps with smooth=p (not normalised) against SciPy with lam = (1 - p) / p, on uneven
    sites and weights of very different scales."""
    import csaps
    from scipy.interpolate import make_smoothing_spline

    rng = np.random.default_rng([SEED, 99])
    n = 400
    out = []
    for spacing_scale in (1.0, 7.0):
        x = np.cumsum(rng.uniform(0.2, 2.0, n)) * spacing_scale
        y = np.sin(x / (40 * spacing_scale)) + 0.1 * rng.standard_normal(n)
        for wscale in (1e-3, 1.0, 1e4):
            w = wscale * rng.uniform(0.5, 2.0, n)
            for p in (0.01, 0.5, 0.99):
                fs = make_smoothing_spline(x, y, w=w, lam=(1 - p) / p)(x)
                fc = csaps.CubicSmoothingSpline(x, y, weights=w, smooth=p)(x)
                fn = csaps.CubicSmoothingSpline(x, y, weights=w, smooth=p,
                                                normalizedsmooth=True)(x)
                m = np.max(np.abs(fs))
                out.append({"spacing": spacing_scale, "wscale": wscale, "p": p,
                            "plain": float(np.max(np.abs(fs - fc)) / m),
                            "normalized": float(np.max(np.abs(fs - fn)) / m)})
    return out


def ruptures_pipeline(x, y, delta, p, sigma):
    """ruptures' PELT with the l2 cost, then one csaps smoothing spline per segment (same p,
    weights 1/delta^2). Returns the change indices and the per-segment splines."""
    import csaps
    import ruptures as rpt

    n = y.size
    bkps = rpt.Pelt(model="l2", min_size=2, jump=1).fit(y).predict(
        pen=2.0 * sigma**2 * math.log(n))
    starts = [0] + bkps[:-1]
    splines = []
    weights = 1.0 / delta**2
    for s, e in zip(starts, bkps):
        splines.append(csaps.CubicSmoothingSpline(x[s:e], y[s:e], weights=weights[s:e],
                                                  smooth=p))
    return np.array(bkps[:-1], dtype=np.int64), splines, starts, bkps


def section_jumps(core, quick: bool, ruptures_max_n: int) -> dict:
    rows = []
    sizes = [10**4] if quick else [10**4, 10**5]
    ruptures_1e4 = {}
    for kind in ("constant", "smooth"):
        for n in sizes:
            if quick and n > 10**4:
                continue
            w = jump_workload(n, SEED, kind)
            x, y, delta, cps = w["x"], w["y"], w["delta"], w["cps"]
            y2 = y.reshape(-1, 1)
            p = JUMP_P[kind]
            gamma = 2.0 * p * math.log(n)
            gamma_lit = 2.0 * math.log(n)
            skip_ruptures = None
            if n > ruptures_max_n:
                # Its time grows faster than n: a linear extrapolation is a lower bound.
                t_small = ruptures_1e4.get(kind)
                skip_ruptures = 0.0 if t_small is None else t_small * n / 10**4
            contenders = {"vorn PELT": lambda: core.vorn(x, y2, p, gamma, delta, "PELT")}
            if n <= 10**4:  # FPVI's work grows with n^2 on these signals (section 4)
                contenders["vorn FPVI"] = lambda: core.vorn(x, y2, p, gamma, delta, "FPVI")
            if skip_ruptures is None:
                contenders["ruptures+csaps"] = lambda: ruptures_pipeline(x, y, delta, p, SIGMA)
            caps = {"ruptures+csaps": 1 if n > 10**4 else (1 if quick else 3),
                    "vorn FPVI": 1 if n > 10**4 else 3}
            t = time_interleaved(contenders, budget=2.0, min_runs=1 if quick else 3,
                                 max_runs=9, max_runs_slow=caps)
            if "ruptures+csaps" in t and n == 10**4:
                ruptures_1e4[kind] = t["ruptures+csaps"]["median"]
            row = {"kind": kind, "n": n, "p": p, "gamma": gamma, "jumps": int(cps.size), "t": t,
                   "skip_ruptures": skip_ruptures}
            for pruning in ("PELT", "FPVI"):
                if f"vorn {pruning}" not in t:
                    continue
                res = t[f"vorn {pruning}"]["result"]
                est = np.asarray(res["discont_idx"]) + 1
                pr, rc = match_changes(cps, est)
                fv = ppform_values_at_sites(res)
                row[f"vorn {pruning}"] = {"found": int(est.size), "precision": pr, "recall": rc,
                                          "rmse": float(np.sqrt(np.mean((fv - w["truth"])**2))),
                                          "counter": int(res["complexity_counter"])}
            sweep = []
            for q in CALIBRATION_PS if n <= 10**4 else ():
                res_q = core.vorn(x, y2, q, 2.0 * q * math.log(n), delta, "PELT")
                pr, rc = match_changes(cps, np.asarray(res_q["discont_idx"]) + 1)
                sweep.append({"p": q, "found": int(len(res_q["discont"])), "precision": pr,
                              "recall": rc})
            if sweep:
                row["sweep"] = sweep
            res_lit = core.vorn(x, y2, p, gamma_lit, delta, "PELT")
            est = np.asarray(res_lit["discont_idx"]) + 1
            pr, rc = match_changes(cps, est)
            row["vorn literal"] = {"gamma": gamma_lit, "found": int(est.size), "precision": pr,
                                   "recall": rc}
            if skip_ruptures is None:
                est, splines, starts, bkps = t["ruptures+csaps"]["result"]
                pr, rc = match_changes(cps, est)
                fr = np.concatenate([s(x[a:b]) for s, a, b in zip(splines, starts, bkps)])
                row["ruptures"] = {"found": int(est.size), "precision": pr, "recall": rc,
                                   "rmse": float(np.sqrt(np.mean((fr - w["truth"])**2)))}
            rows.append(row)
            print(f"  jumps {kind} n={n}: " + ", ".join(
                f"{k} {fmt_time(v['median'])}" for k, v in t.items()), flush=True)
    return {"rows": rows}


def calibrate_p(core) -> List[dict]:
    """F1 of vorn PELT (gamma = 2 p log n) on a calibration seed that the benchmark does not
    use, for each p of CALIBRATION_PS; sets JUMP_P[kind] to the best (the largest p among
    equals)."""
    out = []
    for kind in ("constant", "smooth"):
        w = jump_workload(10**4, SEED + 1, kind)
        best = None
        for p in CALIBRATION_PS:
            gamma = 2.0 * p * math.log(w["y"].size)
            res = core.vorn(w["x"], w["y"].reshape(-1, 1), p, gamma, w["delta"], "PELT")
            pr, rc = match_changes(w["cps"], np.asarray(res["discont_idx"]) + 1)
            f1 = 0.0 if pr + rc == 0 else 2 * pr * rc / (pr + rc)
            out.append({"kind": kind, "p": p, "precision": pr, "recall": rc, "f1": f1})
            if best is None or f1 >= best[0]:
                best = (f1, p)
        JUMP_P[kind] = best[1]
        print(f"  {kind}: p = {best[1]:g} (F1 {best[0]:.3f})", flush=True)
    return out


def parse_kv(line: str) -> dict:
    out = {}
    for part in line.split():
        k, _, v = part.partition("=")
        try:
            out[k] = int(v)
        except ValueError:
            try:
                out[k] = float(v)
            except ValueError:
                out[k] = v
    return out


def section_ns_per_unit(bench_dp: Optional[str], quick: bool) -> dict:
    rows = []
    if not bench_dp or not Path(bench_dp).exists():
        return {"rows": rows, "missing": bench_dp}
    for d in (1, 3):
        for search, n in (("fpvi", 10**4), ("pelt", 10**5)):
            cmd = [bench_dp, "--search", search, "--d", str(d), "--n", str(n if not quick else
                                                                          n // 10),
                   "--repeats", "3" if (quick or search == "fpvi") else "5",
                   "--p", repr(JUMP_P["smooth"]),
                   "--jump-every", str(JUMP_EVERY)]
            out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
            for line in out.splitlines():
                if line.startswith("search="):
                    rows.append(parse_kv(line))
                    print("  " + line, flush=True)
    return {"rows": rows, "command": " ".join(Path(bench_dp).name if i == 0 else a
                                             for i, a in enumerate(cmd))}


def memory_probe(pruning: str, n: int, kind: str, p: float, gamma: float, tmp: Path) -> dict:
    """One vorn call in a fresh interpreter: its time and its peak resident memory above the
    baseline after importing NumPy and _vorn_core and loading the inputs."""
    w = jump_workload(n, SEED, kind)
    stem = tmp / f"{kind}-{n}"
    np.save(f"{stem}-x.npy", w["x"])
    np.save(f"{stem}-y.npy", w["y"].reshape(-1, 1))
    np.save(f"{stem}-delta.npy", w["delta"])
    out = subprocess.run([sys.executable, str(HERE / "mem_probe.py"), str(stem), pruning,
                          repr(p), repr(gamma)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def section_scaling(core, quick: bool, tmp: Path, fpvi_max: int) -> dict:
    rows = []
    p = JUMP_P["smooth"]
    pelt_sizes = [10**3, 10**4, 10**5] + ([] if quick else [10**6])
    fpvi_sizes = [n for n in (10**3, 3 * 10**3, 10**4, 3 * 10**4, 10**5)
                  if n <= (10**4 if quick else fpvi_max)]
    plan = [("PELT", "smooth", n) for n in pelt_sizes] + [("FPVI", "smooth", n) for n in fpvi_sizes]
    nojump_sizes = [10**3, 3 * 10**3] + ([] if quick else [10**4])
    plan += [(s, "nojump", n) for s in ("PELT", "FPVI") for n in nojump_sizes]
    for pruning, kind, n in plan:
        w = jump_workload(n, SEED, kind)
        gamma = 2.0 * p * math.log(n)
        x, y2, delta = w["x"], w["y"].reshape(-1, 1), w["delta"]
        mem = memory_probe(pruning, n, kind, p, gamma, tmp)
        if mem["seconds"] > 10:
            # One run is enough when it takes this long; the probe's own run is that run.
            time_s, runs, counter, found = mem["seconds"], "1, in the probe", mem["counter"], \
                mem["found"]
        else:
            t = time_interleaved({"vorn": lambda: core.vorn(x, y2, p, gamma, delta, pruning)},
                                 budget=2.0, min_runs=3, max_runs=9)
            res = t["vorn"]["result"]
            time_s, runs = t["vorn"]["median"], t["vorn"]["runs"]
            counter, found = int(res["complexity_counter"]), int(len(res["discont"]))
        row = {"pruning": pruning, "kind": kind, "n": n, "gamma": gamma,
               "jumps": int(w["cps"].size), "found": found, "time": time_s, "runs": runs,
               "counter": counter, "peak_bytes": mem["peak_bytes"],
               "baseline_bytes": mem["baseline_bytes"]}
        rows.append(row)
        print(f"  scaling {pruning} {kind} n={n}: {fmt_time(row['time'])}, "
              f"counter/sample {row['counter'] / n:.1f}, "
              f"peak {row['peak_bytes'] / n:.0f} B/sample", flush=True)
    return {"rows": rows}


def section_cv(core, quick: bool) -> dict:
    n = 10**4
    w = jump_workload(n, SEED, "smooth")
    x, y2, delta = w["x"], w["y"].reshape(-1, 1), w["delta"]
    rng = np.random.default_rng([SEED, 5])
    perm = rng.permutation(n)
    folds = [sorted(int(i) for i in perm[k::10]) for k in range(10)]
    p = JUMP_P["smooth"]
    gamma = 2.0 * p * math.log(n)
    rows = []
    for pruning in ("PELT",):
        caps = {"cv": 1 if quick else 5}
        t = time_interleaved({"cv": lambda: core.vorn_cvscore(x, y2, p, gamma, delta, folds,
                                                              pruning)},
                             budget=3.0, min_runs=1, max_runs=5, max_runs_slow=caps)
        t1 = time_interleaved({"fit": lambda: core.vorn(x, y2, p, gamma, delta, pruning)},
                              budget=2.0, min_runs=1, max_runs=5, max_runs_slow={"fit": caps["cv"]})
        score = core.vorn_cvscore(x, y2, p, gamma, delta, folds, pruning)
        rows.append({"pruning": pruning, "time": t["cv"]["median"], "runs": t["cv"]["runs"],
                     "fit": t1["fit"]["median"], "score": score})
        print(f"  cv {pruning}: {fmt_time(t['cv']['median'])} (one fit "
              f"{fmt_time(t1['fit']['median'])}), score {score:.4f}", flush=True)
    return {"rows": rows, "p": p, "gamma": gamma}


def machine_description() -> List[str]:
    lines = []
    model = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = "unknown"
    try:
        kb = int(re.search(r"MemTotal:\s+(\d+)", Path("/proc/meminfo").read_text()).group(1))
        mem = f"{kb / 2**20:.1f} GiB"
    except (OSError, AttributeError):
        pass
    lines.append(f"- CPU: {model}, {os.cpu_count()} logical cores; memory {mem}; "
                 f"{platform.system()} {platform.release()} ({platform.machine()})")
    try:
        gxx = subprocess.run(["g++", "--version"], capture_output=True, text=True).stdout
        lines.append(f"- Compiler: {gxx.splitlines()[0]}; vorn built Release "
                     "(-O3 -ffp-contract=off, no -ffast-math, no -march)")
    except (OSError, IndexError):
        pass
    import numpy
    import scipy
    versions = [f"Python {platform.python_version()}", f"NumPy {numpy.__version__}",
                f"SciPy {scipy.__version__}"]
    for mod in ("csaps", "ruptures", "matplotlib"):
        try:
            versions.append(f"{mod} {__import__(mod).__version__}")
        except (ImportError, AttributeError):
            versions.append(f"{mod} (not installed)")
    lines.append("- " + ", ".join(versions))
    try:
        from threadpoolctl import threadpool_info
        pools = [f"{p.get('internal_api')} {p.get('version')} ({p.get('architecture')}, "
                 f"{p.get('num_threads')} threads)" for p in threadpool_info()]
        lines.append("- BLAS used by the peers: " + "; ".join(pools))
    except ImportError:
        pass
    env = {k: os.environ[k] for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if k in os.environ}
    lines.append(f"- OpenBLAS overrides in the environment: {env or 'none'}")
    try:
        rev = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", "src",
                                "python"], capture_output=True, text=True).stdout.strip()
        lines.append(f"- vorn at commit {rev}" + (" (with uncommitted changes in src/ or "
                                                   "python/)" if dirty else ""))
    except OSError:
        pass
    return lines


def without_results(value):
    """The measurements without the fitted objects that time_interleaved keeps."""
    if isinstance(value, dict):
        return {k: without_results(v) for k, v in value.items() if k != "result"}
    if isinstance(value, list):
        return [without_results(v) for v in value]
    return value
