// Rendering numbers and lines as text.
//
// The text must be the same bytes everywhere, so nothing here goes through
// printf, iostreams or the locale: integers and exponent forms come from
// std::to_chars (correctly rounded, ties to even, "." as decimal point),
// and every line ends in CR LF written as two explicit bytes.
#include "curvedump.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>

namespace curvedump {

namespace {

// Widen a finite single-precision bit pattern to the double of the same
// value, in integers so that no floating-point mode can flush a subnormal.
double widen(std::uint32_t f)
{
    const std::uint64_t sign = std::uint64_t{f >> 31} << 63;
    int biased = static_cast<int>((f >> 23) & 0xFF);
    std::uint32_t fraction = f & 0x007FFFFFu;
    if (biased == 0) {
        if (fraction == 0)
            return std::bit_cast<double>(sign);
        // Subnormal: move the leading bit up to the hidden-bit position.
        const int shift = std::countl_zero(fraction) - 8;
        fraction = (fraction << shift) & 0x007FFFFFu;
        biased = 1 - shift;
    }
    const int double_biased = biased + (1023 - 127);
    return std::bit_cast<double>(sign | static_cast<std::uint64_t>(double_biased) << 52 |
                                 std::uint64_t{fraction} << 29);
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

// One output line: "%11.4e %11.4e" and the line end.
void append_value_line(std::string& text, std::uint32_t first, std::uint32_t second)
{
    char line[2 * exponent_max + 3];
    char* end = put_exponent(line, first, 4, 11);
    *end++ = ' ';
    end = put_exponent(end, second, 4, 11);
    *end++ = '\r';
    *end++ = '\n';
    text.append(line, end);
}

} // namespace curvedump
