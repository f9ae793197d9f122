"""Soak: 10**5 mixed calls in a fresh interpreter leak neither memory nor references."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

SOAK = r"""
import gc, json, math, sys, weakref
import numpy as np
import _vorn_core

vorn, cvscore = _vorn_core.vorn, _vorn_core.vorn_cvscore
CALLS = int(sys.argv[1])

rng = np.random.default_rng(11)
x = np.sort(rng.uniform(0, 12, 14))
y = np.column_stack([np.where(x > 6, 3.0, 0.0) + 0.1 * np.sin(x), np.cos(x)])
yf = np.asfortranarray(y)
ys = np.repeat(y, 2, axis=0)[::2]            # strided rows
d = rng.uniform(0.5, 1.5, 14)
xr = x[::-1].copy()[::-1]                     # reversed memory
xnan = x.copy(); xnan[3] = math.nan
folds = [list(range(0, 14, 2)), list(range(1, 14, 2))]
# Failing calls get large arrays: every call copies them before the fit's checks, so a copy
# that one failure path forgets to free would add up to megabytes.
X = np.arange(4000.0)
Y = np.column_stack([np.sin(X / 30.0), np.cos(X / 40.0)])
D = np.ones(4000)
XNAN = X.copy(); XNAN[7] = math.nan

class BadFloat:
    def __float__(self):
        raise ValueError("no float")

class IndexOnly:
    def __init__(self, v):
        self.v = v
    def __index__(self):
        return self.v

class LyingLen:
    def __init__(self, items):
        self.items = items
    def __getitem__(self, i):
        return self.items[i]
    def __len__(self):
        raise ValueError("no length")

class BreakingIter(LyingLen):
    def __iter__(self):
        yield 0
        raise LookupError("broke")

bad_float = BadFloat()
lying = LyingLen([0, IndexOnly(1), 2])
breaking = BreakingIter([0])

KINDS = [
    ("fit", "dict", lambda: vorn(x, y, 0.8, 0.5)),
    ("fit pelt local fortran", "dict", lambda: vorn(x, yf, 0.8, 0.5, d, "PELT", "local")),
    ("fit strided reversed", "dict", lambda: vorn(xr, ys, 0.9, 0.2, d, "pelt")),
    ("fit shortcut", "dict", lambda: vorn(None, y, 1.0, 1.0)),
    ("fit shortcut large", "dict", lambda: vorn(X, Y, 0.5, math.inf, D)),
    ("fit line", "dict", lambda: vorn(x, y, 0.0, 0.3, None, "FPVI", "LOCAL")),
    ("score", "float", lambda: cvscore(x, y, 0.8, 0.5, d, folds)),
    ("score lying len", "float", lambda: cvscore(x, y, 0.8, 0.5, d, [lying, (3, 4)])),
    ("score inf", "float", lambda: cvscore(x, y, 0.8, 0.0, d, folds)),
    ("score failed fit", "float", lambda: cvscore(X, Y, 0.5, math.nan, D, [[0]])),
    ("bind", "TypeError", lambda: vorn(x, y, 0.5)),
    ("bind keyword", "TypeError", lambda: vorn(x, y, 0.5, 1.0, q=1)),
    ("array", "TypeError", lambda: vorn(x, [1.0], 0.5, 1.0)),
    ("dtype", "TypeError", lambda: vorn(x, y.astype(np.float32), 0.5, 1.0)),
    ("float", "TypeError", lambda: vorn(x, y, "0.5", 1.0)),
    ("float raises", "ValueError", lambda: vorn(x, y, bad_float, 1.0)),
    ("overflow", "OverflowError", lambda: vorn(x, y, 10 ** 400, 1.0)),
    ("option type", "TypeError", lambda: vorn(x, y, 0.5, 1.0, None, None)),
    ("option", "ValueError", lambda: vorn(x, y, 0.5, 1.0, None, "Pelt")),
    ("precondition", "ValueError", lambda: vorn(x, y, 0.5, 1.0, None, "FPVI", "lo\x00cal")),
    ("surrogate", "UnicodeEncodeError", lambda: vorn(x, y, 0.5, 1.0, None, "\udc80")),
    ("p", "RuntimeError", lambda: vorn(X, Y, 2.0, 1.0, D)),
    ("gamma", "RuntimeError", lambda: vorn(X, Y, 0.5, -1.0, D)),
    ("too few", "RuntimeError", lambda: vorn(x[:1], y[:1], 0.5, 1.0)),
    ("xy length", "RuntimeError", lambda: vorn(X[:5], Y, 0.5, 1.0)),
    ("delta length", "RuntimeError", lambda: vorn(X, Y, 0.5, 1.0, D[:3])),
    ("nan in x", "InternalFailure", lambda: vorn(XNAN, Y, 0.5, 1.0, D)),
    ("too few finite", "RuntimeError", lambda: vorn(X, Y * math.nan, 0.5, 1.0, D)),
    ("folds str", "TypeError", lambda: cvscore(x, y, 0.5, 1.0, d, "01")),
    ("folds item", "TypeError", lambda: cvscore(x, y, 0.5, 1.0, d, [0, 1])),
    ("folds float", "TypeError", lambda: cvscore(x, y, 0.5, 1.0, d, [[0.5]])),
    ("folds overflow", "OverflowError", lambda: cvscore(x, y, 0.5, 1.0, d, [[2 ** 63]])),
    ("folds generator", "TypeError", lambda: cvscore(x, y, 0.5, 1.0, d, [(i for i in (1,))])),
    ("folds iterator breaks", "LookupError", lambda: cvscore(x, y, 0.5, 1.0, d, [breaking])),
    ("fold index", "InternalFailure", lambda: cvscore(x, y, 0.5, 1.0, d, [[0, 99]])),
    ("short y", "InternalFailure", lambda: cvscore(X, Y[:3000], 0.5, math.inf, D, [[0]])),
]
TRACKED = [x, y, yf, ys, d, xr, xnan, folds, folds[0], bad_float, lying, breaking, X, Y, D, XNAN]

def rss():
    return int(open("/proc/self/statm").read().split()[1]) * 4096

def one(i, check_refs):
    name, expected, thunk = KINDS[i % len(KINDS)]
    try:
        result = thunk()
    except BaseException as exc:
        got = type(exc).__name__
        if got != expected:
            raise AssertionError(f"{name}: raised {got}({exc}), expected {expected}")
        return (got, str(exc))
    if type(result).__name__ != expected:
        raise AssertionError(f"{name}: returned {type(result).__name__}, expected {expected}")
    if isinstance(result, float):
        return result.hex()
    if check_refs:
        # The dictionary and each array in it have exactly one owner; arrays die with it.
        if sys.getrefcount(result) != 2:
            raise AssertionError(f"{name}: result has {sys.getrefcount(result) - 1} owners")
        arrays = [v for v in result.values() if isinstance(v, np.ndarray)]
        arrays += result["interval_cell"]
        arrays += [f[k] for f in result["pp_cell"] for k in ("breaks", "coefs")]
        for a in arrays:
            # Its container, the list `arrays`, the loop variable and the argument.
            if sys.getrefcount(a) != 4:
                raise AssertionError(f"{name}: an array has {sys.getrefcount(a) - 3} owners")
        refs = [weakref.ref(a) for a in arrays]
        digest = result["coefs"].tobytes()
        del arrays, result, a
        if any(r() is not None for r in refs):
            raise AssertionError(f"{name}: an array outlived its result")
        return digest
    return result["coefs"].tobytes()

reference = [one(i, True) for i in range(len(KINDS))]
counts_before = [sys.getrefcount(o) for o in TRACKED]
warmup = min(10_000, CALLS // 10)
for i in range(warmup):
    one(i, False)
gc.collect()
rss_before = rss()
blocks_before = sys.getallocatedblocks()
mismatches = 0
for i in range(CALLS):
    got = one(i, i % 997 == 0)
    if i % 101 == 0 and got != reference[i % len(KINDS)]:
        mismatches += 1
gc.collect()
print(json.dumps({
    "calls": CALLS + warmup + len(KINDS),
    "rss_growth": rss() - rss_before,
    "blocks_growth": sys.getallocatedblocks() - blocks_before,
    "refcounts_changed": [sys.getrefcount(o) for o in TRACKED] != counts_before,
    "mismatches": mismatches,
    "kinds": len(KINDS),
}))
"""


def run_soak(calls):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    proc = subprocess.run([sys.executable, "-c", SOAK, str(calls)], capture_output=True,
                          text=True, timeout=1200, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_soak_of_mixed_calls_leaks_nothing():
    calls = 20_000 if UNDER_ASAN else 100_000
    out = run_soak(calls)
    assert out["calls"] >= calls
    assert out["mismatches"] == 0
    assert not out["refcounts_changed"]
    if not UNDER_ASAN:  # ASan keeps freed memory in quarantine and bypasses pymalloc
        assert out["rss_growth"] < 2 << 20, out
        # A single leaked object per call of one kind would add about 3000 blocks.
        assert out["blocks_growth"] < 300, out
