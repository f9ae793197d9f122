"""Seeded corpus of fits whose every output bit is pinned by test_golden.py.

Run this script only when a change of results is intended (and say so in the commit):

    .venv/bin/python tests/python/make_golden.py

It rewrites data/golden.npz. The inputs are stored in the file next to the outputs, so the test
does not depend on how a future NumPy draws random numbers.
"""

from __future__ import annotations

import hashlib
import json
import math
import sys
from pathlib import Path
from typing import Any, Dict, List

import numpy as np

GOLDEN_PATH = Path(__file__).resolve().parent / "data" / "golden.npz"

# A penalty of AUTO becomes, when the file is written, 2 % of the energy of the whole data as one
# segment (rounded to three digits), so that the searches find a handful of jumps.
AUTO = -1.0

# Arrays of the result dictionary that are stored whole, and the integer ones among them. The
# other outputs (prepared samples, tau, the per-segment lists) are pinned by a SHA-256 digest of
# their bytes, which keeps the file small.
FLOAT_KEYS = ("breaks", "coefs", "F", "discont")
INT_KEYS = ("partition", "discont_idx")
DIGEST_KEYS = ("x", "y", "tau", "cells", "pp_breaks", "pp_coefs")


def digest(array: np.ndarray) -> np.ndarray:
    """SHA-256 of dtype, shape and bytes, as 32 uint8 values."""
    a = np.ascontiguousarray(array)
    h = hashlib.sha256(f"{a.dtype.str}{a.shape}".encode())
    h.update(a.tobytes())
    return np.frombuffer(h.digest(), dtype=np.uint8).copy()


def _signal(rng: np.random.Generator, n: int, d: int, jumps: int, sigma: float,
            spacing: str = "jitter") -> Dict[str, np.ndarray]:
    """Piecewise-smooth values with `jumps` steps, sampled at ascending sites."""
    if spacing == "jitter":
        x = np.arange(n, dtype=float) + rng.uniform(-0.3, 0.3, n)
    else:  # irregular: spacings from 0.2 to 2
        x = np.cumsum(rng.uniform(0.2, 2.0, n))
    cut = np.sort(rng.choice(np.arange(3, n - 3), size=jumps, replace=False)) if jumps else []
    level = np.zeros((n, d))
    for c in cut:
        level[c:] += rng.choice([-1.0, 1.0], size=d) * rng.uniform(1.5, 4.0, size=d)
    phase = rng.uniform(0, 2 * np.pi, size=d)
    trend = 0.8 * np.sin(x[:, None] / 9.0 + phase[None, :])
    y = level + trend + sigma * rng.standard_normal((n, d))
    return {"x": x, "y": y}


def build_corpus() -> List[Dict[str, Any]]:
    """Every case: inputs (arrays) and parameters (meta)."""
    rng = np.random.default_rng(20261208)
    cases: List[Dict[str, Any]] = []

    def add(name: str, x, y, p, gamma, delta=None, pruning="FPVI", precondition="none",
            folds=None):
        cases.append({
            "name": name,
            "x": None if x is None else np.ascontiguousarray(x, dtype=float),
            "y": np.ascontiguousarray(y, dtype=float),
            "delta": None if delta is None else np.ascontiguousarray(delta, dtype=float),
            "p": float(p), "gamma": float(gamma), "pruning": pruning,
            "precondition": precondition, "folds": folds,
        })

    # The main grid: both searches, one and three value columns, both slope scalings, with
    # per-sample deviations, on data with jumps and smooth trends.
    for pruning in ("FPVI", "PELT"):
        for d in (1, 3):
            for precondition in ("none", "local"):
                for p in (0.05, 0.5, 0.95):
                    s = _signal(rng, 60, d, 3, 0.2)
                    delta = rng.uniform(0.15, 0.3, 60)
                    add(f"{pruning}-d{d}-{precondition}-p{p}", s["x"], s["y"], p, AUTO, delta,
                        pruning, precondition)

    # Straight-line search (the pruning option is ignored there, both are pinned).
    for pruning in ("FPVI", "PELT"):
        for d in (1, 3):
            s = _signal(rng, 50, d, 3, 0.2, spacing="irregular")
            add(f"line-{pruning}-d{d}", s["x"], s["y"], 0.0, 6.0, np.full(50, 0.2), pruning)

    # One-segment shortcuts: interpolation and an infinite penalty.
    for d in (1, 3):
        s = _signal(rng, 40, d, 2, 0.2)
        add(f"p1-d{d}", s["x"], s["y"], 1.0, 3.0, None, "PELT", "local")
        s = _signal(rng, 40, d, 2, 0.2, spacing="irregular")
        add(f"gammainf-d{d}", s["x"], s["y"], 0.3, math.inf, rng.uniform(0.1, 0.4, 40))

    # Unsorted sites, duplicated sites (merged with their weights), both together, and
    # dropped non-finite rows, through both searches and both scalings.
    for pruning, precondition in (("FPVI", "local"), ("PELT", "none")):
        for d in (1, 3):
            s = _signal(rng, 80, d, 3, 0.2)
            perm = rng.permutation(80)
            add(f"unsorted-{pruning}-d{d}", s["x"][perm], s["y"][perm], 0.4, 10.0,
                rng.uniform(0.15, 0.3, 80)[perm], pruning, precondition)

            s = _signal(rng, 80, d, 3, 0.2)
            x = np.round(s["x"] / 2.0) * 2.0  # about half of the sites are shared
            add(f"dup-{pruning}-d{d}", x, s["y"], 0.6, AUTO, rng.uniform(0.15, 0.3, 80),
                pruning, precondition)

            s = _signal(rng, 80, d, 3, 0.2)
            x = np.floor(s["x"] / 3.0) * 3.0
            perm = rng.permutation(80)
            y = s["y"][perm].copy()
            y[rng.choice(80, size=5, replace=False), 0] = np.nan
            y[rng.choice(80, size=2, replace=False), -1] = np.inf
            add(f"unsorted-dup-nonfinite-{pruning}-d{d}", x[perm], y, 0.5, AUTO, None,
                pruning, precondition)

    # Default sites, zero penalty, a penalty above the whole energy, and the smallest sizes.
    s = _signal(rng, 50, 1, 2, 0.2)
    add("nox-FPVI", None, s["y"], 0.5, AUTO)
    add("nox-PELT", None, s["y"], 0.5, AUTO, None, "PELT", "local")
    add("gamma0-FPVI", s["x"], s["y"], 0.5, 0.0)
    add("gamma0-PELT", s["x"], s["y"], 0.5, 0.0, None, "PELT")
    add("gammahuge-PELT", s["x"], s["y"], 0.5, 1e12, None, "PELT")
    # Exact ties: energies of runs of equal values are exactly 0, so candidates tie with the
    # no-jump value and with each other; strict comparisons decide.
    step = np.repeat([[0.0, 0.0], [5.0, -2.0]], 20, axis=0)
    for pruning in ("FPVI", "PELT"):
        add(f"ties-gamma0-{pruning}", np.arange(40.0), step, 0.5, 0.0, None, pruning)
        add(f"ties-gamma1-{pruning}", np.arange(40.0), step[:, :1], 0.5, 1.0, None, pruning)
    add("n2-FPVI", [0.0, 1.0], [[1.0], [3.0]], 0.5, 1.0)
    add("n3-PELT", [0.0, 1.0, 2.5], [[1.0, 0.0], [3.0, 1.0], [2.0, -4.0]], 0.5, 0.1,
        None, "PELT")

    # Cross-validation scores (the folds partition the samples, in an interleaved order).
    for pruning in ("FPVI", "PELT"):
        s = _signal(rng, 100, 2, 3, 0.2)
        folds = [list(range(k, 100, 5)) for k in range(5)]
        add(f"cv-{pruning}", s["x"], s["y"], 0.5, 10.0, np.full(100, 0.2), pruning, "local",
            folds)
    return cases


def run_case(core, case: Dict[str, Any]) -> Dict[str, np.ndarray]:
    """Every pinned output of one case, as arrays."""
    res = core.vorn(case["x"], case["y"], case["p"], case["gamma"], case["delta"],
                    case["pruning"], case["precondition"])
    out: Dict[str, np.ndarray] = {}
    for key in FLOAT_KEYS:
        out[key] = np.asarray(res[key], dtype=np.float64)
    for key in INT_KEYS:
        out[key] = np.asarray(res[key], dtype=np.int64)
    out["complexity_counter"] = np.array([res["complexity_counter"]], dtype=np.uint64)
    out["cell_sizes"] = np.array([len(c) for c in res["interval_cell"]], dtype=np.int64)
    whole = {
        "x": np.asarray(res["x"]), "y": np.asarray(res["y"]), "tau": np.asarray(res["tau"]),
        "cells": np.concatenate([np.asarray(c) for c in res["interval_cell"]]),
        "pp_breaks": np.concatenate([np.asarray(pp["breaks"]) for pp in res["pp_cell"]]),
        "pp_coefs": np.concatenate([np.asarray(pp["coefs"]) for pp in res["pp_cell"]]),
    }
    for key in DIGEST_KEYS:
        out[key + ".sha256"] = digest(whole[key])
    if case["folds"] is not None:
        score = core.vorn_cvscore(case["x"], case["y"], case["p"], case["gamma"],
                                  case["delta"], case["folds"], case["pruning"],
                                  case["precondition"])
        out["cvscore"] = np.array([score], dtype=np.float64)
    return out


def _pack(arrays: Dict[str, List[np.ndarray]]) -> Dict[str, np.ndarray]:
    """One flat array per key for all cases (few members keep the file small)."""
    return {key: np.concatenate([a.reshape(-1) for a in items]) for key, items in arrays.items()}


def write_golden(path: Path = GOLDEN_PATH) -> None:
    import _vorn_core

    cases = build_corpus()
    for case in cases:
        if case["gamma"] == AUTO:
            whole = _vorn_core.vorn(case["x"], case["y"], case["p"], 1e300, case["delta"],
                                    case["pruning"], case["precondition"])
            case["gamma"] = float(f"{0.02 * whole['F'][-1]:.3g}")
    columns: Dict[str, List[np.ndarray]] = {}
    meta = []
    for case in cases:
        m = {k: case[k] for k in ("name", "p", "gamma", "pruning", "precondition", "folds")}
        m["shapes"] = {}
        items = {f"in.{k}": case[k] for k in ("x", "y", "delta") if case[k] is not None}
        items.update({f"out.{k}": v for k, v in run_case(_vorn_core, case).items()})
        for key, value in items.items():
            value = np.asarray(value)
            column = f"{key}.{value.dtype.str}"
            columns.setdefault(column, []).append(value)
            m["shapes"][key] = [column, list(value.shape)]
        meta.append(m)
    arrays = _pack(columns)
    arrays["meta"] = np.frombuffer(json.dumps(meta).encode(), dtype=np.uint8)
    path.parent.mkdir(parents=True, exist_ok=True)
    np.savez_compressed(path, **arrays)
    print(f"wrote {len(cases)} cases to {path} ({path.stat().st_size} bytes)")


def load_golden(path: Path = GOLDEN_PATH) -> List[Dict[str, Any]]:
    """The stored cases: inputs, parameters and the expected outputs."""
    with np.load(path, allow_pickle=False) as data:
        meta = json.loads(data["meta"].tobytes().decode())
        flat = {name: data[name] for name in data.files if name != "meta"}
    offsets = {name: 0 for name in flat}
    cases = []
    for m in meta:
        case = {k: v for k, v in m.items() if k != "shapes"}
        case.update({"x": None, "y": None, "delta": None, "expected": {}})
        for key, (column, shape) in m["shapes"].items():
            size = int(np.prod(shape, dtype=np.int64))
            value = flat[column][offsets[column]:offsets[column] + size].reshape(shape).copy()
            offsets[column] += size
            kind, name = key.split(".", 1)
            if kind == "in":
                case[name] = value
            else:
                case["expected"][name] = value
        cases.append(case)
    if any(offsets[name] != flat[name].size for name in flat):
        raise ValueError(f"{path}: stored arrays and their index disagree")
    return cases


if __name__ == "__main__":
    write_golden(Path(sys.argv[1]) if len(sys.argv) > 1 else GOLDEN_PATH)
