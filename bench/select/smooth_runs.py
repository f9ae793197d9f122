"""How far a wide smooth fit's residuals are more correlated at lag one than the levels' beside
it (`_Weighing.smooth_runs`), on series whose truth is a curve, and on the step classes.

    .venv/bin/python bench/select/smooth_runs.py [--seeds 140]

Every default select that weighs levels beside a smooth choice wider than the first case's
records the statistic and whether the smooth fit leaves what the noise leaves (its claim to
fewer parameters). Per class: the weighings, the claims, and how many claims the statistic
takes past the one-sided 1 % and 0.1 % points.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import false_jumps  # noqa: E402
import nochange  # noqa: E402
import steps  # noqa: E402

import vorn  # noqa: E402
import vorn._select as select_module  # noqa: E402

CURVES = ("bump", "smooth", "ar1", "gap", "line", "noise3000")
STEPS = ("smooth_jumps", "ramp_jumps", "noise_up", "staircase", "stairs", "small_large",
         "blocks", "mixed")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=int, default=140)
    args = ap.parse_args()
    seen = []
    original = select_module._Weighing.smooth_leaves_as_little

    def recording(self):
        claim = original(self)
        seen.append((self.smooth_runs, bool(self.ok_s and claim)))
        return claim

    select_module._Weighing.smooth_leaves_as_little = recording
    rows = {}

    def run(label, x, y):
        seen.clear()
        vorn.select(x, y)
        rows.setdefault(label, []).extend(seen)

    for kind in CURVES + STEPS:
        for seed in range(args.seeds):
            sig = steps.make(kind, seed)
            run(f"steps.py {kind}", sig.x, sig.y)
    for kind in ("sine", "bump", "poly", "line", "noise"):
        for n in (300, 1000):
            for seed in range(60):
                x, y, _ = nochange.make(kind, n, seed)
                run(f"nochange.py {kind} {n}", x, y)
    for kind in ("smooth", "ar0.3", "ar0.5"):
        for n in (200, 600):
            for seed in range(100):
                run(f"false_jumps.py {kind} {n}", *false_jumps.make(kind, n, seed))
    print("| class | weighings | claims | claims past 2.326 | past 3.09 | mean ; sd over claims |")
    print("|---|---|---|---|---|---|")
    for label, got in rows.items():
        claims = np.array([v for v, ok in got if ok])
        spread = f"{claims.mean():.2f} ; {claims.std():.2f}" if claims.size > 1 else "-"
        print(f"| {label} | {len(got)} | {claims.size} | {np.sum(claims > 2.326)} | "
              f"{np.sum(claims > 3.09)} | {spread} |")


if __name__ == "__main__":
    main()
