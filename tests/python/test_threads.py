"""Concurrent callers and foreign interpreters: the same answers as serial calls, no crash."""

import importlib.util
import json
import math
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _vorn_core


class BadFloat:
    def __float__(self):
        raise ValueError("no float here")


def make_calls():
    """A mix of successful fits and scores and every kind of failure, as (name, thunk)."""
    rng = np.random.default_rng(17)
    calls = []
    for n, d in ((2, 1), (7, 1), (25, 2), (60, 3), (150, 1)):
        x = np.sort(rng.uniform(0, 10, n))
        y = (np.sin(x)[:, None] * np.arange(1, d + 1)
             + np.where(x > 5, 3.0, 0.0)[:, None] + rng.normal(0, 0.1, (n, d)))
        delta = rng.uniform(0.5, 1.5, n)
        yf = np.asfortranarray(y)
        folds = [list(range(k, n, 3)) for k in range(3)]
        for p, gamma in ((0.9, 1.0), (0.0, 0.5), (1.0, 1.0), (0.5, math.inf), (0.99, 0.0)):
            for pruning, pre in (("FPVI", "none"), ("PELT", "local")):
                calls.append((f"fit {n}x{d} p={p} g={gamma} {pruning} {pre}",
                              lambda x=x, y=yf, dl=delta, p=p, g=gamma, pr=pruning, pc=pre:
                              _vorn_core.vorn(x, y, p, g, dl, pr, pc)))
            calls.append((f"score {n}x{d} p={p} g={gamma}",
                          lambda x=x, y=y, dl=delta, p=p, g=gamma, f=folds:
                          _vorn_core.vorn_cvscore(x, y, p, g, dl, f, "PELT")))
    x = np.arange(5.0)
    y = np.ones((5, 1))
    d = np.ones(5)
    calls += [
        ("bind", lambda: _vorn_core.vorn(x, y, 0.5)),
        ("array", lambda: _vorn_core.vorn(x, [1.0], 0.5, 1.0)),
        ("float", lambda: _vorn_core.vorn(x, y, "0.5", 1.0)),
        ("float raises", lambda: _vorn_core.vorn(x, y, BadFloat(), 1.0)),
        ("overflow", lambda: _vorn_core.vorn(x, y, 10 ** 400, 1.0)),
        ("option", lambda: _vorn_core.vorn(x, y, 0.5, 1.0, None, "Pelt")),
        ("surrogate", lambda: _vorn_core.vorn(x, y, 0.5, 1.0, None, "FPVI", "\udc80")),
        ("p range", lambda: _vorn_core.vorn(x, y, 2.0, 1.0)),
        ("too few", lambda: _vorn_core.vorn(x[:1], y[:1], 0.5, 1.0)),
        ("nan in x", lambda: _vorn_core.vorn(np.array([0.0, math.nan, 2.0]), y[:3], 0.5, 1.0)),
        ("folds str", lambda: _vorn_core.vorn_cvscore(x, y, 0.5, 1.0, d, "01")),
        ("folds overflow", lambda: _vorn_core.vorn_cvscore(x, y, 0.5, 1.0, d, [[2 ** 63]])),
        ("fold index", lambda: _vorn_core.vorn_cvscore(x, y, 0.5, 1.0, d, [[0, 9]])),
    ]
    return calls


def fingerprint(outcome):
    """Everything observable about one outcome, as comparable plain data."""
    if isinstance(outcome, BaseException):
        return ("raised", type(outcome).__name__, str(outcome))
    if isinstance(outcome, float):
        return ("float", outcome.hex())
    parts = []
    for key, value in outcome.items():
        if isinstance(value, np.ndarray):
            parts.append((key, value.dtype.str, value.shape, value.tobytes()))
        elif key == "interval_cell":
            parts.append((key, tuple(a.tobytes() for a in value)))
        elif key == "pp_cell":
            parts.append((key, tuple((f["breaks"].tobytes(), f["coefs"].tobytes(), f["dim"],
                                      f["order"]) for f in value)))
        else:
            parts.append((key, value))
    return ("dict", tuple(parts))


def run(thunk):
    try:
        return thunk()
    except BaseException as exc:  # noqa: BLE001 - failures are outcomes to compare
        return exc


def test_eight_threads_get_the_serial_results():
    calls = make_calls()
    serial = [fingerprint(run(thunk)) for _, thunk in calls]
    assert sum(s[0] == "dict" for s in serial) >= 40
    assert {s[1] for s in serial if s[0] == "raised"} >= {
        "TypeError", "ValueError", "OverflowError", "UnicodeEncodeError", "RuntimeError",
        "InternalFailure"}

    threads_count, rounds = 8, 3
    barrier = threading.Barrier(threads_count)
    seen = [[] for _ in range(threads_count)]
    errors = []

    def worker(t):
        try:
            order = list(range(len(calls)))
            np.random.default_rng(t).shuffle(order)
            barrier.wait()
            for _ in range(rounds):
                for i in order:
                    seen[t].append((i, fingerprint(run(calls[i][1]))))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter lets us
    try:
        workers = [threading.Thread(target=worker, args=(t,)) for t in range(threads_count)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors
    for t in range(threads_count):
        assert len(seen[t]) == rounds * len(calls)
        for i, got in seen[t]:
            assert got == serial[i], f"thread {t}: {calls[i][0]}"


def run_python(code, timeout=300):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout,
                          env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))


def test_first_calls_of_a_process_race_safely():
    # The NumPy table and the InternalFailure type are made on first use, and fetching the
    # table runs Python code (imports), during which another thread may start its own call.
    code = """
        import json, sys, threading
        import numpy as np
        import _vorn_core
        sys.setswitchinterval(1e-6)
        barrier = threading.Barrier(8)
        out = [None] * 8
        def worker(t):
            barrier.wait()
            r = _vorn_core.vorn(None, np.array([[0.0], [1.0], [0.5], [4.0]]), 0.5, 1.0)
            s = _vorn_core.vorn_cvscore(np.arange(4.0), np.ones((4, 1)), 0.5, 1.0,
                                        np.ones(4), [[0], [3]])
            try:
                _vorn_core.vorn_cvscore(np.arange(3.0), np.ones((3, 1)), 0.5, 1.0,
                                        np.ones(3), [[7]])
                failure = None
            except BaseException as exc:
                failure = exc
            out[t] = (r["coefs"].tobytes().hex(), s.hex(), type(failure), str(failure))
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        failure_types = {id(o[2]) for o in out}
        print(json.dumps({"distinct": len({(o[0], o[1], o[3]) for o in out}),
                          "failure_types": len(failure_types),
                          "failure_name": out[0][2].__name__,
                          "failure_base": out[0][2].__bases__ == (BaseException,)}))
    """
    for attempt in range(6):
        proc = run_python(code)
        assert proc.returncode == 0, proc.stderr[-3000:]
        out = json.loads(proc.stdout.strip().splitlines()[-1])
        assert out == {"distinct": 1, "failure_types": 1, "failure_name": "InternalFailure",
                       "failure_base": True}, attempt


# The sub-interpreter API under whichever name this Python gives it: `_interpreters` from 3.13
# (interpreters made with the legacy configuration share the main one's GIL, so an import reaches
# the module's own check rather than CPython's refusal of modules without per-interpreter GIL
# support), `_xxsubinterpreters` before. Each run returns None or "ExceptionType: message".
SUBINTERPRETERS = """
import importlib.util, re
if importlib.util.find_spec("_interpreters") is not None:
    import _interpreters as _api
    def new_interpreter():
        return _api.create("legacy")
    def run_in(sub, code):
        failure = _api.run_string(sub, code)
        if failure is None:
            return None
        return getattr(failure.type, "__name__", str(failure.type)) + ": " + failure.msg
else:
    import _xxsubinterpreters as _api
    def new_interpreter():
        return _api.create()
    def run_in(sub, code):
        try:
            _api.run_string(sub, code)
        except _api.RunFailedError as exc:
            return re.sub(r"^<class '(\\w+)'>: ", r"\\1: ", str(exc))
        return None
close_interpreter = _api.destroy
"""
HAVE_SUBINTERPRETERS = any(importlib.util.find_spec(name) is not None
                           for name in ("_interpreters", "_xxsubinterpreters"))
needs_subinterpreters = pytest.mark.skipif(
    not HAVE_SUBINTERPRETERS, reason="this Python has neither _interpreters nor _xxsubinterpreters")
REFUSAL = ("ImportError: _vorn_core does not support sub-interpreters: it belongs to "
           "interpreter {owner}, not to interpreter {other}")


@needs_subinterpreters
def test_a_second_interpreter_gets_import_error_not_a_crash():
    code = SUBINTERPRETERS + """
import json
import numpy as np
import _vorn_core
report = {}
sub = new_interpreter()
for attempt in range(2):
    report[f"sub import {attempt}"] = run_in(sub, "import _vorn_core")
close_interpreter(sub)
report["main still works"] = _vorn_core.vorn(
    None, np.array([[0.0], [1.0], [0.0]]), 1.0, 1.0)["x"].tolist()
print(json.dumps(report))
"""
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    refused = REFUSAL.format(owner=0, other=1)
    assert report == {"sub import 0": refused, "sub import 1": refused,
                      "main still works": [1.0, 2.0, 3.0]}


@needs_subinterpreters
def test_the_first_interpreter_to_import_owns_the_module():
    code = SUBINTERPRETERS + """
sub = new_interpreter()
print(run_in(sub, "import _vorn_core; assert callable(_vorn_core.vorn)"))
close_interpreter(sub)
try:
    import _vorn_core
    print("main imported")
except ImportError as exc:
    print("ImportError:", exc)
"""
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip().splitlines() == ["None", REFUSAL.format(owner=1, other=0)]
