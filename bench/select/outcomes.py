"""Per-series outcome of the default choice on the jump-free and one-jump corpora of
false_jumps.py and nochange.py, and the series two runs disagree on.

    .venv/bin/python bench/select/outcomes.py OUT.json [--series 200]
    .venv/bin/python bench/select/outcomes.py --compare A.json B.json

Every false_jumps.py class at 20, 50, 100 and 300 samples (`--series` each, its seeds) and
every nochange.py class at 50 and 300 samples (100 seeds each). Per series: the number of
jumps, the mean squared error against the clean curve and the bandwidth in samples. --compare
prints, by class and size, how many series changed, their jumps and mean error before and after, and how many came
closer to the truth.
"""

from __future__ import annotations

import argparse
import collections
import json
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import false_jumps  # noqa: E402
import nochange  # noqa: E402

SIZES = (20, 50, 100, 300)


def outcome(x, y, clean):
    import vorn

    s = vorn.select(x, y)
    return (int(s.fit.jump_indices.size), float(np.mean((s.fit(x) - clean) ** 2)),
            float(s.bandwidth_samples))


def run(series):
    out = {}
    for kind in false_jumps.CLASSES:
        for n in SIZES:
            for seed in range(series):
                out[f"fj/{kind}/{n}/{seed}"] = outcome(*false_jumps.make_with_clean(kind, n, seed))
    for kind in nochange.CLASSES:
        for n in (50, 300):
            for seed in range(100):
                x, y, clean = nochange.make(kind, n, seed)
                out[f"nc/{kind}/{n}/{seed}"] = outcome(x, y, clean)
    return out


def compare(a, b):
    changed = [k for k in a if a[k] != b.get(k)]
    print(f"{len(a)} series, {len(changed)} changed")
    groups = collections.defaultdict(list)
    for k in changed:
        groups[k.rsplit("/", 1)[0]].append(k)
    print("| class / size | changed | jumps before -> after | mean error before -> after | "
          "closer / further |")
    print("|---|---|---|---|---|")
    for g, keys in sorted(groups.items()):
        before = np.array([a[k][1] for k in keys])
        after = np.array([b[k][1] for k in keys])
        error = f"{np.mean(before):.4f} -> {np.mean(after):.4f}"
        print(f"| {g} | {len(keys)} | {sum(a[k][0] for k in keys)} -> "
              f"{sum(b[k][0] for k in keys)} | {error} | {int(np.sum(after < before))} / "
              f"{int(np.sum(after > before))} |")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out", nargs="?")
    ap.add_argument("--series", type=int, default=200)
    ap.add_argument("--compare", nargs=2)
    args = ap.parse_args()
    if args.compare:
        compare(*(json.load(open(p)) for p in args.compare))
        return
    Path(args.out).write_text(json.dumps(run(args.series)))


if __name__ == "__main__":
    main()
