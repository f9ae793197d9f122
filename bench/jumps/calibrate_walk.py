"""Regenerates vorn/_jump_walk.py: how far above the cheapest split the true one may cost.

Moving a split k samples off the place of a jump of size delta (noise sd) costs, in noise
variances, the partial sums of 2 delta e_i + delta**2 (e standard normal): a random walk with
drift delta**2 and step variance 4 delta**2 on each side. The true split costs
max(M+, M-) above the cheapest, M the largest value of the walk's negative; its quantiles are
the cost cuts that cover the truth at each level. As delta -> 0 they tend to the limit law
-2 log(1 - sqrt(level)) (5.94 at 0.9); for larger jumps the walk is coarser and the cut
smaller. Simulated with 20,000 pairs of walks per size, seeded, each long enough that the
drift has carried it 60 step deviations below 0.

    .venv/bin/python bench/jumps/calibrate_walk.py
"""

from __future__ import annotations

import pathlib

import numpy as np

SIZES = (0.125, 0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0, 2.5, 3.0, 3.5, 4.0, 5.0, 6.0, 8.0)
LEVELS = (0.5, 0.6, 0.7, 0.8, 0.85, 0.9, 0.95, 0.975, 0.99)
PAIRS = 20000
SEED = 1898


def largest(rng: np.random.Generator, delta: float, count: int) -> np.ndarray:
    steps = int(max(60.0 / delta + 30.0, 60.0 * 2.0 * delta / delta**2 + 30)) if delta < 4 else 40
    best = np.zeros(count)
    total = np.zeros(count)
    for _ in range(steps):
        total -= 2.0 * delta * rng.standard_normal(count) + delta * delta
        np.maximum(best, total, out=best)
    return best


def main() -> None:
    rng = np.random.default_rng(SEED)
    table = []
    for delta in SIZES:
        both = np.maximum(largest(rng, delta, PAIRS), largest(rng, delta, PAIRS))
        table.append(np.quantile(both, LEVELS))
        print(delta, np.round(table[-1], 3))
    rows = ",\n".join("    (" + ", ".join(f"{v:.4f}" for v in row) + ")" for row in table)
    path = pathlib.Path(__file__).resolve().parents[2] / "vorn" / "_jump_walk.py"
    path.write_text(
        '"""Cost cuts of the location interval: quantiles (at LEVELS) of the cost of the true\n'
        "split above the cheapest, in noise variances, for jumps of SIZES noise sd. Generated\n"
        f"by bench/jumps/calibrate_walk.py (seed {SEED}, {PAIRS} walks a size); do not "
        'edit."""\n\n'
        f"SIZES = {SIZES}\nLEVELS = {LEVELS}\nCUTS = (\n{rows},\n)\n")
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
