"""Fingerprints of the package's public results on seeded signals, to compare two versions bit
for bit (a restructuring should change none; a fix names what it changes).

    python bench/select/fingerprint.py OUT.json          # write this version's fingerprints
    python bench/select/fingerprint.py --wide OUT.json   # and the default selection of 1,910 more
    python bench/select/fingerprint.py --compare A.json B.json

Each entry holds p, gamma, penalty, bandwidth and noise as hex floats, the criterion, the
arguments, and hashes of the fit's breaks, coefficients, jump indices, x and y: for every class
of steps.py (three seeds) the default selection; for the first seed also the constant model,
a fixed bandwidth, a fixed penalty, a fixed gamma, a fixed p, both fixed, given deviations,
values too large for their units, two columns, and vorn.fit in natural units and with constant
segments; and the default selection on corpus.py's scenarios, one cross-validated selection
and the cross-validation grid. With --wide also the default selection (p, gamma, criterion,
jump indices) of 20 signals of every steps.py class (120 of blocks and of small steps among
large ones), 40 jump-free series of every
false_jumps.py class (noise, lines, sines, AR(1) 0.3 and 0.5) at 60, 100, 140, 200 and 300
samples, 30 noisy copies of every standard.py signal and 20 blocks on a curved trend at each
of trend_steps.py's three cases: the series where the levels' cases and the smooth choice's
repairs are decided, 1,910 in all (about 45 s).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpus  # noqa: E402
import steps  # noqa: E402

import vorn  # noqa: E402


def _hash(a):
    data = np.ascontiguousarray(np.asarray(a, dtype=float)).tobytes()
    return hashlib.sha1(data).hexdigest()[:16]


def _hex(v):
    return float(v).hex() if v == v else "nan"


def _fit(f):
    return [_hash(f.breaks), _hash(f.coefs), _hash(f.jump_indices), _hash(f.x), _hash(f.y)]


def _selection(s):
    arguments = sorted((k, _hash(v) if hasattr(v, "shape") else repr(v))
                       for k, v in s.arguments.items())
    return [_hex(s.p), _hex(s.gamma), _hex(s.penalty), _hex(s.bandwidth_samples),
            _hex(s.noise), s.criterion, arguments, _hash(s.downweighted), s.note] + _fit(s.fit)


def fingerprints():
    out = {}
    for kind in steps.KINDS:
        for seed in range(3):
            sig = steps.make(kind, seed)
            x, y = sig.x, np.asarray(sig.y)
            key = f"{kind}/{seed}"
            out[key] = _selection(vorn.select(x, y))
            if seed:
                continue
            for name, kwargs in [("const", dict(segments="constant")),
                                 ("bw", dict(bandwidth_samples=8)), ("pen", dict(penalty=30)),
                                 ("gamma", dict(gamma=0.5)), ("p", dict(p=0.01)),
                                 ("both", dict(bandwidth_samples=3, penalty=12)),
                                 ("delta", dict(delta=np.linspace(0.5, 1.5, len(y))))]:
                out[f"{key}/{name}"] = _selection(vorn.select(x, y, **kwargs))
            out[key + "/big"] = _selection(vorn.select(x * 1e-200, y * 1e160))
            out[key + "/d2"] = _selection(vorn.select(x, np.column_stack([y, y[::-1]])))
            out[key + "/fitnat"] = _fit(vorn.fit(x, y, bandwidth_samples=5, penalty=20))
            out[key + "/fitbig"] = _fit(vorn.fit(x * 1e-200, y * 1e160, bandwidth_samples=5,
                                                 penalty=20))
            out[key + "/fitconst"] = _fit(vorn.fit(x, y, penalty=20, segments="constant"))
            out[key + "/noise"] = _hash(vorn.noise_level(x, y))
    for sig in corpus.corpus(sizes=(100, 300), per_cell=1):
        out["corpus/" + sig.name] = _selection(vorn.select(sig.x, sig.y))
    rng = np.random.default_rng(5)
    xx = np.sort(rng.uniform(0, 10, 80))
    yy = np.sin(xx) + (xx > 5) + 0.1 * rng.standard_normal(80)
    out["cv"] = _selection(vorn.select(xx, yy, method="cv", folds=4))
    out["grid"] = [_hash(a) for a in vorn.default_grid(xx, yy)]
    return out


def wide_fingerprints():
    """The default selection of the wider corpus (see the docstring), key by series."""
    import false_jumps
    import standard
    from vorn import datasets

    def chosen(x, y):
        s = vorn.select(x, y)
        return [_hex(s.p), _hex(s.gamma), s.criterion, _hash(s.fit.jump_indices)]

    out = {}
    for sig in steps.corpus(20):
        out["wide/" + sig.name] = chosen(sig.x, sig.y)
    # Where levels beat a smooth fit with fewer parameters by over 8 standard errors.
    for sig in steps.corpus(100, ("blocks", "small_large"), 20):
        out["wide/" + sig.name] = chosen(sig.x, sig.y)
    for kind in ("ar0.3", "ar0.5", "smooth", "noise", "line"):
        for n in (60, 100, 140, 200, 300):
            for seed in range(40):
                out[f"wide/{kind}-{n}-{seed}"] = chosen(*false_jumps.make(kind, n, seed))
    for name in ("blocks", "fms", "mix", "teeth10", "stairs10"):
        for i, (_, _, y) in enumerate(standard.copies(name, 30)):
            out[f"wide/{name}-{i}"] = chosen(None, y)
    for n, noise in ((200, 0.3), (512, 0.3), (200, 0.5)):
        for seed in range(20):
            x, y, _ = datasets.blocks_trend(n=n, noise=noise, seed=seed)
            out[f"wide/trend-{n}-{noise}-{seed}"] = chosen(x, y)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out", nargs="?")
    ap.add_argument("--wide", action="store_true")
    ap.add_argument("--compare", nargs=2, metavar=("A", "B"))
    args = ap.parse_args()
    if args.compare:
        a, b = (json.loads(Path(p).read_text()) for p in args.compare)
        differ = sorted(k for k in a.keys() | b.keys() if a.get(k) != b.get(k))
        print(f"{len(a)} and {len(b)} entries; {len(differ)} differ")
        for key in differ:
            print(" ", key)
        return
    warnings.simplefilter("ignore")
    found = fingerprints()
    if args.wide:
        found.update(wide_fingerprints())
    Path(args.out).write_text(json.dumps(found, indent=0, sort_keys=True))
    print(f"{len(found)} entries written to {args.out}")


if __name__ == "__main__":
    main()
