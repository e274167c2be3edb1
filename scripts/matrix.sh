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

# The Windows leg runs under wine in a prefix of its own (build/wine, made
# once), never the caller's, with a wineserver that the leg starts before
# the tests and stops after them: test processes started in parallel never
# race the server's start or exit ("recvmsg: Connection reset by peer"),
# and nothing else on the machine shares the server or the prefix.
wine_prefix=$PWD/build/wine
wine_server_start() {
  export WINEPREFIX=$wine_prefix WINEDEBUG=-all
  mkdir -p "$WINEPREFIX"
  wineserver -k 2> /dev/null # one left by an earlier leg that was stopped
  wineserver -w
  wineserver -p || return 1
  wineboot -i > /dev/null 2>&1 || true
}
wine_server_stop() {
  WINEPREFIX=$wine_prefix wineserver -k 2> /dev/null
  WINEPREFIX=$wine_prefix wineserver -w
}

# wine's own words when it could not start a process (the loader, the
# server connection, the address space): a test that failed with one of
# them failed for wine, not for the tool. The exit status never says so.
wine_start_failure='wine: (failed to start|could not load (kernel32\.dll|ntdll\.so)|failed to create main module|failed to map the shared user data|could not find BaseThreadInitThunk)|wine client error:|cannot connect to it'

# A test's output in ctest's log.
test_output() {
  awk -v name="$2" '$0 ~ "^[0-9]+/[0-9]+ Test: " name "$" {on = 1} on {print} /^<end of output>$/ {on = 0}' "$1"
}

# The Windows leg: the workflow, then each test that failed because wine
# could not start a process run once more, and said so; any other failure
# fails the leg at once, without a second try.
windows_leg() {
  local dir=build/cross-windows/Testing/Temporary
  wine_server_start || { echo "windows leg: the wineserver did not start"; return 1; }
  # ctest keeps an earlier run's list of failed tests when none fail, and
  # this run's tests may never run (a build that fails): only a list made
  # by this run's tests may lead to a retry.
  rm -f "$dir/LastTestsFailed.log"
  cmake --workflow --preset cross-windows
  local status=$?
  if [ "$status" -eq 0 ] || [ ! -s "$dir/LastTestsFailed.log" ]; then
    wine_server_stop
    return "$status"
  fi
  cp "$dir/LastTest.log" "$dir/FirstTry.log"
  local name names=() message
  while IFS=: read -r _ name; do names+=("$name"); done < "$dir/LastTestsFailed.log"
  for name in "${names[@]}"; do
    message=$(test_output "$dir/FirstTry.log" "$name" | grep -m 1 -E "$wine_start_failure")
    if [ -z "$message" ]; then
      echo "windows leg: $name failed, not for want of a process: not retried"
      wine_server_stop
      return 1
    fi
  done
  for name in "${names[@]}"; do
    message=$(test_output "$dir/FirstTry.log" "$name" | grep -m 1 -E "$wine_start_failure")
    echo "windows leg: retried once, wine could not start a process: $name: $message"
    if ctest --preset cross-windows -R "^${name//./\\.}\$"; then
      echo "windows leg: passed on its second try: $name"
    else
      status=fail
    fi
  done
  wine_server_stop
  [ "$status" != fail ]
}

run_target() {
  if [ "$1" = cross-windows ]; then windows_leg; else cmake --workflow --preset "$1"; fi
}

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
  if run_target "$t" > "$log" 2>&1; then result=ok; else result=FAILED; failed=1; fi
  # ctest's summary: "100% tests passed, 0 tests failed out of 33"; the
  # whole run's is the first (a retried test has its own after it).
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | head -n 1)
  bad=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed.*/\1/p' "$log" | head -n 1)
  [ -n "$bad" ] && bad=$((bad - $(grep -c '^windows leg: passed on its second try' "$log")))
  skipped=$(grep -c '(Skipped)$' "$log")
  line=$(printf '%-38s %-6s %3s tests, %3s failed, %s skipped  (%ds)' \
    "${label[$t]:-$t}" "$result" "${total:-?}" "${bad:-?}" "$skipped" $((SECONDS - start)))
  echo "$line"
  grep '^windows leg: ' "$log" | sed 's/^/    /'
  # Each skipped test and the reason it gave.
  testlog=build/$t/Testing/Temporary/LastTest.log
  if [ -f "$testlog" ]; then
    grep -A1 ': Skipped$' "$testlog" | grep -vE ': Skipped$|^--$' | sort | uniq -c |
      sed 's/^ *\([0-9]*\) /    skipped (\1): /'
  fi
done
echo "matrix: ${#targets[@]} targets in $((SECONDS - start_all))s"
[ "$failed" -eq 0 ] || { echo "matrix: failures; logs in build/matrix/"; exit 1; }
