"""Partition searches of the automatic choice, counted as samples times searches, per class of
bench/select/steps.py: the smooth choice's searches (grid, checks, final fit) plus those of
every constant choice that `steps_if_simpler` makes, whether it keeps it or not. A count of
work that does not depend on the load of a shared machine.

    .venv/bin/python bench/select/search_work.py --methods narrow-only priced --per-class 40
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import levels_variants  # noqa: E402
import vorn._select as select_module  # noqa: E402
from run import run_method  # noqa: E402
from steps import KINDS, corpus  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--methods", nargs="+", default=["narrow-only", "priced"])
    ap.add_argument("--per-class", type=int, default=40)
    args = ap.parse_args()
    constant = [0]
    plain = select_module._constant_selection

    def counted(problem, *rest):
        out = plain(problem, *rest)
        constant[0] += sum(out[0].searches)
        return out

    # The package's rule and run.py's candidates (levels_variants.py) both fit levels here.
    select_module._constant_selection = counted
    levels_variants._constant_selection = counted
    work = {}
    for method in args.methods:
        per = work.setdefault(method, {})
        for sig in corpus(args.per_class):
            before = constant[0]
            chosen = run_method(method, sig.x, sig.y)
            made = constant[0] - before
            # A constant answer lists the smooth choice's searches and its own.
            smooth = sum(chosen.searches) - (made if chosen.segments == "constant" else 0)
            per[sig.kind] = per.get(sig.kind, 0) + smooth + made
    print("| class | " + " | ".join(args.methods) + " |")
    print("|---|" + "---|" * len(args.methods))
    for kind in KINDS + ("all",):
        cells = [sum(work[m].values()) if kind == "all" else work[m][kind] for m in args.methods]
        print(f"| {kind} | " + " | ".join(f"{c:,}" for c in cells) + " |")


if __name__ == "__main__":
    main()
