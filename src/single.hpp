// Single-precision values as bit patterns: the fields of an IEEE 754
// binary32 value, its classes, its unpacked form, and its exact double.
//
// The scaling and the decimal text both work on bit patterns rather than on
// float: an x87 load would quietly turn a signalling NaN into a quiet one,
// and a flush-to-zero mode would change subnormals. Integers give the same
// bits on every platform.
#pragma once

#include <bit>
#include <cstdint>

namespace curvedump::single {

inline constexpr int fraction_bits = 23;
inline constexpr int exponent_bias = 127;
inline constexpr int max_biased = 255; // infinities and NaNs
inline constexpr std::uint32_t sign_mask = 0x80000000u;
inline constexpr std::uint32_t exponent_mask = 0x7F800000u;
inline constexpr std::uint32_t fraction_mask = 0x007FFFFFu;
inline constexpr std::uint32_t hidden_bit = 0x00800000u;
inline constexpr std::uint32_t quiet_bit = 0x00400000u;
// A normal value is significand * 2^(biased - significand_bias), the
// significand holding the hidden bit; 2^-149 is the smallest subnormal.
inline constexpr int significand_bias = exponent_bias + fraction_bits; // 150

constexpr std::uint32_t magnitude(std::uint32_t f) { return f & ~sign_mask; }
constexpr bool is_negative(std::uint32_t f) { return (f & sign_mask) != 0; }
constexpr bool is_nan(std::uint32_t f) { return magnitude(f) > exponent_mask; }
constexpr bool is_inf(std::uint32_t f) { return magnitude(f) == exponent_mask; }
constexpr bool is_zero(std::uint32_t f) { return magnitude(f) == 0; }
// The magnitude minus 1 wraps for zero, so one comparison takes both ends.
constexpr bool is_finite_non_zero(std::uint32_t f) { return magnitude(f) - 1 < exponent_mask - 1; }

// A finite non-zero value: significand * 2^exponent, significand in
// [2^23, 2^24) (a subnormal's leading bit moved up to the hidden bit).
struct Unpacked {
    bool negative;
    std::uint32_t significand;
    int exponent;
};

constexpr Unpacked unpack(std::uint32_t f)
{
    const int biased = static_cast<int>((f & exponent_mask) >> fraction_bits);
    const std::uint32_t fraction = f & fraction_mask;
    if (biased == 0) {
        const int shift = std::countl_zero(fraction) - (31 - fraction_bits);
        return {is_negative(f), fraction << shift, 1 - significand_bias - shift};
    }
    return {is_negative(f), fraction | hidden_bit, biased - significand_bias};
}

// The double of the same value, formed in integers so that no
// floating-point mode can flush a subnormal or quiet a signalling NaN.
constexpr double to_double(std::uint32_t f)
{
    constexpr int double_fraction_bits = 52;
    constexpr int double_bias = 1023;
    const std::uint64_t sign = std::uint64_t{is_negative(f)} << 63;
    if (is_zero(f))
        return std::bit_cast<double>(sign);
    constexpr int shift = double_fraction_bits - fraction_bits;
    const std::uint64_t fraction = std::uint64_t{f & fraction_mask} << shift;
    if ((f & exponent_mask) == exponent_mask) { // infinity, or a NaN with its payload
        return std::bit_cast<double>(sign | std::uint64_t{0x7FF} << double_fraction_bits |
                                     fraction);
    }
    // A normal value keeps its fraction; a subnormal one becomes normal.
    const Unpacked u = unpack(f);
    const int field = u.exponent + fraction_bits + double_bias; // in [874, 1150]
    return std::bit_cast<double>(sign | static_cast<std::uint64_t>(field) << double_fraction_bits |
                                 std::uint64_t{u.significand & fraction_mask} << shift);
}

} // namespace curvedump::single
