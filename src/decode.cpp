// Decoding the input image and scaling the series.
//
// scale_value computes scale * raw + offset the way an extended-precision
// unit does, but in integers so that every platform gets the same bits: the
// product is exact, the sum is rounded once to a 64-bit significand (nearest,
// ties to even), and that is rounded again to single precision (nearest, ties
// to even, subnormals included). The double rounding is deliberate: stored
// files were made this way.
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

constexpr std::uint32_t sign_mask = 0x80000000u;
constexpr std::uint32_t exponent_mask = 0x7F800000u;
constexpr std::uint32_t fraction_mask = 0x007FFFFFu;
constexpr std::uint32_t hidden_bit = 0x00800000u;
constexpr std::uint32_t quiet_bit = 0x00400000u;
// The result of an invalid operation: a quiet NaN with its sign bit set.
constexpr std::uint32_t default_nan = 0xFFC00000u;
constexpr std::uint64_t top_bit = std::uint64_t{1} << 63;

bool is_nan(std::uint32_t f) { return (f & ~sign_mask) > exponent_mask; }
bool is_inf(std::uint32_t f) { return (f & ~sign_mask) == exponent_mask; }
bool is_zero(std::uint32_t f) { return (f & ~sign_mask) == 0; }
bool is_negative(std::uint32_t f) { return (f & sign_mask) != 0; }

// A finite non-zero magnitude: significand * 2^exponent.
struct Exact {
    bool negative;
    std::uint64_t significand;
    int exponent;
};

Exact unpack(std::uint32_t f)
{
    const int biased = static_cast<int>((f >> 23) & 0xFF);
    const std::uint32_t fraction = f & fraction_mask;
    if (biased == 0)
        return {is_negative(f), fraction, -149};
    return {is_negative(f), fraction | hidden_bit, biased - 150};
}

// Shift the significand up until its top bit is bit 63.
Exact normalize(Exact x)
{
    const int shift = std::countl_zero(x.significand);
    return {x.negative, x.significand << shift, x.exponent - shift};
}

// 24 x 24 bits fit in 48: the product is exact.
Exact multiply(Exact a, Exact b)
{
    return {a.negative != b.negative, a.significand * b.significand, a.exponent + b.exponent};
}

// A 128-bit fixed-point window: high holds the 64 bits from 2^exponent up,
// low the 64 below.
struct Window {
    std::uint64_t high;
    std::uint64_t low;
};

// Shift right by `shift` bits; any 1 bit shifted out is kept as bit 0
// (the sticky bit), so the value stays on the correct side of every
// rounding point that lies at least two bits above it.
Window shift_right_jam(Window x, int shift)
{
    if (shift == 0)
        return x;
    if (shift < 64) {
        const std::uint64_t lost = x.low << (64 - shift);
        return {x.high >> shift, x.high << (64 - shift) | x.low >> shift | (lost != 0 ? 1u : 0u)};
    }
    if (shift < 128) {
        const std::uint64_t lost = shift == 64 ? x.low : (x.low | x.high << (128 - shift));
        return {0, x.high >> (shift - 64) | (lost != 0 ? 1u : 0u)};
    }
    return {0, (x.high | x.low) != 0 ? 1u : 0u};
}

// Round a magnitude to single precision, nearest, ties to even.
// The magnitude is significand * 2^exponent with bit 63 of significand set;
// biased is the exponent field its leading bit would have, exponent + 190.
std::uint32_t round_to_single_slow(std::uint32_t sign, std::uint64_t significand, int biased)
{
    if (biased >= 255)
        return sign | exponent_mask;
    // Keep 24 bits; a subnormal result keeps fewer.
    int shift = 40;
    if (biased < 1)
        shift += 1 - biased;
    if (shift > 64) // below half the smallest subnormal
        return sign;
    const std::uint64_t kept = shift == 64 ? 0 : significand >> shift;
    const std::uint64_t rest =
        shift == 64 ? significand : significand & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    const bool round_up = rest > half || (rest == half && (kept & 1) != 0);
    // A normal result's leading bit lands in the exponent field, which is
    // why the field starts one lower; a carry out of the significand raises
    // the exponent, and a subnormal that rounds up becomes the smallest normal.
    const std::uint64_t field_exponent = biased >= 1 ? static_cast<std::uint64_t>(biased - 1) : 0;
    const std::uint64_t bits = (field_exponent << 23) + kept + (round_up ? 1 : 0);
    if (bits >= exponent_mask)
        return sign | exponent_mask;
    return sign | static_cast<std::uint32_t>(bits);
}

// The usual case of the same: the result is normal and cannot overflow
// (biased from 1 to 253). Keep the top 24 bits; the 40 below decide.
std::uint32_t round_to_normal(std::uint32_t sign, std::uint64_t significand, int biased)
{
    const std::uint64_t kept = significand >> 40;
    const std::uint64_t rest = significand << 24;
    const bool round_up = rest > top_bit || (rest == top_bit && (kept & 1) != 0);
    const auto bits = static_cast<std::uint32_t>(biased - 1) << 23;
    return sign | (bits + static_cast<std::uint32_t>(kept) + (round_up ? 1u : 0u));
}

std::uint32_t round_to_single(bool negative, std::uint64_t significand, int exponent)
{
    const std::uint32_t sign = negative ? sign_mask : 0;
    const int biased = exponent + 63 + 127;
    if (biased < 1 || biased > 253)
        return round_to_single_slow(sign, significand, biased);
    return round_to_normal(sign, significand, biased);
}

// The exact sum of two finite non-zero magnitudes, rounded once to a 64-bit
// significand and then to single precision.
std::uint32_t add_and_round(Exact a, Exact b)
{
    a = normalize(a);
    b = normalize(b);
    // Make a the larger magnitude, so that a - b is never negative.
    if (b.exponent > a.exponent || (b.exponent == a.exponent && b.significand > a.significand)) {
        const Exact t = a;
        a = b;
        b = t;
    }
    int exponent = a.exponent; // of bit 0 of the high word
    const Window wa{a.significand, 0};
    const Window wb = shift_right_jam({b.significand, 0}, a.exponent - b.exponent);
    Window sum{};
    if (a.negative == b.negative) {
        sum.low = wa.low + wb.low;
        const std::uint64_t carry = sum.low < wa.low ? 1 : 0;
        sum.high = wa.high + wb.high + carry;
        if (sum.high < wa.high || (carry != 0 && sum.high == wa.high)) {
            // Carry out of bit 127: move the window up one bit.
            sum.low = sum.low >> 1 | sum.high << 63 | (sum.low & 1);
            sum.high = sum.high >> 1 | top_bit;
            ++exponent;
        }
    } else {
        const std::uint64_t borrow = wa.low < wb.low ? 1 : 0;
        sum.low = wa.low - wb.low;
        sum.high = wa.high - wb.high - borrow;
        if (sum.high == 0 && sum.low == 0)
            return 0; // exact cancellation gives +0
        // Bring the leading bit to bit 127. The high word is not zero: with
        // equal exponents the difference lies in it, and otherwise b's
        // significand (48 bits at most) shifted right leaves 2^15 or more.
        // Real cancellation only happens when b was not shifted far, so
        // nothing sticky has been folded in.
        const int shift = std::countl_zero(sum.high);
        if (shift != 0) {
            sum.high = sum.high << shift | sum.low >> (64 - shift);
            sum.low <<= shift;
            exponent -= shift;
        }
    }
    // First rounding: to a 64-bit significand, nearest, ties to even.
    std::uint64_t significand = sum.high;
    const bool round_bit = (sum.low & top_bit) != 0;
    const bool sticky = (sum.low & ~top_bit) != 0;
    if (round_bit && (sticky || (significand & 1) != 0)) {
        ++significand;
        if (significand == 0) {
            significand = top_bit;
            ++exponent;
        }
    }
    // Second rounding: to single precision.
    return round_to_single(a.negative, significand, exponent);
}

// A series' scale and offset, unpacked once for the road most values take
// (scale_in_one_word): usable when the scale is normal and the offset is
// normal or zero.
struct Coefficients {
    bool usable;
    bool scale_negative;
    std::uint64_t scale_significand; // [2^23, 2^24)
    int scale_exponent;              // biased exponent - 300, so that the
                                     // product's is this + raw's biased
    bool offset_zero;
    bool offset_negative;
    std::uint64_t offset_significand; // [2^23, 2^24)
    int offset_exponent;
};

// A biased exponent minus 1 wraps for 0, so "< 254" takes 1 to 254.
bool normal_exponent(std::uint32_t biased) { return biased - 1 < 254; }

Coefficients prepare(std::uint32_t scale, std::uint32_t offset)
{
    Coefficients c{};
    const std::uint32_t es = (scale >> 23) & 0xFF;
    const std::uint32_t eo = (offset >> 23) & 0xFF;
    c.offset_zero = is_zero(offset);
    c.usable = normal_exponent(es) && (c.offset_zero || normal_exponent(eo));
    c.scale_negative = is_negative(scale);
    c.scale_significand = (scale & fraction_mask) | hidden_bit;
    c.scale_exponent = static_cast<int>(es) - 300;
    c.offset_negative = is_negative(offset);
    c.offset_significand = (offset & fraction_mask) | hidden_bit;
    c.offset_exponent = static_cast<int>(eo) - 150;
    return c;
}

// Add the offset to p * 2^exponent in one word, exactly: the term with the
// higher exponent moves up (p by 14 bits at most, the offset by 38) so that
// both stay below 2^62 and no sum carries out. False when they lie too far
// apart for that.
bool add_offset(const Coefficients& c, std::uint64_t& p, int& exponent, bool& negative)
{
    const int gap = exponent - c.offset_exponent;
    std::uint64_t x = p;
    std::uint64_t y = c.offset_significand;
    if (gap >= 0) {
        if (gap > 14)
            return false;
        x <<= gap;
        exponent = c.offset_exponent;
    } else {
        if (gap < -38)
            return false;
        y <<= -gap;
    }
    if (negative == c.offset_negative) {
        p = x + y;
    } else if (x >= y) {
        p = x - y;
    } else {
        p = y - x;
        negative = !negative;
    }
    return true;
}

// The common case, done cheaply: coefficients usable, raw value normal, the
// product and the offset close enough that, aligned to the lower exponent,
// both fit in 62 bits, and a normal result. Then their sum is exact in one
// word, the first rounding (to 64 bits) has nothing to do, and only the
// rounding to single precision remains. False when the case does not apply.
bool scale_in_one_word(const Coefficients& c, std::uint32_t raw, std::uint32_t& result)
{
    const std::uint32_t er = (raw >> 23) & 0xFF;
    if (!c.usable || !normal_exponent(er))
        return false;
    // The product, sum * 2^exponent with sum in [2^46, 2^48), exact.
    bool negative = c.scale_negative != is_negative(raw);
    std::uint64_t sum = c.scale_significand * ((raw & fraction_mask) | hidden_bit);
    int exponent = c.scale_exponent + static_cast<int>(er);
    if (!c.offset_zero && !add_offset(c, sum, exponent, negative))
        return false;
    if (sum == 0) {
        result = 0; // exact cancellation gives +0
        return true;
    }
    // Normalize; results that are not normal take the general road.
    const int shift = std::countl_zero(sum);
    const int biased = exponent - shift + 63 + 127;
    if (biased < 1 || biased > 253)
        return false;
    result = round_to_normal(negative ? sign_mask : 0, sum << shift, biased);
    return true;
}

// Every other case: non-finite, zero or subnormal operands, or terms too far
// apart for one word.
std::uint32_t scale_in_general(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset)
{

    // A NaN operand gives that NaN, quieted; the first of scale, raw, offset wins.
    for (const std::uint32_t operand : {scale, raw, offset}) {
        if (is_nan(operand))
            return operand | quiet_bit;
    }

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
    if (is_zero(scale) || is_zero(raw)) {
        if (!is_zero(offset))
            return offset;
        // (-0) + (-0) is -0; any other sum of zeros is +0.
        return product_negative && is_negative(offset) ? sign_mask : 0;
    }
    const Exact product = multiply(unpack(scale), unpack(raw));
    if (is_zero(offset)) {
        // 48 bits: the first rounding is exact.
        const Exact p = normalize(product);
        return round_to_single(p.negative, p.significand, p.exponent);
    }
    return add_and_round(product, unpack(offset));
}

} // namespace

std::uint32_t scale_value(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset)
{
    std::uint32_t result = 0;
    if (scale_in_one_word(prepare(scale, offset), raw, result))
        return result;
    return scale_in_general(scale, raw, offset);
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
        if (!scale_in_one_word(c, bits, values[i]))
            values[i] = scale_in_general(series.scale, bits, series.offset);
    }
    for (std::size_t i = inside; i < values.size(); ++i)
        values[i] = scale_value(series.scale, 0, series.offset);
}

} // namespace curvedump
