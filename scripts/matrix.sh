#!/usr/bin/env bash
# Builds and runs the whole test suite on every target and prints one line
# per target with its test counts. Fails if any target fails.
#
#   scripts/matrix.sh                 all targets
#   scripts/matrix.sh cross-aarch64   only the ones named
#   scripts/matrix.sh --except dev    all but the ones named (.ci/run has run dev)
#
# The type check and the pip recipes (labels `types` and `pip`) do not
# depend on the compiler: dev runs them, the other targets leave them out.
set -uo pipefail
cd "$(dirname "$0")/.."
# The presets fix no job count: build and test on every core unless the
# caller says otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}

declare -A label=(
  [dev]="x86-64 Linux, GCC"
  [dev-clang]="x86-64 Linux, Clang"
  [dev-libcxx]="x86-64 Linux, Clang + libc++"
  [hardened]="x86-64 Linux, Clang, hardening flags"
  [cross-i686]="i686 Linux, GCC -m32"
  [cross-aarch64]="aarch64 Linux, Clang, qemu-user"
  [cross-s390x]="s390x Linux (big-endian), qemu-user"
  [cross-windows]="x86-64 Windows, MinGW-w64, wine"
  [plain]="plain configure, no GoogleTest"
)
all=(dev dev-clang dev-libcxx hardened cross-i686 cross-aarch64 cross-s390x cross-windows plain)
targets=("$@")
if [ "${1:-}" = --except ]; then
  shift
  targets=()
  for t in "${all[@]}"; do [[ " $* " == *" $t "* ]] || targets+=("$t"); done
elif [ ${#targets[@]} -eq 0 ]; then
  targets=("${all[@]}")
fi

# A plain `cmake -S . -B build && cmake --build build` on a machine without
# GoogleTest (hidden from find_package here) must give a working tool, and
# asking for the tests there must fail with a clear message.
plain() {
  local dir=build/plain sample
  rm -rf "$dir"
  cmake -S . -B "$dir" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON &&
    cmake --build "$dir" || return 1
  sample=$(mktemp -d)
  cp examples/damped.bin "$sample/"
  "$dir/curvedump" "$sample/damped.bin" && cmp "$sample/damped.bin.txt" examples/damped.bin.txt ||
    { rm -rf "$sample"; return 1; }
  rm -rf "$sample"
  local refusal
  refusal=$(cmake -S . -B "$dir-required" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    -DCURVEDUMP_TESTS=ON 2>&1) && return 1
  echo "$refusal"
  grep -q 'CURVEDUMP_TESTS is ON but GoogleTest was not found' <<< "$refusal" || return 1
  echo "plain: tool built without GoogleTest, sample converted; tests required: refused"
}

# wine: keep one server for the whole run, so that test processes started
# in parallel never race its start or its exit ("recvmsg: Connection reset
# by peer"), and make the prefix once. `wineserver -p` starts a server that
# stays, before wineboot starts a short-lived one; it exits with 2 when a
# server already runs for this prefix. The script stops the server at exit
# only if it started it: one that was running is someone else's.
if [[ " ${targets[*]} " == *" cross-windows "* ]]; then
  mkdir -p "${WINEPREFIX:-$HOME/.wine}"
  if wineserver -p 2> /dev/null; then trap 'wineserver -k 2> /dev/null || true' EXIT; fi
  WINEDEBUG=-all wineboot -i > /dev/null 2>&1 || true
fi

mkdir -p build/matrix
failed=0
start_all=$SECONDS
for t in "${targets[@]}"; do
  log=build/matrix/$t.log
  start=$SECONDS
  if [ "$t" = plain ]; then
    if plain > "$log" 2>&1; then result=ok; else result=FAILED; failed=1; fi
    printf '%-38s %-6s %s  (%ds)\n' "${label[$t]}" "$result" \
      "tool built and the sample converted; CURVEDUMP_TESTS=ON refused" $((SECONDS - start))
    continue
  fi
  if cmake --workflow --preset "$t" > "$log" 2>&1; then result=ok; else result=FAILED; failed=1; fi
  # ctest's summary: "100% tests passed, 0 tests failed out of 33"
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  bad=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed.*/\1/p' "$log" | tail -n 1)
  skipped=$(grep -c '(Skipped)$' "$log")
  line=$(printf '%-38s %-6s %3s tests, %3s failed, %s skipped  (%ds)' \
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
