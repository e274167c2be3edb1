// The output fields' fast road: five significant digits of a
// single-precision value from one 64-bit product with a 32-bit power of ten.
// Inline, since every output field takes it.
#pragma once

#include "powers_of_ten.hpp"
#include "single.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace curvedump {

namespace five_digits_detail {

using single::fraction_bits;
using single::max_biased;
using single::significand_bias;

// floor(log10(2^x)) for |x| < 1650.
constexpr int floor_log10_pow2(int x) { return (x * 78913) >> 18; }

// For each binary exponent of a float, the factor 10^(4 - k) that brings a
// value with that exponent to five digits before the point, where k is the
// decimal exponent of the smallest such value (the largest may need k + 1),
// and the right shift that puts the product of significands into fixed
// point with 32 fraction bits. Indexed by biased exponent + 22, so that the
// subnormals, once normalized, have their own entries too.
struct DecimalScale {
    std::uint64_t significand; // 10^(4 - k) to 32 bits, in [2^31, 2^32)
    int shift;
    int exponent10;
};

// The smallest subnormal, normalized: 2^-149 = 2^23 * 2^(-22 - 150).
inline constexpr int lowest_biased = -22;
// The table of powers holds exactly the factors the decimal scales need.
static_assert(min_power == 4 - floor_log10_pow2(max_biased - 1 - significand_bias + fraction_bits));
static_assert(max_power == 4 - floor_log10_pow2(lowest_biased - significand_bias + fraction_bits));

inline constexpr auto decimal_scales = [] {
    std::array<DecimalScale, max_biased - lowest_biased> table{};
    for (int biased = lowest_biased; biased < max_biased; ++biased) {
        // Significand m in [2^23, 2^24) and exponent e: value m * 2^e.
        const int e = biased - significand_bias;
        const int k = floor_log10_pow2(e + fraction_bits);
        const Power p = powers_of_ten[static_cast<std::size_t>(4 - k - min_power)];
        table[static_cast<std::size_t>(biased - lowest_biased)] = {p.significand,
                                                                   -(e + p.exponent + 32), k};
    }
    return table;
}();

constexpr bool shifts_in_range()
{
    for (const DecimalScale& d : decimal_scales) {
        if (d.shift <= 0 || d.shift >= 64)
            return false;
    }
    return true;
}
static_assert(shifts_in_range());

} // namespace five_digits_detail

// Five significant digits of a positive finite non-zero value, nearest with
// ties to even: digits in [10000, 99999] and the decimal exponent of the
// first. False, leaving the value to an exact conversion, when it lies
// within a margin of a rounding tie (exact ties included).
inline bool five_significant_digits(std::uint32_t bits, std::uint32_t& digits, int& exponent10)
{
    // v = m * 2^(biased - 150) with m in [2^23, 2^24); a subnormal's biased
    // exponent, once its significand is normalized, is 0 or below.
    const single::Unpacked u = single::unpack(bits);
    const std::uint64_t m = u.significand;
    const int biased = u.exponent + single::significand_bias;
    const five_digits_detail::DecimalScale& scale =
        five_digits_detail::decimal_scales[static_cast<std::size_t>(
            biased - five_digits_detail::lowest_biased)];

    // x = v * 10^(4 - k) lies in [10^4, 10^6): form it in fixed point with
    // 32 fraction bits, m times the 32-bit power shifted into place. The
    // power's relative error is below 2^-32, so x is within 10^5 + 2 units
    // (of 2^-32) of exact, also after the division by 10.
    std::uint64_t x = (m * scale.significand) >> scale.shift;
    int k = scale.exponent10;
    if (x >= std::uint64_t{100000} << 32) { // one more digit before the point
        x /= 10;
        ++k;
    }
    constexpr std::uint64_t half = std::uint64_t{1} << 31;
    constexpr std::uint64_t margin = std::uint64_t{1} << 17; // above the error
    // Undecided when the fraction lies within the margin of a half.
    if ((x & 0xFFFFFFFFu) - (half - margin) <= 2 * margin)
        return false;
    // Out of the margin, rounding half up is rounding to nearest.
    auto n = static_cast<std::uint32_t>((x + half) >> 32);
    if (n == 100000) { // rounding carried into a new digit
        n = 10000;
        ++k;
    }
    digits = n;
    exponent10 = k;
    return true;
}

} // namespace curvedump
