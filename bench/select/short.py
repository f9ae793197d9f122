"""False-jump rate of the parameter choice on short series of pure noise, by n.

    .venv/bin/python bench/select/short.py [--methods priced main] [--series 200]

Pure normal noise on even sites, n = 4 to 100; prints the share of series with any jump.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run import run_method  # noqa: E402

SIZES = (4, 6, 8, 10, 15, 20, 30, 50, 100)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--methods", nargs="+", default=["priced"])
    ap.add_argument("--series", type=int, default=200)
    args = ap.parse_args()
    print("| n | " + " | ".join(args.methods) + " |")
    print("|---|" + "---|" * len(args.methods))
    for n in SIZES:
        rates = []
        for method in args.methods:
            hits = 0
            for seed in range(args.series):
                y = np.random.default_rng([seed, n, 7]).standard_normal(n)
                hits += run_method(method, np.linspace(0.0, 1.0, n), y).fit.jumps.size > 0
            rates.append(hits / args.series)
        print(f"| {n} | " + " | ".join(f"{r:.3f}" for r in rates) + " |")


if __name__ == "__main__":
    main()
