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
// round_to_single, the one routine that rounds to single precision. Every
// value takes this one road; special operands (NaN, infinity, zero) branch
// off to scale_special first, and a zero offset skips the addition, whose
// rounding to 64 bits would be exact.
#include "scale.hpp"

#include "single.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace curvedump {

namespace {

using namespace single;

// The functions on the road every value takes are declared inline: GCC at
// -O2, the level distributions build with, keeps the road in one piece only
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
        if (!c.offset_zero)
            c.offset_term = to_term(unpack(offset));
    }
    return c;
}

inline std::uint32_t scale_one(const Coefficients& c, std::uint32_t raw)
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

} // namespace

std::uint32_t scale_value(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset)
{
    return scale_one(prepare(scale, offset), raw);
}

void scale_values(std::uint32_t scale, std::uint32_t offset, std::span<std::uint32_t> values)
{
    const Coefficients c = prepare(scale, offset);
    for (std::uint32_t& v : values)
        v = scale_one(c, v);
}

} // namespace curvedump
