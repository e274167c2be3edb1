#!/usr/bin/env bash
# Measures the converter on the largest input it accepts: per-value costs
# (Google Benchmark), whole-process wall time against /bin/true (hyperfine),
# whole-process instructions against the printf-style baseline (callgrind),
# and the system calls of one run (strace).
# Needs: hyperfine valgrind strace libbenchmark-dev.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench > /dev/null
cmake --build --preset bench > /dev/null
data=build/bench/data
mkdir -p "$data"
build/bench/make_largest "$data/largest.bin"
tool=build/bench/curvedump
baseline=build/bench/printf_baseline

echo "== per value"
build/bench/bench_values --benchmark_min_time=0.5 2>&1 | grep -E '^(Benchmark|scale|render)'

echo "== whole process, wall time"
hyperfine -N --warmup 50 --runs 1000 --export-json "$data/hyperfine.json" \
  /bin/true "$tool $data/largest.bin" "$baseline $data/largest.bin" 2>&1 | grep -E 'Benchmark|Time'
python3 - "$data/hyperfine.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
print(f"tool / true: {r[1]['mean'] / r[0]['mean']:.2f} (goal: at most 2)")
PY

echo "== whole process, instructions"
count() { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
          sed -n 's/.*Collected : \([0-9]*\).*/\1/p'; }
ours=$(count "$tool" "$data/largest.bin")
theirs=$(count "$baseline" "$data/largest.bin")
awk -v o="$ours" -v t="$theirs" 'BEGIN { printf "tool: %d instructions; printf-style baseline: %d; ratio 1/%.1f (goal: 1/20)\n", o, t, t / o }'

echo "== system calls of one run"
strace -f -c -o "$data/strace.txt" "$tool" "$data/largest.bin" > /dev/null
grep -E 'calls|read|write|openat|close|total' "$data/strace.txt"
