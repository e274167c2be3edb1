// The scaling of a raw value: scale * raw + offset.
//
// The result is what an extended-precision unit gives: the product is exact,
// the sum is rounded once to a 64-bit significand (nearest, ties to even),
// and that is rounded again to single precision (nearest, ties to even,
// subnormals included). The double rounding is deliberate: stored files
// were made this way.
//
// Each step is a named routine on integers: unpack the operands
// (single.hpp), multiply the significands exactly, align the product and
// the offset in a 128-bit window, add, normalize, round_to_wide, and
// round_to_single, which rounds to single precision. Any value can take
// this road; special operands (NaN, infinity, zero) branch off to
// scale_special first, and a zero offset skips the addition, whose rounding
// to 64 bits would be exact.
//
// Within a series two shorter roads take nearly every value, and give way
// to that one where they cannot vouch for the same result: with a zero
// offset, the product alone (scale_product); otherwise the sum in one
// 64-bit word (add_in_one_word, where the proof is), aligned by what was
// worked out once per series for each exponent field of the raw value.

#include "scale.hpp"

#include "single.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <utility>

namespace curvedump {

namespace {

using namespace single;

// The functions on the roads within a series are declared inline: GCC at
// -O2, the level distributions build with, keeps a road in one piece only
// with that hint (CONTRIBUTING, "Performance", has the figures).

// The result of an invalid operation: a quiet NaN with its sign bit set.
constexpr std::uint32_t default_nan = 0xFFC00000u;

// A 64-bit significand with its leading bit at bit 63 and bit 0 worth
// 2^exponent has the exponent field exponent + wide_bias.
constexpr int wide_bias = exponent_bias + 63; // 190
// Rounding such a significand to single precision keeps its top 24 bits.
constexpr int dropped_bits = 64 - (fraction_bits + 1); // 40
constexpr std::uint64_t top_bit = std::uint64_t{1} << 63;

// x * 2^-shift in one word, the 1 bits shifted out folded into bit 0 (the
// sticky bit), which keeps the value on the right side of every rounding
// point at least one bit above it. x is not zero.
inline std::uint64_t shift_right_jam(std::uint64_t x, int shift)
{
    if (shift >= 64) // all of x is sticky
        return 1;
    const std::uint64_t lost = x << 1 << (63 - shift); // two steps: no shift by 64
    return x >> shift | (lost != 0 ? 1 : 0);
}

// Round significand * 2^exponent (bit 63 of significand set) to single
// precision, nearest, ties to even; too small becomes subnormal or zero,
// too large infinity.
inline std::uint32_t round_to_single(bool negative, std::uint64_t significand, int exponent)
{
    const std::uint32_t sign = negative ? sign_mask : 0;
    int biased = exponent + wide_bias;
    if (biased < 1) {
        // Subnormal: the leading bit moves down to its place at field 1,
        // where the exponent field below reads 0.
        significand = shift_right_jam(significand, 1 - biased);
        biased = 1;
    } else if (biased > max_biased - 1) {
        return sign | exponent_mask;
    }
    // Round half up, then take an exact tie back down to even.
    const std::uint64_t dropped = significand & ((std::uint64_t{1} << dropped_bits) - 1);
    const std::uint64_t half = std::uint64_t{1} << (dropped_bits - 1);
    auto kept = static_cast<std::uint32_t>(significand >> dropped_bits);
    kept += static_cast<std::uint32_t>(dropped >> (dropped_bits - 1));
    kept &= ~(dropped == half ? 1u : 0u);
    // kept holds the hidden bit, which adds 1 to the exponent field, so the
    // field starts one lower. A carry out of the significand raises the
    // exponent: a subnormal becomes the smallest normal, the largest normal
    // becomes infinity.
    const auto field = static_cast<std::uint32_t>(biased - 1) << fraction_bits;
    return sign | (field + kept);
}

// A 128-bit fixed-point number: high holds the bits from the window's
// exponent up, low the 64 below.
struct Window {
    std::uint64_t high;
    std::uint64_t low;
};

// A 64-bit significand with its leading bit at bit 63, and its exponent.
struct Wide {
    std::uint64_t significand;
    int exponent;
};

// Round the window high:low, its leading bit at bit 63 of high and bit 0 of
// high worth 2^exponent, to a 64-bit significand: low's top bit is the round
// bit. Round half up, then take an exact tie back down to even.
inline Wide round_to_wide(Window w, int exponent)
{
    std::uint64_t high = w.high + (w.low >> 63);
    high &= ~std::uint64_t{w.low == top_bit ? 1u : 0u};
    if (high == 0) // carried out of the top: 2^64
        return {top_bit, exponent + 1};
    return {high, exponent};
}

// A term of the sum: significand * 2^exponent with the leading bit of the
// significand at bit 61, which leaves room above it for a sum's carry.
struct Term {
    bool negative;
    std::uint64_t significand;
    int exponent;
};

constexpr int term_top = 61;
// A product's significand times 2^product_shift is below 2^62 too.
constexpr int product_shift = 14;

// The exact product: 24 x 24 bits fit in 48.
inline Term multiply(Unpacked a, Unpacked b)
{
    const std::uint64_t product = std::uint64_t{a.significand} * b.significand;
    // The product lies in [2^46, 2^48): its leading bit is bit 46 or 47.
    const int shift = term_top - 46 - static_cast<int>(product >> 47);
    return {a.negative != b.negative, product << shift, a.exponent + b.exponent - shift};
}

Term to_term(Unpacked a)
{
    constexpr int shift = term_top - fraction_bits;
    return {a.negative, std::uint64_t{a.significand} << shift, a.exponent - shift};
}

// significand * 2^-distance in a window. Bits that would fall below it are
// dropped, not kept as a sticky bit, because they cannot change a result:
// a term has 14 or more zero bits at the bottom, so bits fall off only when
// it lies at least 79 bits below the other term's leading bit, and then the
// rounding to 64 bits gives back the other term whether it was added or
// subtracted.
inline Window align(std::uint64_t significand, int distance)
{
    if (distance < 64) // nothing falls off
        return {significand >> distance, significand << 1 << (63 - distance)};
    return {0, significand >> std::min(distance - 64, 63)};
}

// The exact sum of two terms, rounded once to a 64-bit significand and then
// to single precision.
inline std::uint32_t add_and_round(Term a, Term b)
{
    // Make a the larger magnitude, so that a - b is never negative.
    if (b.exponent > a.exponent || (b.exponent == a.exponent && b.significand > a.significand))
        std::swap(a, b);
    // b aligned below a in a 128-bit window; both are below 2^62, so their
    // sum does not carry into bit 63.
    const Window w = align(b.significand, a.exponent - b.exponent);
    Window sum{a.significand, 0};
    if (a.negative == b.negative) {
        sum.high += w.high;
        sum.low = w.low;
    } else {
        sum.high -= w.high + (w.low != 0 ? 1 : 0);
        sum.low = 0 - w.low;
        // With exponents 2 or more apart the difference is above 2^60. With
        // 0 or 1 no bit of b reaches low (a term has 14 or more zero bits at
        // the bottom), so high is 0 exactly when the terms cancel.
        if (sum.high == 0)
            return 0; // exact cancellation gives +0
    }
    // Normalize: bring the leading bit to bit 63. A shift of more than 3
    // only follows a cancellation with exponents 0 or 1 apart, when low is 0.
    const int shift = std::countl_zero(sum.high);
    sum.high = sum.high << shift | sum.low >> 1 >> (63 - shift); // two steps: no shift by 64
    sum.low <<= shift;
    const Wide wide = round_to_wide(sum, a.exponent - shift);
    return round_to_single(a.negative, wide.significand, wide.exponent);
}

// NaN, infinite or zero operands (scale or raw zero), with the IEEE 754
// default results.
std::uint32_t scale_special(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset)
{
    // A NaN operand gives that NaN, quieted; the first of scale, raw, offset wins.
    if (is_nan(scale))
        return scale | quiet_bit;
    if (is_nan(raw))
        return raw | quiet_bit;
    if (is_nan(offset))
        return offset | quiet_bit;
    const bool product_negative = is_negative(scale) != is_negative(raw);
    if (is_inf(scale) || is_inf(raw)) {
        if (is_zero(scale) || is_zero(raw))
            return default_nan; // infinity times zero
        if (is_inf(offset) && is_negative(offset) != product_negative)
            return default_nan; // infinities of opposite sign
        return (product_negative ? sign_mask : 0) | exponent_mask;
    }
    if (is_inf(offset))
        return offset;
    // What is left: scale or raw is zero, the other finite.
    if (!is_zero(offset))
        return offset;
    // (-0) + (-0) is -0; any other sum of zeros is +0.
    return product_negative && is_negative(offset) ? sign_mask : 0;
}

// A series' scale and offset, unpacked once for all its values.
struct Coefficients {
    std::uint32_t scale;
    std::uint32_t offset;
    // Scale finite and non-zero, offset finite: then every finite non-zero
    // raw value takes the arithmetic below.
    bool regular;
    Unpacked scale_parts;
    bool offset_zero;
    Term offset_term;
    // For add_in_one_word, with an offset that is not zero: the scale's
    // significand times 2^14 and the offset's term, as signed numbers.
    std::uint64_t scale_signed;
    std::uint64_t offset_signed;
};

Coefficients prepare(std::uint32_t scale, std::uint32_t offset)
{
    Coefficients c{};
    c.scale = scale;
    c.offset = offset;
    c.regular = is_finite_non_zero(scale) && (is_zero(offset) || is_finite_non_zero(offset));
    if (c.regular) {
        c.scale_parts = unpack(scale);
        c.offset_zero = is_zero(offset);
        if (!c.offset_zero) {
            c.offset_term = to_term(unpack(offset));
            const std::uint64_t scale_minus = 0 - std::uint64_t{c.scale_parts.negative};
            c.scale_signed =
                ((std::uint64_t{c.scale_parts.significand} << product_shift) ^ scale_minus) -
                scale_minus;
            const std::uint64_t minus = 0 - std::uint64_t{c.offset_term.negative};
            c.offset_signed = (c.offset_term.significand ^ minus) - minus;
        }
    }
    return c;
}

// What add_in_one_word needs to know of a raw value's exponent field,
// worked out once per series: the offset's term, shifted down to the
// product's exponent where that is the larger; how far the product is
// shifted down to the offset's where that is the larger; and the exponent
// field of a 64-bit significand whose bit 0 is worth what the sum's is.
struct Alignment {
    std::uint64_t offset;
    int product_shift;
    int biased;
};

using Alignments = std::array<Alignment, max_biased + 1>;

Alignment alignment(const Coefficients& c, int field)
{
    // Zero, subnormal, infinite or NaN raw values: the sum is then the
    // product, not zero, and its exponent field so low that add_in_one_word
    // gives way.
    if (field == 0 || field == max_biased)
        return {0, 0, 0};
    const int product_exponent = c.scale_parts.exponent + field - significand_bias - product_shift;
    const int gap = product_exponent - c.offset_term.exponent;
    // Shifts stop at 63: a number below 2^62 shifted further gives the
    // same, 0 or -1.
    if (gap < 0)
        return {c.offset_signed, std::min(-gap, 63), c.offset_term.exponent + wide_bias};
    const std::int64_t shifted = static_cast<std::int64_t>(c.offset_signed) >> std::min(gap, 63);
    return {static_cast<std::uint64_t>(shifted), 0, product_exponent + wide_bias};
}

// The road nearly every sum takes: scale * raw + offset in one 64-bit word,
// then rounded to single precision. It gives the result of add_and_round,
// or gives way to it (returns false) where it cannot be sure to. The offset
// is not zero; a is the alignment for raw's exponent field. Why they agree:
// - The product (of the significands, times 2^14) and the offset's term
//   are signed numbers of magnitude in [2^60, 2^62) and [2^61, 2^62), with
//   14 and 38 or more zero bits at the bottom. The one with the smaller
//   exponent is shifted down to the other's (arithmetic shift: rounded
//   down), and w, their sum, is the exact sum x rounded down: x = w, or x
//   lies strictly between w and w + 1.
// - 1 bits are shifted out of the product only at a distance of 15 or
//   more, of the offset at 39 or more, so below 2^47 is then added to 2^60
//   or more: |w| > 2^59, and x has w's sign.
//   n, |w| normalized by a shift k, has x's units when rounded to 64 bits
//   (or half of them, where |w| is a power of two that |x| lies below), so
//   x and x rounded to 64 bits both lie within 2^k of n, ends included.
//   Here k is 1 to 4.
// - The single-precision midpoints (half-way between two neighbouring
//   values) nearest to n are odd multiples of 2^39 in n's units; those
//   below 2^63 lie 2^38 or more below it. If none lies within 2^4 of n,
//   then n, x and x rounded to 64 bits lie between the same two midpoints
//   and round alike: n by its 40th bit, as it is not a tie. If one does,
//   add_and_round decides.
// - Subnormal results have midpoints that this test does not see, and
//   results beyond the largest exponent are rare: add_and_round takes both.
inline bool add_in_one_word(const Coefficients& c, const Alignment& a, std::uint32_t raw,
                            std::uint32_t& result)
{
    // Signs are taken with masks, not branches: within a series they vary
    // from value to value.
    const auto raw_minus =
        static_cast<std::uint64_t>(std::int64_t{static_cast<std::int32_t>(raw) >> 31});
    const std::uint64_t product =
        (c.scale_signed * ((raw & fraction_mask) | hidden_bit) ^ raw_minus) - raw_minus;
    const auto w = static_cast<std::int64_t>(
        static_cast<std::uint64_t>(static_cast<std::int64_t>(product) >> a.product_shift) +
        a.offset);
    if (w == 0) { // the terms cancel exactly: +0, as add_and_round gives
        result = 0;
        return true;
    }
    const auto minus = static_cast<std::uint64_t>(w >> 63);
    std::uint64_t n = (static_cast<std::uint64_t>(w) ^ minus) - minus;
    const int shift = std::countl_zero(n | 1); // n is not 0
    n <<= shift;
    const int biased = a.biased - shift;
    constexpr std::uint64_t half = std::uint64_t{1} << (dropped_bits - 1);
    constexpr std::uint64_t near = 16;
    const std::uint64_t dropped = n & ((std::uint64_t{1} << dropped_bits) - 1);
    if (biased < 1 || biased > max_biased - 1 || dropped - (half - near) <= 2 * near)
        return false;
    // kept holds the hidden bit, as in round_to_single.
    const auto kept = static_cast<std::uint32_t>(((n >> (dropped_bits - 1)) + 1) >> 1);
    const std::uint32_t exponent_bits = static_cast<std::uint32_t>(biased - 1) << fraction_bits;
    result = (static_cast<std::uint32_t>(minus) & sign_mask) | (exponent_bits + kept);
    return true;
}

// The road every value can take: special operands, the product alone, or
// the sum in a 128-bit window.
std::uint32_t scale_any(const Coefficients& c, std::uint32_t raw)
{
    if (!c.regular || !is_finite_non_zero(raw))
        return scale_special(c.scale, raw, c.offset);
    const Term product = multiply(c.scale_parts, unpack(raw));
    if (c.offset_zero) { // 48 bits: the rounding to 64 bits is exact
        return round_to_single(product.negative, product.significand << (63 - term_top),
                               product.exponent - (63 - term_top));
    }
    return add_and_round(product, c.offset_term);
}

// The biased exponent field: 0 for zero and subnormals, 255 for infinities
// and NaNs.
inline int exponent_field(std::uint32_t f) { return static_cast<int>(f >> fraction_bits & 0xFF); }

// A value of a series whose offset is zero (the scale finite and not zero):
// the product alone, exact in 48 bits, so that its rounding to 64 bits is
// exact too.
inline std::uint32_t scale_product(const Coefficients& c, std::uint32_t raw)
{
    const int field = exponent_field(raw);
    if (field == 0 || field == max_biased)
        return scale_any(c, raw);
    const std::uint64_t product =
        std::uint64_t{c.scale_parts.significand} * ((raw & fraction_mask) | hidden_bit);
    // The product lies in [2^46, 2^48): its leading bit is bit 46 or 47.
    const int shift = 63 - 46 - static_cast<int>(product >> 47);
    return round_to_single(is_negative(raw ^ c.scale), product << shift,
                           c.scale_parts.exponent + field - significand_bias - shift);
}

// A value of a series whose offset is not zero (scale and offset finite,
// the scale not zero).
inline std::uint32_t scale_with_offset(const Coefficients& c, const Alignments& alignments,
                                       std::uint32_t raw)
{
    std::uint32_t result = 0;
    if (add_in_one_word(c, alignments[exponent_field(raw)], raw, result))
        return result;
    return scale_any(c, raw);
}

} // namespace

std::uint32_t scale_value(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset)
{
    const std::array<unsigned char, 4> big_endian{
        static_cast<unsigned char>(raw >> 24), static_cast<unsigned char>(raw >> 16),
        static_cast<unsigned char>(raw >> 8), static_cast<unsigned char>(raw)};
    std::uint32_t value = 0;
    scale_values(scale, offset, big_endian, {&value, 1});
    return value;
}

// Each road is called from one place only, which lets the compiler build
// it into its loop; the raw values are read in the same loop.
void scale_values(std::uint32_t scale, std::uint32_t offset,
                  std::span<const unsigned char> big_endian, std::span<std::uint32_t> values)
{
    const Coefficients c = prepare(scale, offset);
    const std::size_t count = std::min(values.size(), big_endian.size() / 4);
    const unsigned char* raw = big_endian.data();
    const auto read = [raw](std::size_t i) {
        const unsigned char* b = raw + 4 * i;
        return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
               std::uint32_t{b[3]};
    };
    if (c.regular && !c.offset_zero) {
        // The alignments for every exponent field; one value needs its own.
        Alignments alignments;
        if (count == 1) {
            alignments[exponent_field(read(0))] = alignment(c, exponent_field(read(0)));
        } else {
            for (int field = 0; field <= max_biased; ++field)
                alignments[field] = alignment(c, field);
        }
        for (std::size_t i = 0; i < count; ++i)
            values[i] = scale_with_offset(c, alignments, read(i));
    } else if (c.regular) {
        for (std::size_t i = 0; i < count; ++i)
            values[i] = scale_product(c, read(i));
    } else {
        for (std::size_t i = 0; i < count; ++i)
            values[i] = scale_any(c, read(i));
    }
}

} // namespace curvedump
