#!/usr/bin/env bash
# Builds and runs the whole test suite on every target and prints one line
# per target with its test counts. Fails if any target fails.
#
#   scripts/matrix.sh                 all targets
#   scripts/matrix.sh cross-aarch64   only the ones named
set -uo pipefail
cd "$(dirname "$0")/.."

declare -A label=(
  [dev]="x86-64 Linux, GCC"
  [dev-clang]="x86-64 Linux, Clang"
  [cross-i686]="i686 Linux, GCC -m32"
  [cross-aarch64]="aarch64 Linux, Clang, qemu-user"
  [cross-windows]="x86-64 Windows, MinGW-w64, wine"
)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(dev dev-clang cross-i686 cross-aarch64 cross-windows)

mkdir -p build/matrix
failed=0
start_all=$SECONDS
for t in "${targets[@]}"; do
  log=build/matrix/$t.log
  start=$SECONDS
  if cmake --workflow --preset "$t" > "$log" 2>&1; then result=ok; else result=FAILED; failed=1; fi
  # ctest's summary: "100% tests passed, 0 tests failed out of 33"
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  bad=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed.*/\1/p' "$log" | tail -n 1)
  skipped=$(grep -c '(Skipped)$' "$log")
  line=$(printf '%-34s %-6s %3s tests, %3s failed, %s skipped  (%ds)' \
    "${label[$t]:-$t}" "$result" "${total:-?}" "${bad:-?}" "$skipped" $((SECONDS - start)))
  echo "$line"
  # Each skipped test and the reason it gave.
  testlog=build/$t/Testing/Temporary/LastTest.log
  if [ -f "$testlog" ]; then
    grep -A1 ': Skipped$' "$testlog" | grep -vE ': Skipped$|^--$' | sort | uniq -c |
      sed 's/^ *\([0-9]*\) /    skipped (\1): /'
  fi
done
echo "matrix: ${#targets[@]} targets in $((SECONDS - start_all))s"
[ "$failed" -eq 0 ] || { echo "matrix: failures; logs in build/matrix/"; exit 1; }
