"""Peak memory of one vorn call, run in a fresh interpreter by run_bench.py.

    python mem_probe.py STEM PRUNING P GAMMA

loads STEM-x.npy, STEM-y.npy and STEM-delta.npy, takes the resident memory as the baseline
(after importing NumPy and _vorn_core and loading the inputs), calls vorn once while keeping its
result alive, and prints one JSON line with the baseline, the peak above it (bytes) and the
time of the call.

The peak is the kernel's high-water mark of resident memory (VmHWM), reset to the current
resident size just before the call by writing 5 to /proc/self/clear_refs; without the reset the
high-water mark left by importing NumPy would hide every smaller peak. Where the reset is not
available, ru_maxrss minus the baseline ru_maxrss is reported instead ("method" says which).
"""

import gc
import json
import resource
import sys
import time

import numpy as np
import _vorn_core


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def reset_high_water_mark() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def main() -> None:
    stem, pruning, p, gamma = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
    x = np.load(f"{stem}-x.npy")
    y = np.load(f"{stem}-y.npy")
    delta = np.load(f"{stem}-delta.npy")
    gc.collect()
    if reset_high_water_mark():
        method = "VmHWM after reset"
        baseline = status_kib("VmRSS") * 1024
    else:
        method = "ru_maxrss"
        # Linux reports ru_maxrss in KiB.
        baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    t0 = time.perf_counter()
    result = _vorn_core.vorn(x, y, p, gamma, delta, pruning)
    seconds = time.perf_counter() - t0
    if method == "ru_maxrss":
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    else:
        peak = status_kib("VmHWM") * 1024
    print(json.dumps({"baseline_bytes": baseline, "peak_bytes": peak - baseline,
                      "method": method, "n": int(x.size),
                      "counter": int(result["complexity_counter"]),
                      "found": len(result["discont"]), "seconds": seconds}))


if __name__ == "__main__":
    main()
