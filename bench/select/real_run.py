"""The parameter choice on the real-like annotated corpus (real_like.py).

    .venv/bin/python bench/select/real_run.py [--methods priced ic ...] [--per-series]

Prints, per method: mean F1 (5-sample margin) and mean segmentation covering over all
series, the same over the series with annotated changes, the number of no-change series
that got any jump and their jumps in all, and the mean and largest time of one select call.
With --per-series also the jumps, F1 and cover of every series.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from real_like import corpus, covering, f1  # noqa: E402
from run import run_method  # noqa: E402


def change_indices(fit, x):
    """First sample (index into the input rows) of every new segment."""
    return [int(np.searchsorted(x, loc, side="right"))
            for loc in np.asarray(fit.jumps, dtype=float)]


def evaluate(method, series):
    rows = []
    for s in series:
        t0 = time.perf_counter()
        chosen = run_method(method, s.x, s.y)
        elapsed = time.perf_counter() - t0
        found = change_indices(chosen.fit, s.x)
        rows.append(dict(name=s.name, kind=s.kind, n=s.x.size, found=found,
                         annotated=max(len(a) for a in s.annotations),
                         f1=f1(s.annotations, found), cover=covering(s.annotations, found,
                                                                    s.x.size),
                         seconds=elapsed, bandwidth=chosen.bandwidth_samples))
    return rows


def summary(method, rows):
    quiet = [r for r in rows if r["annotated"] == 0]
    changing = [r for r in rows if r["annotated"] > 0]
    return (f"| {method} | {len(rows)} | {np.mean([r['f1'] for r in rows]):.3f} | "
            f"{np.mean([r['cover'] for r in rows]):.3f} | "
            f"{np.mean([r['f1'] for r in changing]):.3f} | "
            f"{np.mean([r['cover'] for r in changing]):.3f} | "
            f"{sum(bool(r['found']) for r in quiet)}/{len(quiet)} | "
            f"{sum(len(r['found']) for r in quiet)} | "
            f"{np.mean([r['seconds'] for r in rows]):.3f} | "
            f"{np.max([r['seconds'] for r in rows]):.3f} |")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--methods", nargs="+", default=["priced"])
    ap.add_argument("--kinds", nargs="+")
    ap.add_argument("--per-series", action="store_true")
    args = ap.parse_args()
    series = list(corpus(args.kinds))
    lines = ["| method | series | F1 | cover | F1 (changes) | cover (changes) | "
             "no-change series with jumps | their jumps | mean s | max s |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    detail = []
    for method in args.methods:
        rows = evaluate(method, series)
        lines.append(summary(method, rows))
        for r in rows:
            detail.append(f"| {method} | {r['name']} | {r['n']} | {r['annotated']} | "
                          f"{len(r['found'])} | {r['bandwidth']:g} | {r['f1']:.2f} | "
                          f"{r['cover']:.2f} |")
        print(f"done {method}", file=sys.stderr)
    print("\n".join(lines))
    if args.per_series:
        print("\n| method | series | n | annotated | found | bandwidth (samples) | F1 | cover |")
        print("|---|---|---|---|---|---|---|---|")
        print("\n".join(detail))


if __name__ == "__main__":
    main()
