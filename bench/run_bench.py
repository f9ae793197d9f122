#!/usr/bin/env python3
"""Side-by-side benchmarks of vorn against SciPy, csaps and ruptures; writes bench/RESULTS.md.

Run through `make bench` (or `make bench QUICK=1`), which builds everything into .venv-bench.
Directly:

    .venv-bench/bin/python bench/run_bench.py [--quick] [--bench-dp build/bench/bench_dp]

measure.py takes the measurements, report.py writes them up; this file runs the sections asked
for and keeps their data in RESULTS.json beside the report.
"""

from __future__ import annotations

import argparse
import datetime
import json
import sys
import tempfile
import time
from pathlib import Path
from typing import Optional, Sequence

from measure import (HERE, ROOT, calibrate_p, csaps_convention_probe, load_average,
                     machine_description, section_cv, section_jumps, section_ns_per_unit,
                     section_scaling, section_smoothing, without_results)
from report import make_plot, targets_summary, write_report


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smaller sizes and fewer runs")
    ap.add_argument("--bench-dp", default=str(ROOT / "build" / "bench" / "bench_dp"),
                    help="path of the bench_dp executable")
    ap.add_argument("--out", default=None,
                    help="report path (default bench/RESULTS.md, or bench/RESULTS-quick.md "
                         "with --quick, so that a quick run leaves the full results alone)")
    ap.add_argument("--ruptures-max-n", type=int, default=10**4,
                    help="largest n at which the ruptures pipeline runs in section 2 (10^5 "
                         "takes it more than ten minutes)")
    ap.add_argument("--fpvi-max", type=int, default=10**4,
                    help="largest n of the FPVI scaling series, one of 10^3, 3*10^3, 10^4, "
                         "3*10^4, 10^5 (its work grows with n^2 here: 3*10^4 adds about a "
                         "minute, 10^5 about ten)")
    ap.add_argument("--sections", default="smoothing,jumps,ns,scaling,cv",
                    help="comma-separated subset of smoothing,jumps,ns,scaling,cv")
    ap.add_argument("--notes", default=str(HERE / "NOTES.md"),
                    help="text appended to the report under 'Notes' when the file exists")
    ap.add_argument("--render-only", action="store_true",
                    help="rewrite the report from the RESULTS.json of an earlier run (for "
                         "example after editing NOTES.md), measuring nothing")
    args = ap.parse_args(argv)
    out = Path(args.out or HERE / ("RESULTS-quick.md" if args.quick else "RESULTS.md"))
    if args.render_only:
        results = json.loads(out.with_suffix(".json").read_text())
        notes = Path(args.notes)
        if notes.exists():
            results["notes"] = notes.read_text()
        plot = out.with_name(results.get("plot", "scaling.png"))
        write_report(out, results, results.get("quick", False),
                     plot.name if plot.exists() and "scaling" in results else None)
        print(f"rewrote {out} from {out.with_suffix('.json')}")
        return 0
    import _vorn_core as core

    sections = set(args.sections.split(","))
    plot_path = out.with_name("scaling-quick.png" if args.quick else "scaling.png")
    started = time.time()
    results: dict = {"started": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
                     "fpvi_max": 10**4 if args.quick else args.fpvi_max,
                     "load_start": load_average(), "machine": machine_description()}
    with tempfile.TemporaryDirectory() as tmp:
        print("calibration of p", flush=True)
        results["calibration"] = calibrate_p(core)
        if "smoothing" in sections:
            print("1. one smoothing spline", flush=True)
            results["smoothing"] = section_smoothing(core, args.quick)
            results["csaps_probe"] = csaps_convention_probe()
        if "jumps" in sections:
            print("2. signals with jumps", flush=True)
            results["jumps"] = section_jumps(core, args.quick, args.ruptures_max_n)
        if "ns" in sections:
            print("3. ns per counter unit", flush=True)
            results["ns_per_unit"] = section_ns_per_unit(args.bench_dp, args.quick)
        if "scaling" in sections:
            print("4. scaling", flush=True)
            results["scaling"] = section_scaling(core, args.quick, Path(tmp), args.fpvi_max)
        if "cv" in sections:
            print("5. cross-validation", flush=True)
            results["cv"] = section_cv(core, args.quick)
    plot_name = None
    if "scaling" in results and make_plot(results["scaling"]["rows"], plot_path):
        plot_name = plot_path.name
    results["load_end"] = load_average()
    results["elapsed"] = time.time() - started
    results["targets"] = targets_summary(results)
    notes = Path(args.notes)
    if notes.exists():
        results["notes"] = notes.read_text()
    results["quick"] = args.quick
    results["plot"] = plot_path.name
    write_report(out, results, args.quick, plot_name)
    raw = out.with_suffix(".json")
    raw.write_text(json.dumps(without_results(results), indent=1, default=float))
    print(f"wrote {out} and {raw} in {results['elapsed'] / 60:.1f} min")
    return 0


if __name__ == "__main__":
    sys.exit(main())
