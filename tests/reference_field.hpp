// "%11.4e" as the plain road renders a single-precision value: the sign,
// std::to_chars on the double of the same value, padding to 11; the fixed
// texts for infinities and NaNs. The tests hold the fast road to it.
#pragma once

#include <bit>
#include <charconv>
#include <cstdint>
#include <string>

namespace test_image {

inline std::string reference_field(std::uint32_t bits)
{
    const bool negative = (bits >> 31) != 0;
    std::string text;
    if ((bits & 0x7F800000u) == 0x7F800000u) {
        const bool nan = (bits & 0x007FFFFFu) != 0;
        text = nan ? (negative ? "-NAN" : "+NAN") : (negative ? "-INF" : "+INF");
    } else {
        char digits[32];
        const double value = std::bit_cast<float>(bits & 0x7FFFFFFFu);
        const char* end =
            std::to_chars(digits, digits + sizeof digits, value, std::chars_format::scientific, 4)
                .ptr;
        text = std::string(negative ? "-" : "") +
               std::string(digits, static_cast<std::size_t>(end - digits));
    }
    return std::string(text.size() < 11 ? 11 - text.size() : 0, ' ') + text;
}

} // namespace test_image
