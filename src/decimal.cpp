// Decimal text: integers, the general exponent form ("%.<p>e") through
// std::to_chars (correctly rounded, ties to even, "." as decimal point), and
// the output file's fields ("%11.4e") by a faster road.
//
// The fast road, five_significant_digits, multiplies the significand by a
// 32-bit power of ten and reads five digits off the fixed-point product; a
// value that lies too near a rounding tie for that estimate goes to
// std::to_chars instead. Both give the same bytes for every single-precision
// value (the exhaustive test compares all 2^32).
#include "decimal.hpp"

#include "powers_of_ten.hpp"
#include "single.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>

namespace curvedump {

namespace {

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

using single::fraction_bits;
using single::max_biased;
using single::significand_bias;

// The smallest subnormal, normalized: 2^-149 = 2^23 * 2^(-22 - 150).
constexpr int lowest_biased = -22;
// The table of powers holds exactly the factors the decimal scales need.
static_assert(min_power == 4 - floor_log10_pow2(max_biased - 1 - significand_bias + fraction_bits));
static_assert(max_power == 4 - floor_log10_pow2(lowest_biased - significand_bias + fraction_bits));

constexpr auto decimal_scales = [] {
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

// "00" to "99".
constexpr auto digit_pairs = [] {
    std::array<char, 200> pairs{};
    for (std::size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// "e-99" to "e+99", for the decimal exponents of five-digit fields.
constexpr auto exponent_texts = [] {
    std::array<std::array<char, 4>, 199> texts{};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const int k = static_cast<int>(i) - 99;
        const int size = k < 0 ? -k : k;
        texts[i] = {'e', k < 0 ? '-' : '+', static_cast<char>('0' + size / 10),
                    static_cast<char>('0' + size % 10)};
    }
    return texts;
}();

char* put_pair(char* out, std::uint32_t two_digits)
{
    std::memcpy(out, &digit_pairs[2 * static_cast<std::size_t>(two_digits)], 2);
    return out + 2;
}

} // namespace

// Undecided values are those within a margin of a five-digit rounding tie,
// exact ties included.
bool five_significant_digits(std::uint32_t bits, std::uint32_t& digits, int& exponent10)
{
    // v = m * 2^(biased - 150) with m in [2^23, 2^24); a subnormal's biased
    // exponent, once its significand is normalized, is 0 or below.
    const single::Unpacked u = single::unpack(bits);
    const std::uint64_t m = u.significand;
    const int biased = u.exponent + single::significand_bias;
    const DecimalScale& scale = decimal_scales[static_cast<std::size_t>(biased - lowest_biased)];

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

namespace {

// "d.dddde+dd" from five digits and a decimal exponent below 100 in size.
char* put_five_digits(char* out, std::uint32_t n, int exponent10)
{
    const std::uint32_t rest = n % 10000;
    out[0] = static_cast<char>('0' + n / 10000);
    out[1] = '.';
    put_pair(out + 2, rest / 100);
    put_pair(out + 4, rest % 100);
    const int index = exponent10 + 99;
    std::memcpy(out + 6, exponent_texts[static_cast<std::size_t>(index)].data(), 4);
    return out + 10;
}

// The text that stands for a whole non-finite number, or null when finite.
const char* non_finite_text(std::uint32_t f)
{
    if (single::is_inf(f))
        return single::is_negative(f) ? "-INF" : "+INF";
    if (single::is_nan(f))
        return single::is_negative(f) ? "-NAN" : "+NAN";
    return nullptr;
}

constexpr std::size_t non_finite_size = 4; // each of those texts

} // namespace

void append_int(std::string& text, int value)
{
    char buffer[16]; // an int needs at most 11
    text.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

void append_exponent(std::string& text, std::uint32_t bits, int precision, int width)
{
    if (precision < 0)
        precision = 6;
    std::string number;
    if (const char* fixed = non_finite_text(bits)) {
        number = fixed;
    } else {
        // The sign is written apart so that -0 keeps its "-".
        if (single::is_negative(bits))
            number += '-';
        // One digit, ".", the digits, "e", a sign and at most three digits.
        const std::size_t start = number.size();
        number.resize(start + static_cast<std::size_t>(precision) + 7);
        char* const first = number.data() + start;
        const std::to_chars_result r = std::to_chars(first, number.data() + number.size(),
                                                     single::to_double(single::magnitude(bits)),
                                                     std::chars_format::scientific, precision);
        number.resize(static_cast<std::size_t>(r.ptr - number.data()));
    }
    if (width > 0 && static_cast<std::size_t>(width) > number.size())
        text.append(static_cast<std::size_t>(width) - number.size(), ' ');
    text += number;
}

void append_line_end(std::string& text) { text += "\r\n"; }

char* put_field(char* out, std::uint32_t bits)
{
    if (const char* fixed = non_finite_text(bits)) {
        std::memset(out, ' ', field_size - non_finite_size);
        std::memcpy(out + field_size - non_finite_size, fixed, non_finite_size);
        return out + field_size;
    }
    out[0] = single::is_negative(bits) ? '-' : ' ';
    const std::uint32_t magnitude = single::magnitude(bits);
    if (magnitude == 0)
        return put_five_digits(out + 1, 0, 0);
    std::uint32_t digits = 0;
    int exponent10 = 0;
    if (five_significant_digits(magnitude, digits, exponent10))
        return put_five_digits(out + 1, digits, exponent10);
    // Too near a tie for the estimate: the exact conversion. A finite
    // single-precision value has a two-digit decimal exponent, so the text
    // "d.dddde+dd" fills the rest of the field.
    std::to_chars(out + 1, out + field_size, single::to_double(magnitude),
                  std::chars_format::scientific, 4);
    return out + field_size;
}

char* put_value_line(char* out, std::uint32_t first, std::uint32_t second)
{
    out = put_field(out, first);
    *out++ = ' ';
    out = put_field(out, second);
    *out++ = '\r';
    *out++ = '\n';
    return out;
}

void append_value_lines(std::string& text, std::span<const std::uint32_t> first,
                        std::span<const std::uint32_t> second)
{
    // Lines are made in a small buffer and appended a block at a time.
    const std::size_t lines = std::min(first.size(), second.size());
    text.reserve(text.size() + lines * line_size);
    char block[128 * line_size];
    char* end = block;
    for (std::size_t i = 0; i < lines; ++i) {
        end = put_value_line(end, first[i], second[i]);
        if (end == block + sizeof block) {
            text.append(block, end);
            end = block;
        }
    }
    text.append(block, end);
}

} // namespace curvedump
