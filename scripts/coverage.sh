#!/usr/bin/env bash
# Line and branch coverage of the scaling (scale_value and every function it
# calls, in src/scale.cpp and src/single.hpp, and the binary64 road in
# src/scale_binary64.cpp) reached by the x87 comparison alone: builds those
# and tests/differential_test.cpp with Clang's source-based
# coverage in build/coverage, runs only Differential.*, and prints a line per
# function and the total. Fails unless every line and branch is reached.
# Needs: clang, llvm (llvm-cov-14, llvm-profdata-14), libgtest-dev.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/coverage
mkdir -p "$out"
clang++ -std=c++20 -O1 -g -ffp-contract=off -fprofile-instr-generate -fcoverage-mapping \
  -Isrc src/scale.cpp src/scale_binary64.cpp tests/differential_test.cpp -lgtest_main -lgtest -pthread \
  -o "$out/differential"
rm -f "$out"/*.profraw
LLVM_PROFILE_FILE="$out/differential.profraw" "$out/differential" --gtest_filter='Differential.*' |
  grep -E '^differential:|OK|FAILED'
llvm-profdata-14 merge -sparse "$out/differential.profraw" -o "$out/differential.profdata"

# The function there that the scaling does not reach in full: the widening
# to double (the binary64 road widens finite coefficients only; the output
# tests reach the rest).
others='to_double'
llvm-cov-14 report "$out/differential" -instr-profile="$out/differential.profdata" \
  -show-functions -Xdemangler=c++filt src/scale.cpp src/scale_binary64.cpp src/single.hpp > "$out/report.txt"
# The last nine columns: regions, missed, cover; lines, missed, cover;
# branches, missed, cover.
awk -v others="$others" '
  /curvedump::/ && match($0, /::[a-z_0-9]+\(/) {
    name = substr($0, RSTART + 2, RLENGTH - 3)
    if (name ~ "^(" others ")$") next
    n++
    printf "%-20s lines %3d, missed %d   branches %3d, missed %d\n", name, $(NF-5), $(NF-4), $(NF-2), $(NF-1)
    lines += $(NF-5); missed_lines += $(NF-4); branches += $(NF-2); missed_branches += $(NF-1)
  }
  END {
    printf "scaling, %d functions: lines %d of %d reached, branches %d of %d\n", n,
      lines - missed_lines, lines, branches - missed_branches, branches
    exit (missed_lines + missed_branches > 0)
  }' "$out/report.txt"
