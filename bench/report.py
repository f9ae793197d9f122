"""The written results of the benchmark: RESULTS.md (tables, targets, notes) and the scaling
plot, from the data that measure.py returns or that an earlier run left in RESULTS.json."""

from __future__ import annotations

from pathlib import Path
from typing import List, Optional, Sequence

import numpy as np

from measure import JUMP_EVERY, JUMP_P, SIGMA, fmt_time


def table(header: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(out)


def write_report(path: Path, results: dict, quick: bool, plot_name: Optional[str]) -> None:
    L: List[str] = []
    L.append("# vorn benchmarks")
    L.append("")
    L.append("Written by `bench/run_bench.py`. Command: `make bench`" +
             (" QUICK=1" if quick else "") + f" (run {results['started']}, "
             f"{results['elapsed'] / 60:.1f} min).")
    L.append("")
    L.append("Machine:")
    L.append("")
    L += results["machine"]
    L.append(f"- Load average (1, 5, 15 min) at the start: {results['load_start']}; at the end: "
             f"{results['load_end']}. vorn runs on one core; the peers use what they use by "
             "default.")
    L.append("")
    L.append("Method: every workload is seeded; times are medians of repeated runs (the count is "
             "given), the contenders of one workload run interleaved in the same process, so each "
             "ratio is measured within the same run. Times are wall-clock times of the public "
             "Python call (vorn: `_vorn_core.vorn(...)` including input checks, sorting, the "
             "search, all spline fits and the result dictionary).")
    L.append("")

    if "smoothing" in results:
        L.append("## 1. One smoothing spline (gamma = inf), d = 1")
        L.append("")
        L.append("Sites: integers 0..n-1 each moved by U(-0.3, 0.3). Values: sin(2 pi x / 200) + "
                 "0.5 sin(2 pi x / 37) + noise; delta_i = 0.1 U(0.5, 1.5), noise sigma_i = "
                 "delta_i. vorn: `vorn(x, y, p, inf, delta)`. SciPy: `make_smoothing_spline(x, y, "
                 "w=1/delta**2, lam=(1-p)/p)`. csaps: `CubicSmoothingSpline(x, y, "
                 "weights=1/delta**2, smooth=p)`. Deviation = max |f_vorn - f_peer| / max |f_vorn| "
                 "at the sites (must be below 1e-8).")
        L.append("")
        rows = []
        for r in results["smoothing"]["rows"]:
            t = r["t"]
            rows.append([f"{r['n']:.0e}".replace("+0", ""), r["p"],
                         f"{fmt_time(t['vorn']['median'])} ({t['vorn']['runs']})",
                         f"{fmt_time(t['scipy']['median'])} ({t['scipy']['runs']})",
                         f"{fmt_time(t['csaps']['median'])} ({t['csaps']['runs']})",
                         f"{t['scipy']['median'] / t['vorn']['median']:.1f}x",
                         f"{t['csaps']['median'] / t['vorn']['median']:.1f}x",
                         f"{r['dev_scipy']:.1e}", f"{r['dev_csaps']:.1e}",
                         "yes" if max(r["dev_scipy"], r["dev_csaps"]) < 1e-8 else "**no**"])
        L.append(table(["n", "p", "vorn (runs)", "SciPy (runs)", "csaps (runs)", "SciPy / vorn",
                        "csaps / vorn", "dev SciPy", "dev csaps", "< 1e-8"], rows))
        L.append("")
        if results.get("csaps_probe"):
            probe = results["csaps_probe"]
            worst = max(r["plain"] for r in probe)
            best_norm = min(r["normalized"] for r in probe)
            L.append("csaps' smoothing parameter. Its documentation describes `smooth` in [0, 1] "
                     "(0: least-squares line, 1: natural interpolant) and an optional "
                     "`normalizedsmooth=True` that rescales it by the site range and weights. A "
                     "black-box probe (400 uneven sites, spacings scaled by 1 and 7, weights "
                     "scaled by 1e-3, 1 and 1e4, p in {0.01, 0.5, 0.99}) compared csaps with "
                     "SciPy's `lam = (1 - p) / p`, whose functional sum w (y - f)^2 + lam int "
                     "f''^2 is vorn's p sum w (y - f)^2 + (1 - p) int f''^2 divided by p: with "
                     f"the default `normalizedsmooth=False` the largest relative deviation was "
                     f"{worst:.1e} in all {len(probe)} cases, with `normalizedsmooth=True` it was "
                     f"at least {best_norm:.1e}. So csaps' plain `smooth = p` (weights 1/delta^2) "
                     "is the same functional as vorn's p, with no rescaling by spacing or "
                     "weights, and that is what is timed.")
            L.append("")

    if "jumps" in results:
        L.append("## 2. Signals with jumps")
        L.append("")
        L.append(f"Sites as above (integers jittered by U(-0.3, 0.3)); noise sigma = {SIGMA}, "
                 f"delta = sigma. One jump per {JUMP_EVERY} samples on average, at random "
                 "positions at least 10 samples apart, random sign, size U(3, 8) sigma. "
                 "(a) piecewise constant; (b) the same jumps plus the smooth trend "
                 "4 sin(2 pi x / 400) + 2 sin(2 pi x / 97). ruptures: `Pelt(model='l2', "
                 "min_size=2, jump=1).fit(y).predict(pen=2 sigma^2 log n)`, then one csaps "
                 "`CubicSmoothingSpline` per segment with the same p and weights (timed "
                 "together). vorn: gamma = 2 p log n with p chosen per signal kind on "
                 f"calibration data (below): p = {JUMP_P['constant']:g} for (a), "
                 f"{JUMP_P['smooth']:g} for (b); the same p for the per-segment splines after "
                 "ruptures.")
        L.append("")
        L.append("Why gamma = 2 p log n: vorn's segment energy is p sum ((y - f) / delta)^2 + "
                 "(1 - p) int f''^2, i.e. p times (chi-square + lam int f''^2). The ruptures "
                 "cost is the residual sum of squares, so its pen = 2 sigma^2 log n is 2 log n "
                 "in chi-square units; the same price per jump in vorn's units is 2 p log n. "
                 "The literal gamma = 2 log n (1/p times stricter in chi-square units) is "
                 "reported in the last columns.")
        L.append("")
        rows = []
        for r in results["jumps"]["rows"]:
            t = r["t"]
            label = "(a) constant" if r["kind"] == "constant" else "(b) smooth"
            rup = r.get("ruptures")
            rt = t.get("ruptures+csaps")
            for who in ("vorn PELT", "vorn FPVI", "ruptures"):
                if who not in r and who != "ruptures":
                    rows.append([label, r["n"], r["jumps"], who, "not run (n^2 work)", "", "",
                                 "", "", "", ""])
                    continue
                if who == "ruptures":
                    if rup is None:
                        pred = r["skip_ruptures"]
                        rows.append([label, r["n"], r["jumps"], who,
                                     "not run at this n (see notes)", "", "", "", "", "", ""])
                        continue
                    q, tt = rup, rt
                else:
                    q, tt = r[who], t[who]
                ratio = (f"{rt['median'] / tt['median']:.1f}x" if rt and who != "ruptures"
                         else "")
                lit = r["vorn literal"] if who == "vorn PELT" else None
                rows.append([label, r["n"], r["jumps"], who,
                             f"{fmt_time(tt['median'])} ({tt['runs']})", ratio, q["found"],
                             f"{q['precision']:.3f}", f"{q['recall']:.3f}",
                             f"{q['rmse']:.3f}",
                             f"{lit['found']} / {lit['precision']:.2f} / {lit['recall']:.2f}"
                             if lit else ""])
        L.append(table(["signal", "n", "true jumps", "method", "time (runs)",
                        "ruptures / this", "found", "precision", "recall", "RMSE vs truth",
                        "gamma = 2 log n: found / prec. / rec."], rows))
        L.append("")
        sweep_rows = []
        for r in results["jumps"]["rows"]:
            if "sweep" not in r:
                continue
            label = "(a) constant" if r["kind"] == "constant" else "(b) smooth"
            rup = r.get("ruptures")
            for q in r["sweep"]:
                sweep_rows.append([label, r["n"], f"{q['p']:g}", q["found"],
                                   f"{q['precision']:.3f}", f"{q['recall']:.3f}",
                                   "yes" if q["p"] == r["p"] else ""])
            if rup:
                sweep_rows.append([label, r["n"], "ruptures", rup["found"],
                                   f"{rup['precision']:.3f}", f"{rup['recall']:.3f}", ""])
        if sweep_rows:
            L.append("The same benchmark data with vorn (PELT, gamma = 2 p log n) for every p of "
                     "the calibration grid, and ruptures for reference: smaller p makes the "
                     "spline stiffer, so trends are taken for jumps (precision falls); larger p "
                     "lets the spline bend through small jumps (recall falls).")
            L.append("")
            L.append(table(["signal", "n", "p", "found", "precision", "recall",
                            "used above"], sweep_rows))
            L.append("")
        L.append("Precision and recall count an estimated jump as correct when it lies within "
                 "one sample of a true jump (one-to-one matching; vorn's jump after prepared "
                 "sample e counts as index e + 1, ruptures' breakpoint b as index b). RMSE is "
                 "the fitted curve against the noise-free signal at the sites.")
        L.append("")
        if results.get("calibration"):
            L.append("Choice of p: precision, recall and F1 of vorn (PELT, gamma = 2 p log n) "
                     "on calibration data (the same generators with a different seed, n = "
                     "10^4); the best F1 is taken, the largest p among equals:")
            L.append("")
            L.append(table(["signal", "p", "precision", "recall", "F1"],
                           [[c["kind"], f"{c['p']:g}", f"{c['precision']:.3f}",
                             f"{c['recall']:.3f}", f"{c['f1']:.3f}"]
                            for c in results["calibration"]]))
            L.append("")

    if "ns_per_unit" in results:
        L.append("## 3. Nanoseconds per unit of complexity_counter")
        L.append("")
        sec = results["ns_per_unit"]
        if not sec["rows"]:
            L.append(f"bench_dp was not available ({sec.get('missing')}).")
        else:
            L.append("The partition search alone (C++, `bench/bench_dp.cpp`, built by CMake as "
                     "`bench_dp`), median of repeated runs: workload (b) of section 2 generated "
                     "in C++ (the trend 4 sin(2 pi x / 400) + 2 sin(2 pi x / 97), jumps of size "
                     f"U(3, 8) with probability 1/{JUMP_EVERY} per sample, sigma = delta = 1), "
                     f"p = {JUMP_P['smooth']:g}, "
                     "gamma = 2 p log n, precondition none. Command: "
                     f"`{sec['command']}` and likewise for the other rows.")
            L.append("")
            L.append("Wall time counts the time other processes take from the benchmark on a "
                     "busy machine; processor time (CLOCK_PROCESS_CPUTIME_ID) does not. On a quiet "
                     "machine the two agree.")
            L.append("")
            L.append(table(["search", "d", "n", "wall time (median)", "counter", "counter / n",
                            "ns per unit, wall", "ns per unit, processor time",
                            "target <= 120 (d = 1): wall / processor"],
                           [[r["search"], r["d"], r["n"], f"{r['median_ms']:.1f} ms",
                             r["counter"], f"{r['counter'] / r['n']:.1f}",
                             f"{r['ns_per_unit']:.1f}", f"{r['cpu_ns_per_unit']:.1f}",
                             (("met" if r["ns_per_unit"] <= 120 else "**missed**") + " / " +
                              ("met" if r["cpu_ns_per_unit"] <= 120 else "**missed**"))
                             if r["d"] == 1 else ""]
                            for r in sec["rows"]]))
        L.append("")

    if "scaling" in results:
        L.append("## 4. Scaling")
        L.append("")
        L.append(f"Workload (b) of section 2 (one jump per {JUMP_EVERY} samples, so the number "
                 "of jumps grows with n), and the same smooth trend without any jump "
                 f"(\"nojump\"); d = 1, p = {JUMP_P['smooth']:g}, gamma = 2 p log n. FPVI up to "
                 f"n = {results['fpvi_max']}: its work grows like n^2 on these signals (the "
                 "bound stops a leftward scan only when the segment's energy exceeds the optimal "
                 "cost of the whole prefix, which grows with n). Peak memory: a fresh "
                 "interpreter per point (`bench/mem_probe.py`) loads the inputs from .npy files "
                 "and imports NumPy and _vorn_core; then the kernel's high-water mark of "
                 "resident memory is reset to the current resident size (write 5 to "
                 "/proc/self/clear_refs), which is the baseline, vorn is called once, and the "
                 "high-water mark (VmHWM) minus the baseline, result dictionary included, is "
                 "divided by n. Points whose single run took over 10 s are timed by that run "
                 "(\"1, in the probe\").")
        L.append("")
        L.append(table(["search", "signal", "n", "jumps / found", "time (runs)",
                        "time / sample", "counter / sample", "peak bytes / sample"],
                       [[r["pruning"], r["kind"], r["n"], f"{r['jumps']} / {r['found']}",
                         f"{fmt_time(r['time'])} ({r['runs']})",
                         f"{r['time'] / r['n'] * 1e9:.0f} ns",
                         f"{r['counter'] / r['n']:.1f}",
                         f"{r['peak_bytes'] / r['n']:.0f}"]
                        for r in results["scaling"]["rows"]]))
        L.append("")
        if plot_name:
            L.append(f"![scaling]({plot_name})")
            L.append("")

    if "cv" in results:
        sec = results["cv"]
        L.append("## 5. Cross-validation")
        L.append("")
        L.append(f"`vorn_cvscore` with 10 folds (a seeded random permutation of 0..n-1 dealt "
                 f"into 10 folds) on workload (b), n = 10^4, p = {sec['p']:g}, gamma = "
                 f"{sec['gamma']:.4g}.")
        L.append("")
        L.append(table(["search", "10-fold score time (runs)", "one fit on all samples",
                        "ratio", "score"],
                       [[r["pruning"], f"{fmt_time(r['time'])} ({r['runs']})",
                         fmt_time(r["fit"]), f"{r['time'] / r['fit']:.1f}",
                         f"{r['score']:.6g}"] for r in sec["rows"]]))
        L.append("")

    if results.get("targets"):
        L.append("## Targets")
        L.append("")
        L += results["targets"]
        L.append("")
    if results.get("notes"):
        L.append("## Notes")
        L.append("")
        L.append(results["notes"].rstrip())
        L.append("")
    path.write_text("\n".join(L))


def targets_summary(results: dict) -> List[str]:
    out = []
    sm = results.get("smoothing", {}).get("rows", [])
    big = [r for r in sm if r["n"] == max((q["n"] for q in sm), default=0)]
    if big:
        s = min(r["t"]["scipy"]["median"] / r["t"]["vorn"]["median"] for r in big)
        c = min(r["t"]["csaps"]["median"] / r["t"]["vorn"]["median"] for r in big)
        n = big[0]["n"]
        out.append(f"- (1) at n = {n:.0e}: at least {s:.1f}x faster than SciPy (target 20x: "
                   f"{'met' if s >= 20 else 'missed'}), at least {c:.1f}x faster than csaps "
                   f"(target 5x: {'met' if c >= 5 else 'missed'}); worst deviation "
                   f"{max(max(r['dev_scipy'], r['dev_csaps']) for r in sm):.1e}.")
    for r in results.get("jumps", {}).get("rows", []):
        rup = r.get("ruptures")
        if not rup:
            continue
        v = r["vorn PELT"]
        faster = r["t"]["ruptures+csaps"]["median"] / r["t"]["vorn PELT"]["median"]
        if r["kind"] == "smooth":
            ok = faster > 1 and v["precision"] > rup["precision"] and v["recall"] > rup["recall"]
            line = (f"- (2b) n = {r['n']}: vorn PELT {faster:.1f}x faster; at the calibrated "
                    f"p = {r['p']:g} precision {v['precision']:.3f} vs {rup['precision']:.3f}, "
                    f"recall {v['recall']:.3f} vs {rup['recall']:.3f}: "
                    f"{'met' if ok else 'missed'}.")
            both = [q for q in r.get("sweep", []) if q["precision"] > rup["precision"]
                    and q["recall"] > rup["recall"]]
            if both and not ok:
                line += (" Both better at p = " + ", ".join(f"{q['p']:g}" for q in both) +
                         " (p sweep above).")
            out.append(line)
        else:
            ok = v["recall"] >= rup["recall"]
            out.append(f"- (2a) n = {r['n']}: recall {v['recall']:.3f} vs "
                       f"{rup['recall']:.3f} (precision {v['precision']:.3f} vs "
                       f"{rup['precision']:.3f}): {'met' if ok else 'missed'}.")
    for r in results.get("ns_per_unit", {}).get("rows", []):
        if r["d"] == 1:
            out.append(f"- (3) {r['search']} d = 1, n = {r['n']}: {r['ns_per_unit']:.1f} ns "
                       f"per unit in wall time ({'met' if r['ns_per_unit'] <= 120 else 'missed'}"
                       f"), {r['cpu_ns_per_unit']:.1f} in processor time "
                       f"({'met' if r['cpu_ns_per_unit'] <= 120 else 'missed'}).")
    sc = [r for r in results.get("scaling", {}).get("rows", [])
          if r["pruning"] == "PELT" and r["kind"] == "smooth"]
    if sc:
        per = [r["counter"] / r["n"] for r in sc]
        ratio = max(per) / min(per)
        out.append(f"- (4) PELT counter per sample from n = {sc[0]['n']} to {sc[-1]['n']}: "
                   f"{min(per):.1f} .. {max(per):.1f} (spread {ratio:.2f}x, target within 2x: "
                   f"{'met' if ratio <= 2 else 'missed'}).")
        top = sc[-1]
        b = top["peak_bytes"] / top["n"]
        out.append(f"- (4) PELT peak memory at n = {top['n']}: {b:.0f} bytes per sample above "
                   f"the baseline (target <= 400 at n = 10^6: "
                   f"{'met' if b <= 400 else 'missed'}" +
                   ("" if top["n"] == 10**6 else ", not measured at 10^6 in this run") + ").")
    return out


def make_plot(rows: List[dict], path: Path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.5))
    series = {}
    for r in rows:
        series.setdefault((r["pruning"], r["kind"]), []).append(r)
    for (pruning, kind), rs in sorted(series.items()):
        n = np.array([r["n"] for r in rs], dtype=float)
        label = f"{pruning}, {'jumps' if kind == 'smooth' else 'no jump'}"
        style = "-o" if kind == "smooth" else "--s"
        axes[0].loglog(n, [r["time"] for r in rs], style, label=label)
        axes[1].loglog(n, [r["counter"] / r["n"] for r in rs], style, label=label)
        axes[2].semilogx(n, [r["peak_bytes"] / r["n"] for r in rs], style, label=label)
    axes[0].set_ylabel("time of one vorn call [s]")
    axes[1].set_ylabel("complexity_counter / n")
    axes[2].set_ylabel("peak memory above baseline [bytes / sample]")
    axes[2].axhline(400, color="gray", lw=0.8, ls=":")
    for ax in axes:
        ax.set_xlabel("n")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].legend()
    fig.suptitle(f"vorn scaling, d = 1, p = {JUMP_P['smooth']:g}, gamma = 2 p log n, one jump per "
                 f"{JUMP_EVERY} samples")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    return True
