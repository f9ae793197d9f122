"""Error of the automatic choice where nothing changes: pure noise, a noisy line, smooth curves.

    .venv-bench/bin/python bench/select/nochange.py [--methods priced ...] [--seeds 40]
        [--sizes 50 300 3000] [--out rows.json]

For every class, size and seed (even sites for even seeds, jittered ones for odd seeds, noise
sd 1) it prints the ratio of the selected curve's mean squared error against the truth to a
reference's on the same copy: a straight-line least-squares fit for pure noise and a line
(the best a method can do without knowing more), SciPy's `make_smoothing_spline` with its GCV
penalty (`lam=None`) for smooth curves. GCV counts as failed, and the series is left out (and
counted), when it raises, returns non-finite values, or lands further from the truth than half
the noise variance (an interpolant is at one) or than the straight line (it took the curve for
noise): at n = 3000 on even sites it interpolates in about half the series, which would make
any smoother look perfect. Per row: the median ratio, the share of series within 1.2 times the
reference, the ratio of the mean errors, and the share that got any jump. Methods are those of run.py (`priced` is the
package's default).
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

CLASSES = ("noise", "line", "sine", "bump", "poly")
LINE_REFERENCE = ("noise", "line")


def sites(rng, n, jittered):
    """Even sites on [0, 1], or each moved by up to 0.4 spacings (uniform)."""
    x = np.arange(n, dtype=float)
    if jittered:
        x = x + rng.uniform(-0.4, 0.4, n)
    return (x - x[0]) / (x[-1] - x[0])


def make(kind, n, seed):
    rng = np.random.default_rng([seed, CLASSES.index(kind), n, 2222])
    x = sites(rng, n, bool(seed % 2))
    if kind == "noise":
        clean = np.zeros(n)
    elif kind == "line":
        clean = rng.uniform(-10.0, 10.0) * x + rng.uniform(-5.0, 5.0)
    elif kind == "sine":
        # 1 to 4 periods, 2 to 6 noise sd.
        clean = rng.uniform(2.0, 6.0) * np.sin(2 * np.pi * rng.uniform(1.0, 4.0) * x
                                               + rng.uniform(0.0, 2 * np.pi))
    elif kind == "bump":
        c, w = rng.uniform(0.3, 0.7), rng.uniform(0.05, 0.15)
        clean = rng.uniform(3.0, 6.0) * np.exp(-0.5 * ((x - c) / w) ** 2)
    else:
        # A cubic with three real roots inside, scaled to 2 to 6 noise sd.
        roots = np.sort(rng.uniform(0.1, 0.9, 3))
        clean = np.prod([x - r for r in roots], axis=0)
        clean *= rng.uniform(2.0, 6.0) / np.max(np.abs(clean))
    return x, clean + rng.standard_normal(n), clean


def line_fit(x, y):
    return np.polyval(np.polyfit(x, y, 1), x)


def gcv_fit(x, y):
    from scipy.interpolate import make_smoothing_spline

    try:
        est = make_smoothing_spline(x, y, lam=None)(x)
    except Exception:  # GCV's failures are what "where GCV succeeds" leaves out
        return None
    return est if np.all(np.isfinite(est)) else None


def evaluate(method, kinds, sizes, seeds):
    from run import run_method

    rows = []
    for kind in kinds:
        for n in sizes:
            for seed in range(seeds):
                x, y, clean = make(kind, n, seed)
                line_mse = float(np.mean((line_fit(x, y) - clean) ** 2))
                if kind in LINE_REFERENCE:
                    ref_mse = line_mse
                else:
                    gcv = gcv_fit(x, y)
                    ref_mse = None if gcv is None else float(np.mean((gcv - clean) ** 2))
                    if ref_mse is not None and (ref_mse > 0.5 or ref_mse > line_mse):
                        ref_mse = None
                t0 = time.perf_counter()
                chosen = run_method(method, x, y)
                seconds = time.perf_counter() - t0
                est = np.asarray(chosen.fit(x), dtype=float).reshape(clean.shape)
                mse = float(np.mean((est - clean) ** 2))
                rows.append(dict(method=method, kind=kind, n=n, seed=seed,
                                 sites="jittered" if seed % 2 else "even", mse=mse,
                                 ref_mse=ref_mse, jumps=int(len(chosen.fit.jump_indices)),
                                 bandwidth=float(chosen.bandwidth_samples)
                                 if hasattr(chosen, "bandwidth_samples") else float("nan"),
                                 seconds=seconds))
    return rows


def table(rows):
    methods = list(dict.fromkeys(r["method"] for r in rows))
    keys = list(dict.fromkeys((r["kind"], r["n"], r["sites"]) for r in rows))
    lines = ["| class | n | sites | reference | " + " | ".join(methods) + " |",
             "|---|---|---|---|" + "---|" * len(methods)]
    for kind, n, where in keys:
        cells = []
        missing = 0
        for m in methods:
            sel = [r for r in rows if r["method"] == m and (r["kind"], r["n"], r["sites"])
                   == (kind, n, where)]
            ok = [r for r in sel if r["ref_mse"] is not None]
            missing = len(sel) - len(ok)
            ratio = np.array([r["mse"] / r["ref_mse"] for r in ok])
            jumps = np.mean([r["jumps"] > 0 for r in sel])
            means = (np.mean([r["mse"] for r in ok]) / np.mean([r["ref_mse"] for r in ok])
                     if ok else np.nan)
            if not ok:
                cells.append(f"- ; - ; - ; {jumps:.2f}")
                continue
            cells.append(f"{np.median(ratio):.2f} ; {np.mean(ratio <= 1.2):.2f} ; {means:.2f} ; "
                         f"{jumps:.2f}")
        ref = "line" if kind in LINE_REFERENCE else "GCV" + (f" ({missing} failed)" if missing else "")
        lines.append(f"| {kind} | {n} | {where} | {ref} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--methods", nargs="+", default=["priced"])
    ap.add_argument("--kinds", nargs="+", default=list(CLASSES))
    ap.add_argument("--sizes", nargs="+", type=int, default=[50, 300, 3000])
    ap.add_argument("--seeds", type=int, default=40)
    ap.add_argument("--out")
    ap.add_argument("--table", nargs="+", help="print the table of saved rows")
    args = ap.parse_args()
    if args.table:
        rows = [r for f in args.table for r in json.loads(Path(f).read_text())]
    else:
        rows = [r for m in args.methods for r in evaluate(m, args.kinds, args.sizes, args.seeds)]
        if args.out:
            Path(args.out).write_text(json.dumps(rows))
    print("cells: median MSE ratio to the reference ; share within 1.2x ; ratio of mean MSEs ; "
          "share with any jump")
    print(table(rows))


if __name__ == "__main__":
    main()
