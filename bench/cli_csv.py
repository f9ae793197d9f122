"""The command line on a large CSV file: wall time and peak memory, end to end.

    python bench/cli_csv.py [--rows 1000000] [--repeat 3] [--own-reader]

writes a seeded file of `rows` rows (an integer site column and one value column: level steps
of 3 every 100,000 rows plus noise of 0.3, values written as shortest round-trip floats),
runs ``vorn fit FILE --p 0.5 --gamma 10`` under ``/usr/bin/time -v`` without and with
``--out``, and prints the best wall time and the peak resident memory of each, with the load
average before the runs. A breakdown of one run in this process follows (import, reading,
fit, writing). ``--own-reader`` measures the line-by-line reader that serves when pandas is
missing (VORN_BENCH_OWN_READER=1 in the child makes vorn.cli skip pandas).
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

# Runs the command line with the fallback reader when asked to (bench only).
_CHILD = """
import os, sys
if os.environ.get("VORN_BENCH_OWN_READER"):
    import vorn._csv
    vorn._csv.USE_PANDAS = False
from vorn.cli import main
sys.exit(main(sys.argv[1:]))
"""


def write_file(path: Path, rows: int) -> None:
    rng = np.random.default_rng(20)
    t = np.arange(rows)
    v = np.where((t // 100_000) % 2 == 0, 0.0, 3.0) + 0.3 * rng.standard_normal(rows)
    with open(path, "w") as handle:
        handle.write("t,v\n")
        handle.write("\n".join(f"{a},{b!r}" for a, b in zip(t.tolist(), v.tolist())))
        handle.write("\n")


def timed(args: list[str], own_reader: bool, cwd: str) -> tuple[float, float, int]:
    env = dict(os.environ, VORN_BENCH_OWN_READER="1" if own_reader else "")
    # Run outside the repository: its source folder would shadow the installed package.
    done = subprocess.run(["/usr/bin/time", "-v", sys.executable, "-c", _CHILD, *args],
                          capture_output=True, text=True, env=env, check=True, cwd=cwd)
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", done.stderr)
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr)
    user = re.search(r"User time \(seconds\): (\S+)", done.stderr)
    system = re.search(r"System time \(seconds\): (\S+)", done.stderr)
    assert wall and peak and user and system, done.stderr
    minutes, seconds = wall.group(1).rsplit(":", 1)
    # CPU time says less about a shared machine's load than wall time does.
    cpu = float(user.group(1)) + float(system.group(1))
    return (float(minutes.split(":")[-1]) * 60.0 + float(seconds), cpu,
            int(peak.group(1)) * 1024)


def breakdown(path: Path, out: Path, own_reader: bool) -> dict[str, float]:
    t0 = time.perf_counter()
    import vorn
    from vorn import _csv, cli

    _csv.USE_PANDAS = not own_reader
    t1 = time.perf_counter()
    table = _csv.load(str(path), sys.stdin, None, None, None, False, None, None)
    t2 = time.perf_counter()
    fitted = vorn.fit(table.x, table.y, 0.5, 10.0)
    t3 = time.perf_counter()
    kept = np.all(np.isfinite(table.y), axis=1)
    cli._write_fitted(fitted, table.x, table.y, kept, "t", ["v"], str(out))
    t4 = time.perf_counter()
    return {"import": t1 - t0, "read": t2 - t1, "fit": t3 - t2, "write --out": t4 - t3}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--own-reader", action="store_true")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path, out = Path(tmp) / "big.csv", Path(tmp) / "fitted.csv"
        write_file(path, options.rows)
        print(f"{options.rows} rows, {path.stat().st_size / 1e6:.1f} MB; "
              f"reader: {'own' if options.own_reader else 'pandas'}")
        print(f"load average before: {os.getloadavg()[0]:.2f} (1 min)")
        base = [str(path), "--p", "0.5", "--gamma", "10"]
        for label, extra in (("without --out", []), ("with --out", ["--out", str(out)])):
            runs = [timed(["fit", *base, *extra], options.own_reader, tmp)
                    for _ in range(options.repeat)]
            best = min(wall for wall, _, _ in runs)
            cpu = min(cpu for _, cpu, _ in runs)
            peak = max(rss for _, _, rss in runs)
            print(f"  {label:14s} best of {options.repeat}: {best:.2f} s wall, {cpu:.2f} s CPU "
                  f"(user + system), peak {peak / 2**20:.0f} MiB ({peak / 1e6:.0f} MB)")
        parts = breakdown(path, out, options.own_reader)
        print("  in one process: " + ", ".join(f"{k} {v:.2f} s" for k, v in parts.items()))
        print(f"load average after: {os.getloadavg()[0]:.2f} (1 min)")


if __name__ == "__main__":
    main()
