"""Processor and wall time of `vorn.select(x, y)` on bandwidth_sweep's data.

    cd bench && ../.venv/bin/python select_timing.py N WORKLOAD [WORKLOAD ...]

WORKLOAD is nojump or jumpK (one level jump per K samples on average), as in bandwidth_sweep.
"""

import os
import sys
import time

import vorn
from bandwidth_sweep import workload

n = int(sys.argv[1])
for name in sys.argv[2:]:
    x, y = workload(name, n, 21)
    cpu, wall = time.process_time(), time.time()
    chosen = vorn.select(x, y)
    print(f"load {os.getloadavg()[0]:.1f} n={n} {name}: cpu {time.process_time() - cpu:.1f} s, "
          f"wall {time.time() - wall:.1f} s, jumps {len(chosen.fit.jumps)}", flush=True)
