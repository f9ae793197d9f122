"""Shared helpers for the tests of the extension module _vorn_core."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

import _vorn_core

# Fuzzing profiles, chosen with VORN_FUZZ_PROFILE:
#   ci      (the default) derandomised: every run draws the same examples, so unchanged code
#           cannot fail on a new draw. Hypothesis uses no example database when derandomised.
#   random  fresh examples on every run; a failure is saved to the example database
#           (tests/python/.hypothesis) and replayed first on the next run until it passes.
#   long    random, with ten times the examples (or VORN_FUZZ_EXAMPLES per test).
# A failure that a random run finds is pinned as an explicit @example on its test, which every
# profile runs first; strategies for new inputs go beside the existing ones in their test file.
_FUZZ_PROFILE = os.environ.get("VORN_FUZZ_PROFILE", "ci")
_QUIET = dict(deadline=None, suppress_health_check=list(HealthCheck), print_blob=True)
settings.register_profile("ci", derandomize=True, database=None, **_QUIET)
settings.register_profile("random", derandomize=False, **_QUIET)
settings.register_profile("long", derandomize=False, **_QUIET)
if _FUZZ_PROFILE not in ("ci", "random", "long"):
    raise pytest.UsageError(f"VORN_FUZZ_PROFILE must be ci, random or long, got {_FUZZ_PROFILE!r}")
settings.load_profile(_FUZZ_PROFILE)


def fuzz_examples(default):
    """How many examples a fuzz test draws under the chosen profile."""
    if "VORN_FUZZ_EXAMPLES" in os.environ:
        return int(os.environ["VORN_FUZZ_EXAMPLES"])
    return default * 10 if _FUZZ_PROFILE == "long" else default



def run_python(code, timeout=120):
    """Runs code in a fresh interpreter; returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


# An address sanitizer keeps freed memory resident (quarantine) and aborts on huge requests
# instead of failing them, so memory measurements and out-of-memory paths need a plain run.
under_sanitizer = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="memory behaves differently under ASan"
)


def pytest_collection_modifyitems(config, items):
    # Marked tests stay in the suite and run in every plain build; only the sanitizer run,
    # whose allocator aborts instead of failing and keeps freed memory, leaves them out.
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        return
    skip = pytest.mark.skip(reason="cannot run with the address sanitizer preloaded")
    slow = pytest.mark.timeout(3000)  # the sanitized build runs several times slower
    for item in items:
        item.add_marker(slow)
        if item.get_closest_marker("no_sanitizer") or item.get_closest_marker("multiprocess"):
            item.add_marker(skip)


def rss_bytes():
    """Resident set size of this process."""
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


def eval_pp(breaks, coefs, dim, sites):
    """Values of a piecewise cubic (right-continuous pieces) at sites: len(sites) by dim."""
    breaks = np.asarray(breaks, dtype=float)
    pieces = len(breaks) - 1
    coefs = np.asarray(coefs, dtype=float).reshape(pieces, dim, -1)
    sites = np.asarray(sites, dtype=float)
    idx = np.clip(np.searchsorted(breaks, sites, side="right") - 1, 0, pieces - 1)
    t = (sites - breaks[idx])[:, None]
    c = coefs[idx]
    out = np.zeros((len(sites), dim))
    for k in range(c.shape[2]):
        out = out * t + c[:, :, k]
    return out


def bind_error(func, args, kwargs):
    """The TypeError message that calling func(*args, **kwargs) raises."""
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


@pytest.fixture(scope="session")
def internal_failure():
    """The InternalFailure type, reached through a call that breaks an internal invariant."""
    x = np.array([0.0, 1.0, 2.0])
    with pytest.raises(BaseException) as info:
        _vorn_core.vorn_cvscore(x, np.ones((3, 1)), 0.5, 1.0, np.ones(3), [[-1]])
    failure = type(info.value)
    assert failure.__name__ == "InternalFailure"
    return failure


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


def jump_data(rng, n=40, dim=1, jump_at=0.5, jump=5.0, noise=0.05):
    """Samples of a smooth curve with one jump, on jittered integer sites."""
    x = np.arange(n, dtype=float) + rng.uniform(-0.3, 0.3, n)
    base = np.sin(x / 6.0)[:, None] * np.arange(1, dim + 1)
    y = base + np.where(x > jump_at * n, jump, 0.0)[:, None] + rng.normal(0, noise, (n, dim))
    delta = rng.uniform(0.5, 2.0, n)
    return x, y, delta


def mixed_steps(seed, salt, n=560):
    """13 jumps of 1.5 to 5 noise sd between segments of 10 to 70 samples, longest first, and
    the index of the last sample before each jump; `salt` picks the family of series."""
    rng = np.random.default_rng([seed, 22, salt])
    lengths = np.sort(rng.integers(10, 71, 14))[::-1]
    lengths = np.round(lengths * n / lengths.sum()).astype(int)
    lengths[-1] = n - lengths[:-1].sum()
    truth = np.cumsum(lengths)[:-1] - 1
    heights = rng.uniform(1.5, 5.0, 13) * rng.choice([-1, 1], 13)
    clean = np.concatenate([[0.0], np.cumsum(heights)]).repeat(lengths)
    return clean + rng.standard_normal(n), truth


def assert_results_identical(a, b):
    """Two result dictionaries hold the same keys, types and bitwise-equal values."""
    assert list(a) == list(b)
    for key in a:
        va, vb = a[key], b[key]
        assert type(va) is type(vb), key
        if isinstance(va, np.ndarray):
            assert va.dtype == vb.dtype and va.shape == vb.shape, key
            assert np.array_equal(va, vb, equal_nan=True), key
        elif key == "interval_cell":
            assert len(va) == len(vb)
            for ca, cb in zip(va, vb):
                assert ca.dtype == cb.dtype and np.array_equal(ca, cb)
        elif key == "pp_cell":
            assert len(va) == len(vb)
            for fa, fb in zip(va, vb):
                assert list(fa) == list(fb)
                assert np.array_equal(fa["breaks"], fb["breaks"])
                assert np.array_equal(fa["coefs"], fb["coefs"], equal_nan=True)
                assert fa["dim"] == fb["dim"] and fa["order"] == fb["order"]
        else:
            assert va == vb, key


def interrupt_latency(call, after=0.3):
    """Seconds from a SIGINT sent to this thread `after` seconds into `call` until the
    KeyboardInterrupt it must raise (the test fails when `call` ends without one)."""
    main = threading.get_ident()
    sent = []

    def interrupt():
        sent.append(time.perf_counter())
        signal.pthread_kill(main, signal.SIGINT)

    timer = threading.Timer(after, interrupt)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
        return time.perf_counter() - sent[0]
    finally:
        timer.cancel()
