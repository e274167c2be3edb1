// Rendering numbers and lines as text.
//
// The text must be the same bytes everywhere, so nothing here goes through
// printf, iostreams or the locale: integers and exponent forms come from
// std::to_chars (correctly rounded, ties to even, "." as decimal point),
// and every line ends in CR LF written as two explicit bytes.
//
// The output file's fields (five significant digits) take a faster road,
// put_field, which gives the same bytes as std::to_chars for every
// single-precision value (an exhaustive test compares all 2^32) and hands
// the rare value it cannot decide back to std::to_chars.
#include "curvedump.hpp"
#include "powers_of_ten.hpp"

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

constexpr int lowest_biased = -22; // the smallest subnormal, normalized
// The table of powers holds exactly the factors the decimal scales need.
static_assert(min_power == 4 - floor_log10_pow2(254 - 150 + 23));
static_assert(max_power == 4 - floor_log10_pow2(lowest_biased - 150 + 23));

constexpr auto decimal_scales = [] {
    std::array<DecimalScale, 255 - lowest_biased> table{};
    for (int biased = lowest_biased; biased < 255; ++biased) {
        // Significand m in [2^23, 2^24) and exponent e: value m * 2^e.
        const int e = biased - 150;
        const int k = floor_log10_pow2(e + 23);
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

// --- Five significant digits ------------------------------------------------

// Rounds the positive finite non-zero single-precision value `bits` to five
// significant digits, nearest with ties to even: digits in [10000, 99999]
// and the decimal exponent of the first. Returns false, leaving the work to
// an exact conversion, when the value lies too near a rounding tie for the
// 64-bit estimate to decide (exact ties included).
bool five_significant_digits(std::uint32_t bits, std::uint32_t& digits, int& exponent10)
{
    // v = m * 2^(biased - 150) with m in [2^23, 2^24).
    std::uint32_t m = bits & 0x007FFFFFu;
    int biased = static_cast<int>(bits >> 23);
    if (biased == 0) {
        const int shift = std::countl_zero(m) - 8;
        m <<= shift;
        biased = 1 - shift;
    } else {
        m |= 0x00800000u;
    }
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

// The texts that stand for a whole non-finite number, or null when finite.
const char* non_finite_text(std::uint32_t f)
{
    if ((f & 0x7F800000u) != 0x7F800000u)
        return nullptr;
    const bool negative = (f & 0x80000000u) != 0;
    if ((f & 0x007FFFFFu) == 0)
        return negative ? "-INF" : "+INF";
    return negative ? "-NAN" : "+NAN";
}

} // namespace

double widen(std::uint32_t bits)
{
    const std::uint64_t sign = std::uint64_t{bits >> 31} << 63;
    int biased = static_cast<int>((bits >> 23) & 0xFF);
    std::uint32_t fraction = bits & 0x007FFFFFu;
    if (biased == 0) {
        if (fraction == 0)
            return std::bit_cast<double>(sign);
        // Subnormal: move the leading bit up to the hidden-bit position.
        const int shift = std::countl_zero(fraction) - 8;
        fraction = (fraction << shift) & 0x007FFFFFu;
        biased = 1 - shift;
    }
    // Infinities and NaNs keep the all-ones exponent, and a NaN its payload.
    const int double_biased = biased == 255 ? 2047 : biased + (1023 - 127);
    return std::bit_cast<double>(sign | static_cast<std::uint64_t>(double_biased) << 52 |
                                 std::uint64_t{fraction} << 29);
}

char* put_int(char* out, int value)
{
    // An int needs at most 11 characters.
    return std::to_chars(out, out + 11, value).ptr;
}

// "%<width>.<precision>e" of the single-precision value `bits`.
char* put_exponent(char* out, std::uint32_t bits, int precision, int width)
{
    char text[exponent_max];
    char* end = text;
    if (const char* fixed = non_finite_text(bits)) {
        end = std::copy_n(fixed, 4, text); // each text is 4 characters
    } else {
        // The sign is written apart so that -0 keeps its "-".
        if ((bits & 0x80000000u) != 0)
            *end++ = '-';
        end = std::to_chars(end, text + sizeof text, widen(bits & 0x7FFFFFFFu),
                            std::chars_format::scientific, precision)
                  .ptr;
    }
    const auto length = static_cast<int>(end - text);
    for (int pad = length; pad < width; ++pad)
        *out++ = ' ';
    std::memcpy(out, text, static_cast<std::size_t>(length));
    return out + length;
}

// "%11.4e": always 11 bytes for a single-precision value.
char* put_field(char* out, std::uint32_t bits)
{
    const std::uint32_t magnitude = bits & 0x7FFFFFFFu;
    std::uint32_t digits = 0;
    int exponent10 = 0;
    // magnitude - 1 wraps for zero, so this takes finite non-zero values.
    if (magnitude - 1 < 0x7F7FFFFFu && five_significant_digits(magnitude, digits, exponent10)) {
        out[0] = (bits & 0x80000000u) != 0 ? '-' : ' ';
        return put_five_digits(out + 1, digits, exponent10);
    }
    return put_exponent(out, bits, 4, 11);
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

void append_int(std::string& text, int value)
{
    char buffer[16];
    text.append(buffer, put_int(buffer, value));
}

void append_exponent(std::string& text, std::uint32_t bits, int precision, int width)
{
    char buffer[exponent_max];
    text.append(buffer, put_exponent(buffer, bits, precision, width));
}

void append_line_end(std::string& text) { text += "\r\n"; }

} // namespace curvedump
