#!/usr/bin/env bash
# Builds the fuzz target and fuzzes the conversion for SECONDS (default 180)
# from the committed seed corpus. New inputs go to build/fuzz/work, crash
# inputs to build/fuzz/artifacts; any finding makes this script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-180}
cmake --preset fuzz > /dev/null
cmake --build --preset fuzz --target fuzz_convert
work=build/fuzz/work
mkdir -p "$work" build/fuzz/artifacts
build/fuzz/fuzz_convert -max_total_time="$seconds" -max_len=33000 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ \
  "$work" fuzz/corpus
