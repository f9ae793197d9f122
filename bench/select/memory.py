"""Time and peak memory of one default vorn.select call, by n.

    .venv/bin/python bench/select/memory.py [--sizes 100000 1000000] [--repeats 2] [--jump 0]

The series: a sine with a jump of 2 (or `--jump`) at the middle plus noise of sd 0.3 on evenly
spaced sites (seed 0). Each call runs in a fresh interpreter, so that one call's heap does not lower or
raise the next one's peak. The peak is the process's maximum resident set during the call
above the one before it (the interpreter, numpy, vorn and the two input arrays), per sample.
Run the same command with another checkout's interpreter for a baseline, in the same session:
timings on a shared machine move with its load (print `uptime` beside them).
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile

ONE_CALL = """
import resource, sys, time
import numpy as np
import vorn
n = int(sys.argv[1])
rng = np.random.default_rng(0)
x = np.linspace(0.0, 1.0, n)
y = np.sin(7.0 * x) + np.where(x > 0.5, float(sys.argv[2]), 0.0) + 0.3 * rng.standard_normal(n)
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t = time.perf_counter()
s = vorn.select(x, y)
t = time.perf_counter() - t
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(f"{t:.2f} {(peak - base) * 1024 / n:.0f} {s.fit.jumps.size} {s.segments}")
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--jump", type=float, default=2.0)
    args = parser.parse_args()
    print("| n | seconds | peak B/sample over the inputs | jumps | segments |")
    print("|---|---|---|---|---|")
    for n in args.sizes:
        for _ in range(args.repeats):
            # Away from a checkout, whose vorn/ would shadow the installed package.
            out = subprocess.run([sys.executable, "-c", ONE_CALL, str(n), str(args.jump)], check=True,
                                 capture_output=True, text=True,
                                 cwd=tempfile.gettempdir()).stdout.split()
            print(f"| {n} | {out[0]} | {out[1]} | {out[2]} | {out[3]} |", flush=True)


if __name__ == "__main__":
    main()
