"""Which phi the law of the estimated noise is read at, under the significance's kappa rule.

    .venv/bin/python bench/jumps/ar_law_candidates.py SEED    (1,500 series a cell, ~1 minute)

The noise the saving is measured in (variance s2 and correlation phi from second differences)
is itself estimated, so the significance averages the null law over the law of s2 kappa(phi)
over its true value (vorn/_jump_ar.py), which depends on the true phi. Candidates for the phi
it is read at: the estimate itself (the package's), the estimate pulled towards 0 by 3.1 /
sqrt(n) as select does, pulled by one standard deviation of the estimate under white noise
(1.6 / sqrt(n)), and the true phi (an oracle). Jump-free series of 200 samples, even sites,
bandwidth 20 samples, the best split of the inner segment as in run.py.
"""

import math
import sys

import numpy as np
from scipy import stats
from calibrate_null import stationary_ar1

from vorn import _engine, _jumps

M, BANDWIDTH = 200, 20.0
CANDIDATES = {
    "estimate": lambda phi_hat, phi: phi_hat,
    "select's pull": lambda phi_hat, phi: max(phi_hat - 3.1 / math.sqrt(M), 0.0),
    "one sd pull": lambda phi_hat, phi: max(phi_hat - 1.6 / math.sqrt(M), 0.0),
    "true (oracle)": lambda phi_hat, phi: phi,
}


def main() -> None:
    rng = np.random.default_rng(int(sys.argv[1]) if len(sys.argv) > 1 else 8)
    p = 1.0 / (1.0 + BANDWIDTH**4)
    x = np.arange(M, dtype=float)
    law = _jumps.noise_law
    for d in (1, 3):
        for phi in (0.0, 0.3):
            rows = []
            for _ in range(1500):
                e = rng.standard_normal((M, d))
                if phi:
                    e = stationary_ar1(rng, e, phi)
                got = _engine.jump_profiles(x, e, None, p, "none",
                                            np.array([1, M // 2], np.int64), np.zeros(2))
                scale, phi_hat = _jumps.noise_of_values(e)
                rows.append(((got["merged"][1] - got["best"][1]) / p / scale**2, phi_hat))
            print(f"d = {d}, phi = {phi}")
            for name, at in CANDIDATES.items():
                v = []
                for saved, phi_hat in rows:
                    read_at = at(phi_hat, phi)
                    _jumps.noise_law = lambda n, dim, _, r: law(n, dim, read_at, r)
                    v.append(_jumps.null_significance(np.array([saved]), np.array([M - 2.0]),
                                                      np.array([BANDWIDTH]), d, M, phi_hat)[0])
                _jumps.noise_law = law
                a = np.asarray(v)
                print(f"  {name}: KS p {stats.kstest(a, 'uniform').pvalue:.3f}, share < 0.01 "
                      f"{np.mean(a < .01):.3f}, < 0.1 {np.mean(a < .1):.3f}, "
                      f"< 0.5 {np.mean(a < .5):.3f}", flush=True)


if __name__ == "__main__":
    main()
