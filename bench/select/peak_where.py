"""Where one default vorn.select call reaches its peak memory, and the highest point of each step.

    .venv/bin/python bench/select/peak_where.py [N] [--steps 12]

The series of memory.py (a sine with a jump of 2 plus noise of sd 0.3, seed 0). A thread reads
the resident set from /proc/self/status every millisecond and notes the calling thread's
innermost frames each time; the report gives the peak over the inputs per sample, the frames
there (and the other threads', which run the grid's fits), and the steps with the highest
points. Linux only. Runs of one setting differ by 10 to 20 B/sample: glibc keeps freed blocks
in its heaps, and where the grid's two fits meet decides the peak.
"""

from __future__ import annotations

import argparse
import sys
import threading
import time
import traceback

import numpy as np


def resident_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def frames(frame, depth: int) -> str:
    return " > ".join(f"{f.name}:{f.lineno}" for f in traceback.extract_stack(frame)[-depth:])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("n", type=int, nargs="?", default=1_000_000)
    parser.add_argument("--steps", type=int, default=12)
    args = parser.parse_args()
    import vorn

    n = args.n
    rng = np.random.default_rng(0)
    x = np.linspace(0.0, 1.0, n)
    y = np.sin(7.0 * x) + np.where(x > 0.5, 2.0, 0.0) + 0.3 * rng.standard_normal(n)
    caller = threading.get_ident()
    base = resident_kib()
    highest: dict[str, int] = {}
    peak = [0, "", []]
    done = threading.Event()

    def watch() -> None:
        me = threading.get_ident()
        while not done.is_set():
            kib = resident_kib()
            running = sys._current_frames()
            where = frames(running[caller], 4)
            highest[where] = max(highest.get(where, 0), kib)
            if kib > peak[0]:
                peak[:] = [kib, frames(running[caller], 7),
                           [frames(f, 2) for t, f in running.items() if t not in (caller, me)]]
            time.sleep(0.001)

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    t = time.perf_counter()
    vorn.select(x, y)
    t = time.perf_counter() - t
    done.set()
    watcher.join()

    def per_sample(kib: int) -> float:
        return (kib - base) * 1024 / n

    print(f"n = {n}: {t:.2f} s, peak {per_sample(peak[0]):.0f} B/sample at {peak[1]}")
    for other in peak[2]:
        print(f"    another thread: {other}")
    for where, kib in sorted(highest.items(), key=lambda kv: -kv[1])[:args.steps]:
        print(f"{per_sample(kib):6.0f}  {where}")


if __name__ == "__main__":
    main()
