#!/usr/bin/env bash
# The figures of bench/SEARCH.md: the dominance search beside PELT (same process, same data),
# then the size of the live list against p and the sample spacing. Prints key=value lines.
#   bash bench/run_search.sh [path/to/bench_search] > bench/search-raw.txt
set -euo pipefail
B=${1:-build/bench/bench_search}

# Targets: no jump, one jump per 1,000 and per 100 samples; d = 1 and 3.
$B --workload nojump --n 20000 --search both
$B --workload nojump --n 100000 --search dominance --repeats 3
$B --workload nojump --n 100000 --d 3 --search dominance --repeats 3
$B --workload nojump --n 1000000 --search dominance
$B --workload nojump --n 1000000 --d 3 --search dominance
$B --workload jumps --jump-every 1000 --n 1000000 --search both
$B --workload jumps --jump-every 100 --n 1000000 --search both
$B --workload jumps --jump-every 100 --n 1000000 --d 3 --search dominance

# The live list against p and the spacing of the sites: no jump, and a penalty of half the
# energy of all samples, so that the optimum is one segment (n = 20,000), the longest the list
# gets; then the default penalty 2 p log n, with which small p splits the curve.
for gamma in "--gamma-whole 0.5" ""; do
  for spacing in 0.1 1 10; do
    for p in 0.1 0.01 0.001 0.0001 0.00001 0.000001; do
      $B --workload nojump --n 20000 --p $p --spacing $spacing --search dominance $gamma
    done
  done
done
