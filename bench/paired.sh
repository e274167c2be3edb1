#!/usr/bin/env bash
# Paired wall-time comparison of two builds of the tool on one input: runs
# A and B alternately (the order swapped every pair, so that drift and
# warm-up fall on both alike), and prints the median of the ratios B / A
# with the quartiles, and each side's median time.
#
# usage: bench/paired.sh A B INPUT [PAIRS]     (PAIRS defaults to 2000)
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 A B INPUT [PAIRS]" >&2; exit 2; }
python3 - "$1" "$2" "$3" "${4:-2000}" <<'PY'
import os, statistics, sys, time

a, b, path, pairs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
null = os.open(os.devnull, os.O_WRONLY)

def run(tool):
    start = time.perf_counter_ns()
    pid = os.posix_spawn(tool, [tool, path], os.environ,
                         file_actions=[(os.POSIX_SPAWN_DUP2, null, 1)])
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter_ns() - start
    if status != 0:
        sys.exit(f"{tool} failed with status {status}")
    return elapsed

for _ in range(50):  # warm up the page cache and the branch predictors
    run(a), run(b)
ratios, times_a, times_b = [], [], []
for i in range(pairs):
    if i % 2 == 0:
        ta = run(a); tb = run(b)
    else:
        tb = run(b); ta = run(a)
    times_a.append(ta); times_b.append(tb); ratios.append(tb / ta)
q = statistics.quantiles(ratios, n=4)
print(f"A median {statistics.median(times_a) / 1e3:.1f} us, "
      f"B median {statistics.median(times_b) / 1e3:.1f} us, {pairs} pairs")
print(f"B / A: median {q[1]:.4f} (quartiles {q[0]:.4f} to {q[2]:.4f})")
PY
