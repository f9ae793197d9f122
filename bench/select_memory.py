"""Peak memory of one `vorn.select(x, y)` call at large n, per sample, in a fresh interpreter.

    cd bench && ../.venv/bin/python select_memory.py N WORKLOAD [WORKLOAD ...]

WORKLOAD as in bandwidth_sweep (nojump, jumpK). The peak is the kernel's high-water mark of
resident memory (VmHWM), reset just before the call by writing 5 to /proc/self/clear_refs, minus
the resident memory at that moment (the interpreter, NumPy, vorn and the inputs are not counted);
the result is kept alive until the peak is read. Each workload runs in its own interpreter.
"""

import subprocess
import sys

PROBE = """
import gc, sys, time
import vorn
from bandwidth_sweep import workload

def kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])

n, name = int(sys.argv[1]), sys.argv[2]
x, y = workload(name, n, 21)
vorn.select(x[:1000], y[:1000])  # imports and first-touch of the code outside the measurement
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = kib("VmRSS")
start = time.time()
chosen = vorn.select(x, y)
wall = time.time() - start
peak = (kib("VmHWM") - base) * 1024
print(f"n={n} {name}: peak {peak / 1e6:.0f} MB above the inputs, {peak / n:.0f} B/sample, "
      f"wall {wall:.1f} s, jumps {len(chosen.fit.jumps)}")
"""

n = sys.argv[1]
for name in sys.argv[2:]:
    subprocess.run([sys.executable, "-c", PROBE, n, name], check=True)
