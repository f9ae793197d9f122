"""Regenerates vorn/_jump_null.py: the null law of the largest saving of one jump.

Without a jump, the largest energy a single split saves in a segment of m samples (in noise
variances) is modelled as s times the largest of N independent chi-square variables with 2 d
degrees of freedom: a split frees the value and the slope of every column where the curve is
nearly straight (s = 1); a lightly smoothed curve gains less from a split (s < 1). For every
cell of a grid over m, the bandwidth b in samples and d, (N, s) is the maximum likelihood
estimate from seeded simulations of white Gaussian noise on even sites (N in closed form for
each s on a grid of s). The table stores log N and log s.

    .venv/bin/python bench/jumps/calibrate_null.py            # writes vorn/_jump_null.py
    .venv/bin/python bench/jumps/calibrate_null.py --check    # prints the fit of the model
    .venv/bin/python bench/jumps/calibrate_null.py --noise-law  # writes bench/jumps/white_noise_law.py
    .venv/bin/python bench/jumps/calibrate_null.py --ar         # writes bench/jumps/ar_table.py
    .venv/bin/python bench/jumps/calibrate_null.py --ar-noise   # writes vorn/_jump_ar.py
    .venv/bin/python bench/jumps/calibrate_null.py --ar-noise --jump-free  # a candidate
    .venv/bin/python bench/jumps/calibrate_null.py --edges      # writes vorn/_jump_residual.py

The model is checked, not assumed: --check prints the simulated 50 / 90 / 99 % points beside
the model's for every cell, and bench/jumps/run.py tests the uniformity of the significances on
fresh seeds, uneven sites and AR(1) noise.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys

import numpy as np

from vorn import _engine
from vorn._jumps import chi2_even_cdf

LOG2_M = np.arange(3, 14)          # m = 8 .. 8192 samples in the merged segment
LOG2_B = np.arange(-1, 10)         # bandwidth 0.5 .. 512 samples
DIMS = (1, 2, 4)
REPS = 300
# The null law's own cells: at 300 segments the fitted (N, s) wander from cell to cell by more
# than the law's misfit (bench/jumps/RESULTS.md, "The null law from 3,000 segments a cell").
NULL_REPS = 3000
SEED = 20261209



def stationary_ar1(rng: np.random.Generator, e: np.ndarray, phi: float) -> np.ndarray:
    """White noise `e` (m, d) filtered to AR(1) of unit marginal variance, started in its
    stationary law (one more draw from `rng` per column, after `e`)."""
    from scipy.signal import lfilter

    before = rng.standard_normal((1, e.shape[1]))  # the stationary state before the first sample
    return np.asarray(lfilter([math.sqrt(1.0 - phi * phi)], [1.0, -phi], e, axis=0,
                              zi=phi * before)[0])

def largest_saving(rng: np.random.Generator, m: int, b: float, d: int, reps: int,
                   phi: float = 0.0, corrected: bool = False) -> np.ndarray:
    """T for `reps` jump-free segments of m samples; two leading samples and a jump after them
    make the segment an inner one, whose left part needs two samples like the search's. With
    phi, AR(1) noise of unit marginal variance (started in its stationary law). With
    `corrected`, T less what the split saves on the merged segment's own smooth (never below
    0), the statistic the package reads the law at."""
    p = 1.0 / (1.0 + b**4)
    x = np.arange(m + 2, dtype=float)
    jumps = np.array([1, m // 2 + 1], dtype=np.int64)
    out = np.empty(reps)
    for r in range(reps):
        y = rng.standard_normal((m + 2, d))
        if phi:
            y = stationary_ar1(rng, y, phi)
        got = _engine.jump_profiles(x, y, None, p, "none", jumps, np.zeros(2))
        saved = got["merged"][1] - got["best"][1]
        if corrected:
            saved = max(saved - got["smooth_saving"][1], 0.0)
        out[r] = saved / p
    return out


SCALES = np.exp(np.linspace(math.log(0.2), math.log(2.0), 161))


def fitted(t: np.ndarray, d: int) -> tuple[float, float]:
    """Maximum likelihood (log N, log s) of P(T <= t) = F(t / s)**N."""
    best = (-math.inf, 0.0, 0.0)
    u_all = np.maximum(t, 1e-12)
    for s in SCALES:
        u = u_all / s
        logf_cdf = np.log(np.maximum(chi2_even_cdf(u, d), 1e-300))
        total = float(np.sum(logf_cdf))
        if total >= 0.0:
            continue
        n = -t.size / total
        log_density = ((d - 1) * np.log(u) - u / 2.0 - d * math.log(2.0)
                       - math.lgamma(d) - math.log(s))
        ll = t.size * math.log(n) + (n - 1.0) * float(np.sum(logf_cdf)) + float(np.sum(log_density))
        if ll > best[0]:
            best = (ll, math.log(n), math.log(s))
    return best[1], best[2]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--reps", type=int, help=f"segments a cell ({NULL_REPS}; {REPS} with --ar)")
    parser.add_argument("--noise-law", action="store_true")
    parser.add_argument("--ar", action="store_true")
    parser.add_argument("--ar-noise", action="store_true")
    parser.add_argument("--edges", action="store_true")
    parser.add_argument("--raw", action="store_true",
                        help="the law of the saving before the curvature correction (the "
                             "table before), to bench/jumps/raw_null_law.py")
    parser.add_argument("--jump-free", action="store_true",
                        help="with --ar-noise: the candidate law of a jump-free fit's "
                             "residuals, to bench/jumps/jump_free_noise_law.py")
    args = parser.parse_args()
    if args.edges:
        residual_edges()
        return
    if args.ar_noise:
        ar_noise_law(not args.jump_free)
        return
    if args.noise_law:
        noise_law()
        return
    if args.ar:
        ar_table(args.reps or REPS)
        return
    args.reps = args.reps or NULL_REPS
    rng = np.random.default_rng(SEED)
    table = np.empty((2, len(DIMS), LOG2_M.size, LOG2_B.size))
    for a, d in enumerate(DIMS):
        for i, lm in enumerate(LOG2_M):
            for j, lb in enumerate(LOG2_B):
                t = largest_saving(rng, int(2**lm), float(2.0**lb), d, args.reps,
                                   corrected=not args.raw)
                table[:, a, i, j] = fitted(t, d)
                if args.check:
                    n, s = np.exp(table[:, a, i, j])
                    q = np.quantile(t, [0.5, 0.9, 0.99])
                    model = [s * _model_quantile(n, d, u) for u in (0.5, 0.9, 0.99)]
                    print(f"d={d} m={2**lm:5d} b={2.0**lb:6.1f} N={n:7.2f} s={s:5.2f} "
                          f"sim {np.round(q, 2)} model {np.round(model, 2)}", flush=True)
    if args.check:
        return
    path = (pathlib.Path(__file__).resolve().parent / "raw_null_law.py" if args.raw
            else pathlib.Path(__file__).resolve().parents[2] / "vorn" / "_jump_null.py")

    def rows(values: np.ndarray) -> str:
        return ",\n".join(
            "    (" + ",\n     ".join(
                "(" + ", ".join(f"{v:.4f}" for v in values[a, i]) + ")"
                for i in range(LOG2_M.size)
            ) + ")"
            for a in range(len(DIMS))
        )

    header = ('"""Null law of the largest saving of one split'
              + ("" if args.raw else " (less what the split saves on the\nmerged segment's own smooth)")
              + ", s times the largest of N chi-square\n"
              "variables with 2 d degrees of freedom: log N and log s by value columns d, log2 of\n"
              "the segment's samples and log2 of the bandwidth in samples. Generated by\n"
              f"bench/jumps/calibrate_null.py (seed {SEED}, {args.reps} segments a cell); do not "
              'edit."""\n\n')
    path.write_text(
        header + f"DIMS = {DIMS}\nLOG2_M = {tuple(int(v) for v in LOG2_M)}\n"
        f"LOG2_B = {tuple(int(v) for v in LOG2_B)}\n"
        f"LOG_N = (\n{rows(table[0])},\n)\nLOG_S = (\n{rows(table[1])},\n)\n")
    print(f"wrote {path}", file=sys.stderr)


NOISE_LOG2_M = np.arange(4, 14)      # 16 .. 8192 samples
NOISE_QUANTILES = 32
NOISE_REPS = 2000


def noise_law() -> None:
    """Writes bench/jumps/white_noise_law.py: the law of V, the estimated long-run noise variance
    (variance times (1 + phi) / (1 - phi), both from second differences) over the true one, for
    white noise of m samples and d columns, as the log of its quantiles at the midpoints of
    NOISE_QUANTILES equal-probability slices."""
    from vorn._jumps import noise_of_values

    rng = np.random.default_rng(SEED + 1)
    table = np.empty((len(DIMS), NOISE_LOG2_M.size, NOISE_QUANTILES))
    probabilities = (np.arange(NOISE_QUANTILES) + 0.5) / NOISE_QUANTILES
    for a, d in enumerate(DIMS):
        for i, lm in enumerate(NOISE_LOG2_M):
            v = np.empty(NOISE_REPS)
            for r in range(NOISE_REPS):
                scale, phi = noise_of_values(rng.standard_normal((int(2**lm), d)))
                v[r] = scale * scale * (1 + phi) / (1 - phi)
            table[a, i] = np.log(np.quantile(v, probabilities))
            print(f"d={d} m={2**lm:5d} median V {np.exp(np.median(table[a, i])):.3f} "
                  f"5-95 % {np.exp(table[a, i, 1]):.3f}-{np.exp(table[a, i, -2]):.3f}",
                  file=sys.stderr)
    rows = ",\n".join(
        "    (" + ",\n     ".join(
            "(" + ", ".join(f"{v:.4f}" for v in table[a, i]) + ")"
            for i in range(NOISE_LOG2_M.size)) + ")"
        for a in range(len(DIMS)))
    path = pathlib.Path(__file__).resolve().parent / "white_noise_law.py"
    path.write_text(
        '"""Law of the estimated long-run noise variance over the true one (white noise): log\n'
        "of its quantiles at the midpoints of equal-probability slices, by value columns d and\n"
        f"log2 of the samples. Generated by bench/jumps/calibrate_null.py --noise-law (seed "
        f'{SEED + 1}, {NOISE_REPS} series a cell); do not edit."""\n\n'
        f"DIMS = {DIMS}\nLOG2_M = {tuple(int(v) for v in NOISE_LOG2_M)}\n"
        f"LOG_V = (\n{rows},\n)\n")
    print(f"wrote {path}", file=sys.stderr)


AR_PHI = 0.5
KAPPAS = np.exp(np.linspace(math.log(0.5), math.log(8.0), 321))


def ar_table(reps: int) -> None:
    """Writes bench/jumps/ar_table.py: how much AR(1) noise inflates the largest saving (a
    candidate measured by run.py against the package's long-run factor, and rejected).

    Under AR(1) noise of lag-one correlation phi the largest saving (in marginal noise
    variances) is modelled as kappa times the white-noise law of the same cell, with
    kappa = (1 + phi r) / (1 - phi r): the variance factor of a sum whose weights fall off as
    r**k. r -> 1 gives the long-run factor (1 + phi) / (1 - phi) of long windows, r -> 0 no
    inflation; a split's saving rests on fewer samples than the bandwidth suggests, so r is
    fitted per cell (maximum likelihood of kappa with the white law's N and s held, at
    phi = AR_PHI, away from the 0.3 of the benchmark so that the benchmark checks it)."""
    from vorn import _jumps

    rng = np.random.default_rng(SEED + 2)
    table = np.empty((len(DIMS), LOG2_M.size, LOG2_B.size))
    for a, d in enumerate(DIMS):
        for i, lm in enumerate(LOG2_M):
            for j, lb in enumerate(LOG2_B):
                m, b = int(2**lm), float(2.0**lb)
                t = np.maximum(largest_saving(rng, m, b, d, reps, AR_PHI), 1e-12)
                n = float(np.exp(_jumps._null_parameter(_jump_null_table("LOG_N"), np.array([m]),
                                                        np.array([b]), d)[0]))
                s = float(np.exp(_jumps._null_parameter(_jump_null_table("LOG_S"), np.array([m]),
                                                        np.array([b]), d)[0]))
                u = t[None, :] / (KAPPAS[:, None] * s)
                logf = np.log(np.maximum(chi2_even_cdf(u, d), 1e-300))
                ll = ((n - 1.0) * logf + (d - 1) * np.log(u) - u / 2.0).sum(axis=1) \
                    - t.size * np.log(KAPPAS)
                kappa = float(KAPPAS[int(np.argmax(ll))])
                table[a, i, j] = (kappa - 1.0) / (AR_PHI * (kappa + 1.0))
                print(f"d={d} m={m:5d} b={b:6.1f} kappa={kappa:.3f} r={table[a, i, j]:.3f}",
                      file=sys.stderr, flush=True)
    rows = ",\n".join(
        "    (" + ",\n     ".join(
            "(" + ", ".join(f"{v:.4f}" for v in table[a, i]) + ")"
            for i in range(LOG2_M.size)) + ")"
        for a in range(len(DIMS)))
    path = pathlib.Path(__file__).resolve().parent / "ar_table.py"
    path.write_text(
        '"""How AR(1) noise inflates the largest saving of one split: kappa = (1 + phi r) /\n'
        "(1 - phi r) times the white-noise law, r by value columns d, log2 of the segment's\n"
        "samples and log2 of the bandwidth in samples (the grid of vorn._jump_null). Generated\n"
        f"by bench/jumps/calibrate_null.py --ar (seed {SEED + 2}, phi = {AR_PHI}, {reps} "
        'segments a\ncell); do not edit."""\n\n'
        f"R = (\n{rows},\n)\n")
    print(f"wrote {path}", file=sys.stderr)


AR_LOG2_M = np.arange(4, 14, 2)            # 16 .. 4096 samples
AR_PHIS = (0.0, 0.15, 0.3, 0.45, 0.6, 0.8)
AR_RS = (0.0, 0.5, 0.8, 1.0)
AR_QUANTILES = 16
AR_REPS = 1500
AR_BANDWIDTH = 16.0


def residual_noise(e: np.ndarray, split: bool = True) -> tuple[float, float]:
    """The package's noise estimate for the evidence of a jump forced into a jump-free series:
    the residuals of the fit split at the series' best split, a spline of AR_BANDWIDTH
    samples on either side (the law hardly depends on the bandwidth beyond a few samples:
    the smoother keeps 0.35 / b of the noise's degrees of freedom). The split is the one the
    evidence is asked about, and choosing it took the largest saving out of the residuals,
    so the estimate is lower than at a split fixed in advance. Without `split` (a candidate,
    measured in run.py and not adopted) the residuals are those of one jump-free spline."""
    from vorn._jumps import noise_of_residuals, noise_of_values

    m = e.shape[0]
    x = np.arange(m, dtype=float)
    p = 1.0 / (1.0 + AR_BANDWIDTH**4)
    parts = [(0, m)]
    if split:
        got = _engine.jump_profiles(x, e, None, p, "none", np.array([m // 2], dtype=np.int64),
                                    np.zeros(1))
        cut = int(got["best_split"][0]) + 1
        parts = [(0, cut), (cut, m)]
    r = np.zeros_like(e)
    for a, c in parts:
        if c - a > 2:  # two samples or fewer lie on their own line
            part = _engine.fit(x[a:c], e[a:c], None, p, math.inf, "DOMINANCE", "none")
            r[a:c] = e[a:c] - _engine.evaluate(part["breaks"], part["coefs"], x[a:c])
    return noise_of_residuals(r, AR_BANDWIDTH, 2 * len(parts), noise_of_values(e)[1])


def ar_noise_law(split: bool = True) -> None:
    """Writes vorn/_jump_ar.py: how AR(1) noise inflates the largest saving, and the law of
    the estimated noise the saving is measured in (residual_noise).

    The saving is divided by kappa(phi) = (1 + phi r) / (1 - phi r) with r of
    bench/jumps/ar_table.py (copied into the package as R). Measured in the estimated noise
    (variance s2 from the fit's residuals, correlation phi from second differences), the
    saving is then the white
    one over V = s2 kappa(phi estimated) / (s2 true kappa(phi true)). V's law depends on r, the
    series' length, d and phi; its log quantiles at the midpoints of AR_QUANTILES
    equal-probability slices are stored on the grid AR_LOG2_M x AR_PHIS x AR_RS (one set of
    noise estimates per length, d and phi serves every r)."""
    import ar_table

    rng = np.random.default_rng(SEED + 3)
    probabilities = (np.arange(AR_QUANTILES) + 0.5) / AR_QUANTILES
    rs = np.asarray(AR_RS)
    table = np.empty((len(DIMS), AR_LOG2_M.size, len(AR_PHIS), rs.size, AR_QUANTILES))
    for a, d in enumerate(DIMS):
        for i, lm in enumerate(AR_LOG2_M):
            m = int(2**lm)
            for j, phi in enumerate(AR_PHIS):
                s2 = np.empty(AR_REPS)
                phis = np.empty(AR_REPS)
                for r in range(AR_REPS):
                    e = rng.standard_normal((m, d))
                    if phi:
                        e = stationary_ar1(rng, e, phi)
                    scale, phis[r] = residual_noise(e, split)
                    s2[r] = scale * scale
                for q, r_ in enumerate(rs):
                    kappa_hat = (1.0 + phis * r_) / (1.0 - phis * r_)
                    kappa = (1.0 + phi * r_) / (1.0 - phi * r_)
                    table[a, i, j, q] = np.log(np.quantile(s2 * kappa_hat / kappa, probabilities))
                print(f"d={d} m={m:5d} phi={phi:.2f} mean phi {phis.mean():.3f} sd "
                      f"{phis.std():.3f} median V(r=1) {np.exp(np.median(table[a, i, j, -1])):.3f}",
                      file=sys.stderr, flush=True)

    def nested(values: np.ndarray, indent: int) -> str:
        if values.ndim == 1:
            return "(" + ", ".join(f"{v:.3f}" for v in values) + ")"
        pad = " " * (indent + 1)
        return "(" + (",\n" + pad).join(nested(v, indent + 1) for v in values) + ")"

    path = (pathlib.Path(__file__).resolve().parents[2] / "vorn" / "_jump_ar.py" if split
            else pathlib.Path(__file__).resolve().parent / "jump_free_noise_law.py")
    path.write_text(
        '"""AR(1) noise and the largest saving of one split. R: kappa = (1 + phi r) / (1 - phi r)\n'
        "is the factor AR(1) noise of lag-one correlation phi inflates the white-noise law by,\n"
        "r by value columns d, log2 of the segment's samples and log2 of the bandwidth in\n"
        "samples (the grid of vorn._jump_null; bench/jumps/calibrate_null.py --ar, seed "
        f"{SEED + 2},\nphi = {AR_PHI}). LOG_V: log quantiles of V = estimated s2 "
        "kappa(estimated phi) over the\ntrue one (s2 from the residuals of "
        + ("a fit split at its best split" if split else "a jump-free fit")
        + ", phi from second\ndifferences), by d, log2 of the\n"
        "series' samples, phi and r. Generated by\n"
        f"bench/jumps/calibrate_null.py --ar-noise (seed {SEED + 3}, {AR_REPS} series a cell); "
        'do not edit."""\n\n'
        f"DIMS = {DIMS}\nLOG2_M = {tuple(int(v) for v in AR_LOG2_M)}\nPHIS = {AR_PHIS}\n"
        f"RS = {AR_RS}\n"
        "R = " + nested(np.asarray(ar_table.R), 4) + "\n"
        "LOG_V = " + nested(table, 8) + "\n")
    print(f"wrote {path}", file=sys.stderr)


def _jump_null_table(name: str) -> object:
    from vorn import _jump_null

    return getattr(_jump_null, name)


def _model_quantile(n: float, d: int, u: float) -> float:
    lo, hi = 0.0, 200.0
    for _ in range(60):
        mid = 0.5 * (lo + hi)
        if chi2_even_cdf(np.array([mid]), d)[0] ** n < u:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


EDGE_LOG2_B = np.arange(-1, 8)               # bandwidth 0.5 .. 128 samples
# Adding 0.0 writes the rounded -0.0 as 0.0.
EDGE_PHIS = tuple(float(v) + 0.0 for v in np.round(np.linspace(-0.5, 0.9, 15), 2))


def smoother(m: int, b: float) -> np.ndarray:
    """The hat matrix of a natural cubic smoothing spline through m equally spaced samples of
    bandwidth b samples, from the dense normal equations (no vorn code)."""
    q = np.zeros((m, m - 2))
    for j in range(m - 2):
        q[j:j + 3, j] = (1.0, -2.0, 1.0)
    r = (4.0 * np.eye(m - 2) + np.eye(m - 2, k=1) + np.eye(m - 2, k=-1)) / 6.0
    return np.linalg.inv(np.eye(m) + b**4 * (q @ np.linalg.solve(r, q.T)))


def residual_edges() -> None:
    """Writes vorn/_jump_residual.py: what each end of a segment takes from the residuals'
    mean square and lag-one product beyond the stationary filter (vorn._jumps.residual_moments).

    Near an end the spline follows the samples more closely than in the middle, and it
    follows the slow, positively correlated part of AR(1) noise most, so every jump of a fit
    lowers both moments, the lag-one product relatively far more. The deficits are exact
    expectations, per end and unit noise variance, for one segment of 16 b + 32 samples
    (long enough for its two ends not to meet), on the grid EDGE_LOG2_B x EDGE_PHIS."""
    from vorn._jumps import residual_moments, _RESIDUAL_PHIS

    square = np.empty((EDGE_LOG2_B.size, len(EDGE_PHIS)))
    lagged = np.empty_like(square)
    for i, lb in enumerate(EDGE_LOG2_B):
        b = float(2.0**lb)
        m = int(16 * b + 32)
        keep = np.eye(m) - smoother(m, b)
        moment = keep.T @ keep
        shifted = keep.T @ np.eye(m, k=1) @ keep
        lags = np.arange(m)
        by_lag = np.array([np.trace(moment, k) for k in lags])
        by_lag[1:] *= 2.0
        shifted_by_lag = np.array([np.trace(shifted, k) + (np.trace(shifted, -k) if k else 0.0)
                                   for k in lags])
        stationary_square, stationary_lagged = residual_moments(b)
        for j, phi in enumerate(EDGE_PHIS):
            powers = phi ** lags.astype(float)
            a = float(np.dot(by_lag, powers))
            c = float(np.dot(shifted_by_lag, powers))
            square[i, j] = (m * np.interp(phi, _RESIDUAL_PHIS, stationary_square) - a) / 2.0
            lagged[i, j] = ((m - 1) * np.interp(phi, _RESIDUAL_PHIS, stationary_lagged) - c) / 2.0
        print(f"b={b:6.1f} square {np.round(square[i, [0, 7, 14]], 3)} lagged "
              f"{np.round(lagged[i, [0, 7, 14]], 3)}", file=sys.stderr, flush=True)

    def rows(values: np.ndarray) -> str:
        return "(" + ",\n    ".join("(" + ", ".join(f"{v:.4f}" for v in row) + ")"
                                     for row in values) + ")"

    path = pathlib.Path(__file__).resolve().parents[2] / "vorn" / "_jump_residual.py"
    path.write_text(
        '"""What each end of a segment takes from the mean square (SQUARE) and the lag-one\n'
        "product (LAGGED) of a smoothing spline's residuals beyond the stationary filter, per\n"
        "unit noise variance, by log2 of the bandwidth in samples and the lag-one correlation\n"
        "phi of AR(1) noise. Exact expectations from the dense smoother, generated by\n"
        'bench/jumps/calibrate_null.py --edges; do not edit."""\n\n'
        f"LOG2_B = {tuple(int(v) for v in EDGE_LOG2_B)}\nPHIS = {EDGE_PHIS}\n"
        f"SQUARE = {rows(square)}\nLAGGED = {rows(lagged)}\n")
    print(f"wrote {path}", file=sys.stderr)


if __name__ == "__main__":
    main()
