"""Why jumps of 3 noise sd miss significance < 0.01: the package's significance beside one
that knows the noise (sd and phi true, no estimate to average over), on run.py's corpus.

    .venv/bin/python bench/jumps/power_sources.py [--sims 200]

For each cell: the share of found jumps with significance < 0.01 as the package computes it
("estimated noise") and with the true noise ("known noise"), and the median saving in noise
variances. Where both are low the data are the limit (the saving of a 3 sd jump against the
largest saving noise gives over the segment's splits); where only the first is, the noise
estimate's spread is.
"""

from __future__ import annotations

import argparse
import itertools
import math

import numpy as np

import run
import vorn
from vorn import _jumps


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sims", type=int, default=200)
    args = parser.parse_args()
    rng = np.random.default_rng(run.SEED + 7)
    print("| segments | d | noise | size | found | estimated noise | known noise | "
          "median saving (known noise) |")
    print("|---|---|---|---|---|---|---|---|")
    for smooth, d, phi, size in itertools.product((False, True), (1, 3), (0.0, 0.3),
                                                  (3.0, 5.0)):
        estimated, known, savings, found = [], [], [], 0
        for _ in range(args.sims):
            x, y, where = run.signal(rng, smooth, False, d, phi, size)
            f = vorn.fit(x, y if d > 1 else y[:, 0], bandwidth_samples=run.BANDWIDTH[smooth],
                         penalty=run.PENALTY + 3.5 * (d - 1))
            s_true = int(np.searchsorted(x, where) - 1)
            if f.jump_indices.size == 0 or np.min(np.abs(f.jump_indices - s_true)) > 5:
                continue
            found += 1
            j = int(np.argmin(np.abs(f.jumps - where)))
            rep, got = _jumps.report(f, run.LEVEL)
            estimated.append(float(rep.evidence.significance[j]))
            m, b = run.segment_shape(f.x, f.p, got, j)
            saved = float(got["merged"][j] - got["at_fit"][j]) / f.p
            savings.append(saved)
            known.append(float(_jumps.null_significance(
                np.array([saved]), np.array([m]), np.array([b]), d, math.inf, phi)[0]))
        print(f"| {'smooth' if smooth else 'constant'} | {d} | "
              f"{'AR ' + str(phi) if phi else 'white'} | {size} | {found / args.sims:.3f} | "
              f"{np.mean(np.asarray(estimated) < 0.01):.3f} | "
              f"{np.mean(np.asarray(known) < 0.01):.3f} | {np.median(savings):.1f} |",
              flush=True)


if __name__ == "__main__":
    main()
