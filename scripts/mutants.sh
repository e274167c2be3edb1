#!/usr/bin/env bash
# Mutation check of the arithmetic and the formatter: applies each fault
# below (to the scaling and its binary64 road, the single-precision fields, the decimal text and
# its five-digit road, the layout or the table of powers) one at a time,
# rebuilds, runs the tests that can tell a fault in the C++ apart (labels
# `unit`, then `end-to-end`; the Python, type, recipe and pip tests cannot
# kill a mutant the C++ tests leave), fastest first and stopping at the
# first failure, and prints a verdict per mutant and the summary "N killed,
# S survived, K equivalent". A mutant listed as equivalent must survive,
# and its line says why no input can tell it apart.
#
# The mutants are made in a copy of the working tree (the files git tracks
# or would track, uncommitted changes included) in a temporary folder, and
# built there (configured once; each mutant rebuilds what it touches), so
# the working tree and build/dev are never touched and other work can go on
# beside it. The logs go to build/mutants. The copy is removed on every
# exit, also on an error, Ctrl-C or SIGTERM.
#
# usage: scripts/mutants.sh [NAME-PATTERN]   run all mutants, or those whose name matches
#        scripts/mutants.sh --list           check that every pattern is found; list them
set -euo pipefail
cd "$(dirname "$0")/.."
only=${1:-}
logs=build/mutants
tmp=$(mktemp -d "${TMPDIR:-/tmp}/curvedump-mutants.XXXXXX")
tree=$tmp/tree build=$tmp/tree/build/mutants

# A build or test run goes in its own session, and this script waits for
# it in the background, so that a signal stops it at once: the trap ends
# the whole session before the copy is removed.
child=
run() {
  setsid -w "$@" &
  child=$!
  local status=0
  wait "$child" || status=$?
  child=
  return "$status"
}
cleanup() {
  if [ -n "$child" ]; then
    kill -TERM -- "-$child" 2> /dev/null || true
    wait "$child" 2> /dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# The copy: every file git tracks or would track that exists now.
mkdir -p "$tree" "$logs"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi; done |
  tar --null -T - -cf - | tar -xf - -C "$tree"

names=() files=() olds=() news=() reasons=()
# mutant NAME FILE OLD NEW [REASON IT IS EQUIVALENT]
mutant() {
  names+=("$1") files+=("$2") olds+=("$3") news+=("$4") reasons+=("${5:-}")
}

d=src/scale.cpp r=src/decimal.cpp f=src/five_digits.hpp p=src/powers_of_ten.hpp
s=src/single.hpp l=src/layout.cpp b=src/scale_binary64.cpp
# --- the scaling ---
mutant "jam: sticky bit dropped" $d \
  'return x >> shift | (lost != 0 ? 1 : 0);' 'return x >> shift;'
mutant "jam: everything sticky from shift 63" $d \
  'if (shift >= 64)' 'if (shift >= 63)' \
  "the significand has bit 63 set, so a shift of 63 gives 1 either way"
mutant "single: subnormal limit off by one" $d \
  'if (biased < 1) {' 'if (biased < 0) {'
mutant "single: overflow limit one too low" $d \
  '} else if (biased > max_biased - 1) {' '} else if (biased > max_biased - 2) {'
mutant "single: overflow limit one too high" $d \
  '} else if (biased > max_biased - 1) {' '} else if (biased > max_biased) {'
mutant "single: round bit dropped" $d \
  'kept += static_cast<std::uint32_t>(dropped >> (dropped_bits - 1));' 'kept += 0;'
mutant "single: ties away from zero" $d \
  'kept &= ~(dropped == half ? 1u : 0u);' 'kept &= ~0u;'
mutant "single: ties to odd" $d \
  'kept &= ~(dropped == half ? 1u : 0u);' 'kept |= (dropped == half ? 1u : 0u);'
mutant "single: exponent field one too high" $d \
  'const auto field = static_cast<std::uint32_t>(biased - 1) << fraction_bits' \
  'const auto field = static_cast<std::uint32_t>(biased) << fraction_bits'
mutant "unpack: subnormal exponent off by one" $s \
  'return {is_negative(f), fraction << shift, 1 - significand_bias - shift};' \
  'return {is_negative(f), fraction << shift, -significand_bias - shift};'
mutant "multiply: sign of the raw value lost" $d \
  'return {a.negative != b.negative, product << shift' 'return {a.negative, product << shift'
mutant "multiply: product left unnormalized" $d \
  'const int shift = term_top - 46 - static_cast<int>(product >> 47);' \
  'const int shift = term_top - 46;'
mutant "align: far shift one bit short" $d \
  'significand >> std::min(distance - 64, 63)' 'significand >> std::min(distance - 63, 63)'
mutant "align: bits below high dropped" $d \
  'return {0, significand >> std::min(distance - 64, 63)};' 'return {0, 0};'
mutant "add: equal exponents never swapped" $d \
  '(b.exponent == a.exponent && b.significand > a.significand)' '(false)'
mutant "add: terms of equal magnitude swapped" $d \
  'b.significand > a.significand' 'b.significand >= a.significand' \
  "swapping two terms of the same magnitude changes nothing: they add alike, and cancel to +0"
mutant "add: borrow out of low lost" $d \
  'sum.high -= w.high + (w.low != 0 ? 1 : 0);' 'sum.high -= w.high;'
mutant "add: result takes the smaller term's sign" $d \
  'return round_to_single(a.negative, wide.significand, wide.exponent);' \
  'return round_to_single(b.negative, wide.significand, wide.exponent);'
mutant "add: exact cancellation gives -0" $d \
  'return 0; // exact cancellation gives +0' 'return sign_mask;'
mutant "add: normalization takes one bit too many from low" $d \
  'sum.low >> 1 >> (63 - shift)' 'sum.low >> (63 - shift)'
mutant "first rounding: round bit dropped" $d \
  'std::uint64_t high = w.high + (w.low >> 63);' 'std::uint64_t high = w.high;'
mutant "first rounding: ties away from zero" $d \
  'high &= ~std::uint64_t{w.low == top_bit ? 1u : 0u};' 'high &= ~std::uint64_t{0};'
mutant "first rounding: sticky bits ignored" $d \
  'high &= ~std::uint64_t{w.low == top_bit ? 1u : 0u};' \
  'high &= ~std::uint64_t{w.low >= top_bit ? 1u : 0u};'
mutant "first rounding: carry out keeps the exponent" $d \
  'return {top_bit, exponent + 1};' 'return {top_bit, exponent};'
mutant "zero offset: product placed one bit low" $d \
  'product.significand << (63 - term_top),' 'product.significand << (62 - term_top),'
mutant "special: signalling NaN raw not quieted" $d \
  'return raw | quiet_bit;' 'return raw;'
mutant "special: infinities of the same sign called invalid" $d \
  'is_negative(offset) != product_negative' 'is_negative(offset) == product_negative'
mutant "special: (-0) + (-0) gives +0" $d \
  'return product_negative && is_negative(offset) ? sign_mask : 0;' 'return 0;'
mutant "special: default NaN without its sign" $d \
  'constexpr std::uint32_t default_nan = 0xFFC00000u;' 'constexpr std::uint32_t default_nan = 0x7FC00000u;'
mutant "prepare: zero offset not regular" $d \
  '(is_zero(offset) || is_finite_non_zero(offset))' 'is_finite_non_zero(offset)'
mutant "bias: 64-bit significand's bias off by one" $d \
  'constexpr int wide_bias = exponent_bias + 63;' 'constexpr int wide_bias = exponent_bias + 62;'
# --- the one-word road, the product alone, the series loop ---
mutant "one word: sign of the raw value lost" $d \
  '(c.scale_signed * ((raw & fraction_mask) | hidden_bit) ^ raw_minus) - raw_minus;' \
  'c.scale_signed * ((raw & fraction_mask) | hidden_bit);'
mutant "one word: exact cancellation gives -0" $d \
  $'result = 0;\n        return true;' $'result = sign_mask;\n        return true;'
mutant "one word: subnormal results kept" $d \
  'if (biased < 1 || biased > max_biased - 1 ||' 'if (biased < 0 || biased > max_biased - 1 ||'
mutant "one word: results past the largest exponent kept" $d \
  'biased > max_biased - 1 || dropped' 'biased > max_biased || dropped'
mutant "one word: no test for a nearby midpoint" $d \
  ' || dropped - (half - near) <= 2 * near)' ')'
mutant "one word: midpoints looked for above n only" $d \
  'dropped - (half - near) <= 2 * near' 'dropped - half <= near'
mutant "one word: midpoints looked for within 4 units" $d \
  'constexpr std::uint64_t near = 16;' 'constexpr std::uint64_t near = 4;'
mutant "one word: midpoints looked for within 8 units" $d \
  'constexpr std::uint64_t near = 16;' 'constexpr std::uint64_t near = 8;' \
  "a shift k of 4 needs |w| within 2^23 below 2^60, and then n's 40 low bits lie within 2^27 below 2^40, far from a midpoint"
mutant "one word: exponent field one too high" $d \
  'exponent_bits = static_cast<std::uint32_t>(biased - 1) << fraction_bits' \
  'exponent_bits = static_cast<std::uint32_t>(biased) << fraction_bits'
mutant "one word: round bit dropped" $d \
  '((n >> (dropped_bits - 1)) + 1) >> 1' 'n >> dropped_bits'
mutant "alignment: zero and subnormal raw values kept" $d \
  $'if (field == 0 || field == max_biased)\n        return {0, 0, 0};' \
  $'if (field == max_biased)\n        return {0, 0, 0};'
mutant "alignment: offset not shifted to a larger product's exponent" $d \
  'static_cast<std::int64_t>(c.offset_signed) >> std::min(gap, 63)' \
  'static_cast<std::int64_t>(c.offset_signed)'
mutant "alignment: product shifted one bit short" $d \
  'std::min(-gap, 63)' 'std::min(-gap - 1, 63)'
mutant "alignment: shifts stop at 62" $d \
  'std::min(-gap, 63)' 'std::min(-gap, 62)' \
  "the product is below 2^62 in magnitude: shifted by 62 or by 63 it gives the same, 0 or -1"
mutant "alignment: product's exponent one too high" $d \
  'c.scale_parts.exponent + field - significand_bias - product_shift;' \
  'c.scale_parts.exponent + field - significand_bias - product_shift + 1;'
mutant "product alone: zero and subnormal raw values kept" $d \
  $'if (field == 0 || field == max_biased)\n        return scale_any(c, raw);' \
  $'if (field == max_biased)\n        return scale_any(c, raw);'
mutant "product alone: product left unnormalized" $d \
  'const int shift = 63 - 46 - static_cast<int>(product >> 47);' 'const int shift = 63 - 47;'
mutant "series: raw values read little-endian" $d \
  'return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16' \
  'return std::uint32_t{b[3]} << 24 | std::uint32_t{b[1]} << 16'
mutant "descriptor: a series ending at the image's end refused" $l \
  'return end <= static_cast<long>(image_size);' 'return end < static_cast<long>(image_size);'
mutant "past the file: a series ending at the file's end called short" $l \
  'static_cast<std::size_t>(end) > file_size' 'static_cast<std::size_t>(end) >= file_size'
# --- the binary64 road ---
mutant "binary64: rounding mode not checked" $b \
  'return (_mm_getcsr() & ~flags) == masks;' 'return (_mm_getcsr() & ~(flags | 0x6000u)) == masks;'
mutant "binary64: flush-to-zero not checked" $b \
  'return (_mm_getcsr() & ~flags) == masks;' 'return (_mm_getcsr() & ~(flags | 0x8000u)) == masks;'
mutant "binary64: denormals-are-zero not checked" $b \
  'return (_mm_getcsr() & ~flags) == masks;' 'return (_mm_getcsr() & ~(flags | 0x0040u)) == masks;'
mutant "binary64: ties looked for one bit low" $b \
  'dropped_half = 1u << (normal_dropped - 1);' 'dropped_half = 1u << (normal_dropped - 2);'
mutant "binary64: ties looked for in the high words" $b \
  '_MM_SHUFFLE(2, 0, 2, 0)' '_MM_SHUFFLE(3, 1, 3, 1)'
mutant "binary64: no tie test in the block" $b \
  '_mm_or_si128(_mm_cmplt_epi32(limit, moved), tie)' '_mm_cmplt_epi32(limit, moved)'
mutant "binary64: results of exponent field 1 taken as sure" $b \
  'constexpr std::uint32_t field_shift = 0x7F000000;' 'constexpr std::uint32_t field_shift = 0x7F800000;'
mutant "binary64: unsure blocks never settled" $b \
  'handed += settle_block(scale, offset, s, o, raw, values.data() + i);' 'handed += 0;'
mutant "binary64: the last block's values not copied out" $b \
  'std::copy_n(last.data(), rest, values.data() + i);' 'static_cast<void>(rest);'
mutant "binary64: subnormal midpoints looked for as normal ones" $b \
  'normal_dropped + std::max(0, smallest_normal_field - field)' 'normal_dropped'
mutant "binary64: 2^-150 not taken for a midpoint" $b \
  'if (dropped > double_fraction_bits + 1)' 'if (dropped > double_fraction_bits)'
mutant "binary64: non-finite raw values kept" $b \
  'if ((bits & exponent_mask) == exponent_mask || on_single_midpoint(sum)) {' \
  'if (on_single_midpoint(sum)) {' \
  "with finite coefficients, SSE2 gives a NaN raw value back quieted with its sign and payload through the widening, the product, the sum and the narrowing, as scale_special does, and an infinite one the infinity of the product's sign"
# --- the formatter ---
mutant "fields: margin narrowed to half" $f \
  'std::uint64_t{1} << 17; // above the error' 'std::uint64_t{1} << 16; // above the error'
mutant "fields: margin's upper end open" $f \
  '<= 2 * margin)' '< 2 * margin)' \
  "the estimate errs by at most 10^5 + 2 < 2^17 units, so a fraction at the margin's end is on the right side"
mutant "fields: ties rounded down" $f \
  'static_cast<std::uint32_t>((x + half) >> 32)' 'static_cast<std::uint32_t>((x + half - 1) >> 32)' \
  "differs only for a fraction of exactly one half, which lies inside the margin and goes to the exact conversion"
mutant "fields: carry into a new digit missed" $f \
  'if (n == 100000) {' 'if (n > 100000) {'
mutant "fields: carry keeps the exponent" $f \
  $'n = 10000;\n        ++k;' 'n = 10000;'
mutant "fields: division by ten from exactly 10^5 on skipped" $f \
  'if (x >= std::uint64_t{100000} << 32) {' 'if (x > std::uint64_t{100000} << 32) {' \
  "at exactly 10^5 the carry gives 1.0000 with the next exponent, as the division does"
mutant "fields: extra digit at 10^5 missed" $f \
  'if (x >= std::uint64_t{100000} << 32) {' 'if (x >= std::uint64_t{1000000} << 32) {'
mutant "fields: table row one exponent too high" $f \
  'const int biased = u.exponent + single::significand_bias;' \
  'const int biased = u.exponent + single::significand_bias + 1;'
mutant "fields: fixed-point shift off by one" $f \
  '-(e + p.exponent + 32), k};' '-(e + p.exponent + 31), k};'
mutant "fields: sign of negative values lost" $r \
  $'out[0] = single::is_negative(bits) ? \'-\' : \' \';\n        return put_five_digits' \
  $'out[0] = \' \';\n        return put_five_digits'
mutant "fields: last two digits from the wrong pair" $r \
  'put_pair(out + 4, rest % 100);' 'put_pair(out + 4, rest / 100);'
mutant "fields: zero written with exponent 1" $r \
  'return put_five_digits(out + 1, 0, 0);' 'return put_five_digits(out + 1, 0, 1);'
mutant "fields: exact conversion at precision 3" $r \
  'std::chars_format::scientific, 4);' 'std::chars_format::scientific, 3);'
mutant "text: NaN signs swapped" $r \
  'return single::is_negative(f) ? "-NAN" : "+NAN";' 'return single::is_negative(f) ? "+NAN" : "-NAN";'
mutant "text: double exponent bias off by one" $s \
  'u.exponent + fraction_bits + double_bias' 'u.exponent + fraction_bits + double_bias - 1'
mutant "table: 10^-1 one unit low" $p \
  '{0xCCCCCCCD, -35}' '{0xCCCCCCCC, -35}'
mutant "table: 10^4 one unit high" $p \
  '{0x9C400000, -18}' '{0x9C400001, -18}'
mutant "table: 10^-33 one unit high" $p \
  '{0xA6274BBE, -141}' '{0xA6274BBF, -141}'

# Replace the one occurrence of OLD in FILE (of the copy) by NEW, keeping
# the original to restore; fail if OLD is not there exactly once, so that a
# mutant can never test nothing.
apply() {
  local file=$1 old=$2 new=$3 text rest count
  cp "$tree/$file" "$tmp/original"
  text=$(<"$tree/$file")
  rest=${text//"$old"/}
  count=$(((${#text} - ${#rest}) / ${#old}))
  if [ "$count" -ne 1 ]; then
    echo "mutants: found $count times in $file, expected once: $old" >&2
    exit 2
  fi
  printf '%s\n' "${text/"$old"/"$new"}" > "$tree/$file"
}
restore() { cp "$tmp/original" "$tree/$1"; }

suite() {
  run cmake --build "$build" -j2 --target curvedump curvedump_tests > "$logs/build.log" 2>&1 ||
    { echo "mutants: build failed, see $logs/build.log" >&2; return 2; }
  # Without the costs of the last run, ctest starts the tests in the order
  # they are defined, the quickest first (tests/CMakeLists.txt).
  rm -f "$build/Testing/Temporary/CTestCostData.txt"
  run ctest --test-dir "$build" -L '^(unit|end-to-end)$' -j2 --timeout 300 --stop-on-failure \
    > "$logs/test.log" 2>&1
}

if [ "$only" = --list ]; then
  for i in "${!names[@]}"; do
    apply "${files[i]}" "${olds[i]}" "${news[i]}"
    restore "${files[i]}"
    echo "${files[i]}: ${names[i]}${reasons[i]:+ (equivalent)}"
  done
  echo "${#names[@]} mutants"
  exit 0
fi

start=$SECONDS
run cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
  -DCURVEDUMP_TESTS=ON > "$logs/configure.log" 2>&1 || { cat "$logs/configure.log"; exit 2; }
suite || { echo "mutants: the everyday suite fails without any mutant" >&2; exit 2; }

# Microseconds since the epoch.
now() { local t=${EPOCHREALTIME/[.,]/}; echo "$t"; }
killed=0 survived=0 equivalent=0 wrong=0 count=0 mutants_start=$(now)
for i in "${!names[@]}"; do
  [ -z "$only" ] || [[ ${names[i]} == *$only* ]] || continue
  count=$((count + 1))
  apply "${files[i]}" "${olds[i]}" "${news[i]}"
  status=0
  suite || status=$?
  [ "$status" -ne 2 ] || exit 2
  restore "${files[i]}"
  if [ "$status" -ne 0 ]; then
    if [ -n "${reasons[i]}" ]; then
      echo "KILLED, though listed as equivalent: ${names[i]}"
      wrong=$((wrong + 1))
    else
      echo "killed      ${names[i]}"
    fi
    killed=$((killed + 1))
  elif [ -n "${reasons[i]}" ]; then
    echo "equivalent  ${names[i]}: ${reasons[i]}"
    equivalent=$((equivalent + 1))
  else
    echo "SURVIVED    ${names[i]}"
    survived=$((survived + 1))
  fi
done
per_mutant=$(((($(now) - mutants_start) / ${count/#0/1} + 50000) / 100000))
echo "$killed killed, $survived survived, $equivalent equivalent ($((SECONDS - start)) s;" \
  "$((per_mutant / 10)).$((per_mutant % 10)) s a mutant, rebuild included)"
[ "$survived" -eq 0 ] && [ "$wrong" -eq 0 ]
