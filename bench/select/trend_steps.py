"""Blocks on a curved trend (vorn.datasets.blocks_trend): exact jump counts of select methods.

Steps cut into the trend between the blocks' jumps are the way levels that take a smooth
choice's place go wrong where the steps are real and the segments between them are not flat.

    .venv/bin/python bench/select/trend_steps.py --methods among-before priced --seeds 40
"""

from __future__ import annotations

import argparse

from vorn import datasets

from run import run_method

CASES = ((200, 0.3), (512, 0.3), (200, 0.5))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--methods", nargs="+", default=["priced"])
    parser.add_argument("--seeds", type=int, default=40)
    args = parser.parse_args()
    print("| n | noise | " + " | ".join(args.methods) + " |")
    print("|---|---|" + "---|" * len(args.methods))
    for n, noise in CASES:
        exact = dict.fromkeys(args.methods, 0)
        for seed in range(args.seeds):
            x, y, truth = datasets.blocks_trend(n=n, noise=noise, seed=seed)
            for method in args.methods:
                exact[method] += run_method(method, x, y).fit.jump_indices.size == truth.size
        print(f"| {n} | {noise} | " + " | ".join(f"{exact[m]} of {args.seeds}"
                                                 for m in args.methods) + " |")


if __name__ == "__main__":
    main()
