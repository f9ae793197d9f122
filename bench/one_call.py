"""One call of one layer on bench_fit_path's data, for allocation counting under valgrind.

    PYTHONMALLOC=malloc valgrind --tool=dhat --dhat-out-file=dhat.WHICH.json \
        ../.venv/bin/python one_call.py WHICH N

WHICH is none (only the data), engine, fit (vorn.fit) or core (_vorn_core.vorn); gamma = inf.
"""

import math
import sys

from bench_fit_path import workload

import _vorn_core
import vorn
from vorn import _engine

which, n = sys.argv[1], int(sys.argv[2])
data = workload(n)
x, y, delta = data["x"], data["y"], data["delta"]
if which == "engine":
    result = _engine.fit(x, y.reshape(-1, 1), delta, 0.5, math.inf, "DOMINANCE", "none")
elif which == "fit":
    result = vorn.fit(x, y, 0.5, math.inf, delta=delta)
elif which == "core":
    result = _vorn_core.vorn(x, y.reshape(-1, 1), 0.5, math.inf, delta)
