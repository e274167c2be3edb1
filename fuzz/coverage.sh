#!/usr/bin/env bash
# Line coverage of src/ reached by the fuzz corpus: the committed seeds plus
# what fuzz/run.sh has added in build/fuzz/work.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/fuzz-cov
mkdir -p "$out"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer -fprofile-instr-generate -fcoverage-mapping \
  -Isrc fuzz/fuzz_convert.cpp src/decode.cpp src/convert.cpp src/run.cpp src/layout.cpp \
  src/scale.cpp src/decimal.cpp src/output_plan.cpp src/files.cpp src/system_calls_posix.cpp \
  src/windows_paths.cpp -o "$out/fuzz_convert"
dirs=(fuzz/corpus)
[ -d build/fuzz/work ] && dirs+=(build/fuzz/work)
LLVM_PROFILE_FILE="$out/fuzz.profraw" "$out/fuzz_convert" -runs=0 "${dirs[@]}" 2> "$out/run.log"
llvm-profdata-14 merge -sparse "$out/fuzz.profraw" -o "$out/fuzz.profdata"
# The run (run.cpp) is not reached from memory: the report lists the pure steps.
llvm-cov-14 report "$out/fuzz_convert" -instr-profile="$out/fuzz.profdata" \
  src/decode.cpp src/convert.cpp src/layout.cpp src/scale.cpp src/decimal.cpp
