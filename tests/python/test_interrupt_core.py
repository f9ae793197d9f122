"""Ctrl-C during a long call of the extension: KeyboardInterrupt within a fraction of a second,
everything freed, and the next call as if nothing had happened."""

from __future__ import annotations

import gc
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import _vorn_core
from conftest import rss_bytes

# A signal sent to this process must reach the interpreter's own handler; under the sanitizer
# preload the timing is not representative either.
pytestmark = pytest.mark.no_sanitizer

DELAY = 0.3  # seconds from the start of the call to the signal


def smooth_data(n, dim=1, seed=5):
    """A smooth curve without jumps on uneven sites: PELT keeps every start, so its work grows
    as n^2 / 2 (tens of seconds at n = 30,000)."""
    rng = np.random.default_rng(seed)
    x = np.arange(n, dtype=float) + rng.uniform(-0.3, 0.3, n)
    y = (4.0 * np.sin(x / 60.0))[:, None] * np.arange(1, dim + 1) + rng.normal(0.0, 1.0, (n, dim))
    return x, y, np.ones(n)


# The extension holds the interpreter lock for the whole call, so no thread of this process
# can run Python code to send the signal: a small child process sends it and reports when, on
# the system-wide monotonic clock that time.monotonic() reads here too.
SENDER = """
import os, signal, sys, time
time.sleep(float(sys.argv[2]))
sent = time.monotonic()
os.kill(int(sys.argv[1]), signal.SIGINT)
print(sent, flush=True)
"""


@pytest.fixture
def interrupt_after():
    """arm() starts a child that sends SIGINT to this process DELAY seconds later; sent()
    returns when it did."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    children = []

    def arm():
        children.append(subprocess.Popen(
            [sys.executable, "-c", SENDER, str(os.getpid()), str(DELAY)],
            stdout=subprocess.PIPE, text=True))

    def sent():
        out, _ = children[-1].communicate(timeout=60)
        return float(out)

    yield arm, sent
    for child in children:
        if child.poll() is None:
            child.kill()
        child.communicate()
    signal.signal(signal.SIGINT, previous)


def interrupted_latency(call, arm, sent):
    start = time.monotonic()
    arm()
    with pytest.raises(KeyboardInterrupt):
        call()
    caught = time.monotonic()
    sent_at = sent()
    assert sent_at >= start
    return caught - sent_at


def vorn_pelt(x, y, delta):
    return _vorn_core.vorn(x, y, 1e-3, 2e-3 * np.log(len(x)), delta, pruning="PELT")


@pytest.mark.parametrize("pruning", ["PELT", "FPVI"])
def test_vorn_answers_ctrl_c_and_the_next_call_is_unchanged(interrupt_after, pruning):
    arm, sent = interrupt_after
    small = smooth_data(1500, dim=2, seed=7)
    before = _vorn_core.vorn(*small[:2], 1e-3, 0.05, small[2], pruning=pruning)

    # Without jumps and with a small penalty both searches reach back over the whole segment:
    # tens of seconds uninterrupted.
    x, y, delta = smooth_data(30000)
    gamma = 2e-3 * np.log(len(x))
    latency = interrupted_latency(
        lambda: _vorn_core.vorn(x, y, 1e-3, gamma, delta, pruning=pruning), arm, sent)
    print(f"{pruning}: KeyboardInterrupt {latency * 1e3:.1f} ms after SIGINT")
    assert latency < 1.0

    after = _vorn_core.vorn(*small[:2], 1e-3, 0.05, small[2], pruning=pruning)
    assert list(after) == list(before)
    for key in before:
        if isinstance(before[key], np.ndarray):
            assert before[key].tobytes() == after[key].tobytes(), key
    assert after["complexity_counter"] == before["complexity_counter"]


def test_cvscore_answers_ctrl_c_and_the_next_call_is_unchanged(interrupt_after):
    arm, sent = interrupt_after
    small = smooth_data(800, seed=8)
    small_folds = [list(range(k, 800, 5)) for k in range(5)]
    before = _vorn_core.vorn_cvscore(*small[:2], 1e-3, 0.05, small[2], small_folds,
                                     pruning="PELT")

    x, y, delta = smooth_data(30000)
    folds = [list(range(k, len(x), 3)) for k in range(3)]
    latency = interrupted_latency(
        lambda: _vorn_core.vorn_cvscore(x, y, 1e-3, 2e-3 * np.log(len(x)), delta, folds,
                                        pruning="PELT"),
        arm, sent)
    print(f"cvscore: KeyboardInterrupt {latency * 1e3:.1f} ms after SIGINT")
    assert latency < 1.0

    after = _vorn_core.vorn_cvscore(*small[:2], 1e-3, 0.05, small[2], small_folds,
                                    pruning="PELT")
    assert np.float64(after).tobytes() == np.float64(before).tobytes()


def test_interrupted_calls_leave_nothing_behind(interrupt_after):
    arm, sent = interrupt_after
    # Five columns make PELT's states 14 doubles per sample: a leak of the interrupted call's
    # buffers would add megabytes per call.
    x, y, delta = smooth_data(30000, dim=5)
    gc.collect()
    interrupted_latency(lambda: vorn_pelt(x, y, delta), arm, sent)
    baseline = rss_bytes()
    for _ in range(4):
        interrupted_latency(lambda: vorn_pelt(x, y, delta), arm, sent)
    gc.collect()
    grown = rss_bytes() - baseline
    print(f"resident memory grew by {grown / 1e6:.2f} MB over 4 interrupted calls")
    assert grown < 4 * 30000 * 14 * 8 / 2
