"""Runs the dominance search beside PELT on the inputs of the golden corpus.

    .venv/bin/python bench/search_golden.py [build/bench/search_golden]

Writes the corpus inputs (tests/python/data/golden.npz) to a temporary file in the plain layout
that search_golden.cpp reads, then runs it; its exit status is the tool's.
"""

import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))
import make_golden  # noqa: E402


def write_inputs(path):
    cases = make_golden.load_golden()
    with open(path, "wb") as f:
        f.write(struct.pack("<q", len(cases)))
        for c in cases:
            name = c["name"].encode()
            y = np.ascontiguousarray(c["y"], dtype=np.float64)
            f.write(struct.pack("<q", len(name)) + name)
            f.write(struct.pack("<qqddqqq", y.shape[0], y.shape[1], c["p"], c["gamma"],
                                c["x"] is not None, c["delta"] is not None,
                                c["precondition"] == "local"))
            for a in (c["x"], y, c["delta"]):
                if a is not None:
                    f.write(np.ascontiguousarray(a, dtype=np.float64).tobytes())


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else str(ROOT / "build" / "bench" / "search_golden")
    with tempfile.TemporaryDirectory() as tmp:
        inputs = Path(tmp) / "golden-inputs.bin"
        write_inputs(inputs)
        return subprocess.run([tool, str(inputs)]).returncode


if __name__ == "__main__":
    sys.exit(main())
