// Decoding the input image and scaling the series.
//
// scale_value computes scale * raw + offset the way an extended-precision
// unit does, but in integers so that every platform gets the same bits: the
// product is exact, the sum is rounded once to a 64-bit significand (nearest,
// ties to even), and that is rounded again to single precision (nearest, ties
// to even, subnormals included). The double rounding is deliberate: stored
// files were made this way.
//
// The steps are those of a software floating-point unit, each in integers:
// unpack the operands, multiply the significands exactly, align the product
// and the offset in a 128-bit window, add, normalize, round to 64 bits with
// the round and sticky bits taken from the window, and round that to single
// precision in round_to_single, the one routine that does so. Every value
// takes this one road; special operands (NaN, infinity, zero) branch off to
// scale_special first.
#include "curvedump.hpp"

#include <algorithm>
#include <bit>

namespace curvedump {

std::int16_t read_be16(std::span<const unsigned char> image, std::size_t pos)
{
    if (pos > image.size() || image.size() - pos < 2)
        return 0;
    const auto bits = static_cast<std::uint16_t>(image[pos] << 8 | image[pos + 1]);
    return static_cast<std::int16_t>(bits);
}

std::uint32_t read_be32(std::span<const unsigned char> image, std::size_t pos)
{
    if (pos > image.size() || image.size() - pos < 4)
        return 0;
    return std::uint32_t{image[pos]} << 24 | std::uint32_t{image[pos + 1]} << 16 |
           std::uint32_t{image[pos + 2]} << 8 | std::uint32_t{image[pos + 3]};
}

SeriesDescriptor decode_descriptor(std::span<const unsigned char> image, std::size_t table_pos)
{
    SeriesDescriptor series;
    series.block = read_be16(image, table_pos + 2);
    series.length = read_be16(image, table_pos + 6);
    series.count = static_cast<std::int16_t>(series.length / 4);
    series.scale = read_be32(image, table_pos + 8);
    series.offset = read_be32(image, table_pos + 12);
    return series;
}

// A series must lie inside the image; an empty one may point anywhere.
bool descriptor_fits(const SeriesDescriptor& series)
{
    if (series.length < 0)
        return false;
    if (series.count == 0)
        return true;
    if (series.block < 0)
        return false;
    const long end = long{series.block} * long{block_size} + 4L * series.count;
    return end <= static_cast<long>(image_size);
}

namespace {

// The functions on the road every value takes are declared inline: a hint
// that GCC at -O2, the level distributions build with, needs to keep the
// road in one piece (without it a value costs about twice as long there;
// measured on the largest input, 8,127 values: 92 µs against 31 to 46 µs).

// Single-precision fields.
constexpr int fraction_bits = 23;
constexpr std::uint32_t sign_mask = 0x80000000u;
constexpr std::uint32_t exponent_mask = 0x7F800000u;
constexpr std::uint32_t fraction_mask = 0x007FFFFFu;
constexpr std::uint32_t hidden_bit = 0x00800000u;
constexpr std::uint32_t quiet_bit = 0x00400000u;
// The result of an invalid operation: a quiet NaN with its sign bit set.
constexpr std::uint32_t default_nan = 0xFFC00000u;
constexpr int exponent_bias = 127;
// A normal value is significand * 2^(field - significand_bias), the
// significand holding the hidden bit; a subnormal one is
// fraction * 2^(1 - significand_bias), 2^-149 its smallest.
constexpr int significand_bias = exponent_bias + fraction_bits; // 150

// A 64-bit significand with its leading bit at bit 63 and bit 0 worth
// 2^exponent has the exponent field exponent + wide_bias.
constexpr int wide_bias = exponent_bias + 63; // 190
// Rounding such a significand to single precision keeps its top 24 bits.
constexpr int dropped_bits = 64 - (fraction_bits + 1); // 40
constexpr std::uint64_t top_bit = std::uint64_t{1} << 63;

bool is_nan(std::uint32_t f) { return (f & ~sign_mask) > exponent_mask; }
bool is_inf(std::uint32_t f) { return (f & ~sign_mask) == exponent_mask; }
bool is_zero(std::uint32_t f) { return (f & ~sign_mask) == 0; }
bool is_negative(std::uint32_t f) { return (f & sign_mask) != 0; }
// The magnitude minus 1 wraps for zero, so one comparison takes both ends.
bool is_finite_non_zero(std::uint32_t f) { return (f & ~sign_mask) - 1 < exponent_mask - 1; }

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
    } else if (biased > 254) {
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

// A finite non-zero single: significand * 2^exponent, significand in
// [2^23, 2^24).
struct Unpacked {
    bool negative;
    std::uint32_t significand;
    int exponent;
};

inline Unpacked unpack(std::uint32_t f)
{
    const int biased = static_cast<int>((f & exponent_mask) >> fraction_bits);
    const std::uint32_t fraction = f & fraction_mask;
    if (biased == 0) { // subnormal: bring the leading bit to the hidden bit's place
        const int shift = std::countl_zero(fraction) - (31 - fraction_bits);
        return {is_negative(f), fraction << shift, 1 - significand_bias - shift};
    }
    return {is_negative(f), fraction | hidden_bit, biased - significand_bias};
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

Term widen(Unpacked a)
{
    constexpr int shift = term_top - fraction_bits;
    return {a.negative, std::uint64_t{a.significand} << shift, a.exponent - shift};
}

// A 128-bit fixed-point number: high holds the bits from the window's
// exponent up, low the 64 below.
struct Window {
    std::uint64_t high;
    std::uint64_t low;
};

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
    if (b.exponent > a.exponent || (b.exponent == a.exponent && b.significand > a.significand)) {
        const Term t = a;
        a = b;
        b = t;
    }
    // b aligned below a in a 128-bit window; both are below 2^62, so their
    // sum does not carry into bit 63.
    const Window w = align(b.significand, a.exponent - b.exponent);
    std::uint64_t high = a.significand;
    std::uint64_t low = 0;
    if (a.negative == b.negative) {
        high += w.high;
        low = w.low;
    } else {
        high -= w.high + (w.low != 0 ? 1 : 0);
        low = 0 - w.low;
        // With exponents 2 or more apart the difference is above 2^60. With
        // 0 or 1 no bit of b reaches low (a term has 14 or more zero bits at
        // the bottom), so high is 0 exactly when the terms cancel.
        if (high == 0)
            return 0; // exact cancellation gives +0
    }
    int exponent = a.exponent;
    // Bring the leading bit to bit 63. A shift of more than 3 only follows a
    // cancellation with exponents 0 or 1 apart, when low is 0.
    const int shift = std::countl_zero(high);
    high = high << shift | low >> 1 >> (63 - shift); // two steps: no shift by 64
    low <<= shift;
    exponent -= shift;
    // First rounding, to a 64-bit significand: low's top bit is the round
    // bit. Round half up, then take an exact tie back down to even.
    high += low >> 63;
    high &= ~std::uint64_t{low == top_bit ? 1u : 0u};
    if (high == 0) { // carried out of the top: 2^64
        high = top_bit;
        ++exponent;
    }
    // Second rounding: to single precision.
    return round_to_single(a.negative, high, exponent);
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
            c.offset_term = widen(unpack(offset));
    }
    return c;
}

inline std::uint32_t scale_one(const Coefficients& c, std::uint32_t raw)
{
    if (!c.regular || !is_finite_non_zero(raw))
        return scale_special(c.scale, raw, c.offset);
    const Term product = multiply(c.scale_parts, unpack(raw));
    if (c.offset_zero) { // 48 bits: the first rounding is exact
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

void scale_series(std::span<const unsigned char> image, const SeriesDescriptor& series,
                  std::span<std::uint32_t> values)
{
    // The raw values that lie inside the image are read directly; any
    // beyond it (never, once the descriptor has been checked) read as zero.
    const std::size_t start =
        series.block > 0 ? static_cast<std::size_t>(series.block) * block_size : 0;
    const std::size_t inside =
        start < image.size() ? std::min(values.size(), (image.size() - start) / 4) : 0;
    const unsigned char* raw = image.data() + (start < image.size() ? start : 0);
    const Coefficients c = prepare(series.scale, series.offset);
    for (std::size_t i = 0; i < inside; ++i, raw += 4) {
        const std::uint32_t bits = std::uint32_t{raw[0]} << 24 | std::uint32_t{raw[1]} << 16 |
                                   std::uint32_t{raw[2]} << 8 | std::uint32_t{raw[3]};
        values[i] = scale_one(c, bits);
    }
    for (std::size_t i = inside; i < values.size(); ++i)
        values[i] = scale_one(c, 0);
}

} // namespace curvedump
