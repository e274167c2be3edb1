// Decimal text: integers, the general exponent form ("%.<p>e") through
// std::to_chars (correctly rounded, ties to even, "." as decimal point), and
// the output file's fields ("%11.4e") by a faster road.
//
// The fast road, five_significant_digits (five_digits.hpp), reads five
// digits off a fixed-point product; a value that lies too near a rounding
// tie for that estimate goes to std::to_chars instead. Both give the same
// bytes for every single-precision value (the exhaustive test compares all
// 2^32).
#include "decimal.hpp"

#include "five_digits.hpp"
#include "single.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>

namespace curvedump {

namespace {

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

// The fields the five-digit road does not take: infinities and NaNs, zeros,
// and values too near a tie for its estimate, which take the exact
// conversion. A finite single-precision value has a two-digit decimal
// exponent, so its text "d.dddde+dd" fills the field after the sign.
char* put_other_field(char* out, std::uint32_t bits)
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
    std::to_chars(out + 1, out + field_size, single::to_double(magnitude),
                  std::chars_format::scientific, 4);
    return out + field_size;
}

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
    std::uint32_t digits = 0;
    int exponent10 = 0;
    if (single::is_finite_non_zero(bits) &&
        five_significant_digits(single::magnitude(bits), digits, exponent10)) {
        out[0] = single::is_negative(bits) ? '-' : ' ';
        return put_five_digits(out + 1, digits, exponent10);
    }
    return put_other_field(out, bits);
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
