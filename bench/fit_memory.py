"""Peak memory of one engine fit from prepared samples (`vorn._engine.fit_prepared`), per sample.

    cd bench && MALLOC_MMAP_THRESHOLD_=1048576 ../.venv/bin/python fit_memory.py [N]

A thread samples the resident memory every millisecond during the fit; the peak is reported
above the resident memory just before it, with the inputs counted out and the result alive.
With the environment variable the C library maps every large block, so the peak is the fit's
own working memory and not what the heap keeps from earlier frees.
"""

import gc
import sys
import threading
import time

import numpy as np

from vorn import _engine


def resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
rng = np.random.default_rng(1)
x = np.arange(1.0, n + 1)
y = (np.sin(x / (n / 20)) + 0.1 * rng.standard_normal(n))[:, None]
w = np.ones(n)
_engine.fit_prepared(x[:100], y[:100], w[:100], 0.5, 1.0, "DOMINANCE", "none")
for label, p, gamma in (("spline, no jump", 1e-6, 1e9), ("spline, searched", 1e-6, 0.5),
                        ("straight lines", 0.0, 1e9)):
    gc.collect()
    base = resident()
    seen = [base]
    done = threading.Event()

    def sample() -> None:
        while not done.is_set():
            seen.append(resident())
            time.sleep(0.001)

    sampler = threading.Thread(target=sample)
    sampler.start()
    fitted = _engine.fit_prepared(x, y, w, p, gamma, "DOMINANCE", "none")
    done.set()
    sampler.join()
    print(f"n={n} {label}: peak {(max(seen) - base) / n:.0f} B/sample, "
          f"result {(resident() - base) / n:.0f} B/sample")
    del fitted
