// What must hold for any input bytes: the conversion in memory gives a known
// status, console lines that end in CR LF, and, on success, one 25-byte line
// per value pair with both fields 11 characters wide; a second conversion of
// the same bytes gives the same result. Shared by the fuzzer and the tests.
#pragma once

#include "curvedump.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace check_conversion {

struct Result {
    int status = -1;
    std::string console;
    std::string output;
    bool operator==(const Result&) const = default;
};

inline Result convert(const std::uint8_t* data, std::size_t size)
{
    std::vector<unsigned char> image(curvedump::image_size);
    const std::size_t n = std::min(size, image.size());
    if (n != 0)
        std::copy_n(data, n, image.begin());
    const curvedump::Decoded decoded = curvedump::decode_image(image, n);
    Result r;
    r.status = decoded.status;
    r.console = curvedump::console_lines(decoded);
    if (decoded.status == curvedump::status_ok)
        r.output = curvedump::output_text(curvedump::series1_values(decoded),
                                          curvedump::series2_values(decoded));
    return r;
}

inline bool lines_end_in_crlf(const std::string& text)
{
    if (!text.empty() && text.back() != '\n')
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool cr = text[i] == '\r';
        const bool lf = text[i] == '\n';
        if (cr && (i + 1 == text.size() || text[i + 1] != '\n'))
            return false;
        if (lf && (i == 0 || text[i - 1] != '\r'))
            return false;
    }
    return true;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// " d.dddde+dd", "-d.dddde-dd", or seven spaces and +INF, -INF, +NAN, -NAN.
inline bool is_field(const std::string& f)
{
    if (f.size() != 11)
        return false;
    if (f.compare(0, 7, "       ") == 0) {
        const std::string tail = f.substr(7);
        return tail == "+INF" || tail == "-INF" || tail == "+NAN" || tail == "-NAN";
    }
    return (f[0] == ' ' || f[0] == '-') && is_digit(f[1]) && f[2] == '.' && is_digit(f[3]) &&
           is_digit(f[4]) && is_digit(f[5]) && is_digit(f[6]) && f[7] == 'e' &&
           (f[8] == '+' || f[8] == '-') && is_digit(f[9]) && is_digit(f[10]);
}

// Count of a series, read straight from its length field.
inline std::size_t series_count(const std::uint8_t* data, std::size_t size, std::size_t field)
{
    const auto byte = [&](std::size_t i) -> unsigned { return i < size ? data[i] : 0u; };
    const auto length =
        static_cast<std::int16_t>(static_cast<std::uint16_t>(byte(field) << 8 | byte(field + 1)));
    return length > 0 ? static_cast<std::size_t>(length / 4) : 0;
}

// Empty when everything holds, else what went wrong.
inline std::string violation(const std::uint8_t* data, std::size_t size)
{
    const Result r = convert(data, size);
    if (r.status < 0 || r.status > 5)
        return "status out of range";
    if (r.console.empty() || !lines_end_in_crlf(r.console))
        return "console line without CR LF";
    if (!(convert(data, size) == r))
        return "second conversion differs";
    if (r.status != 0)
        return r.output.empty() ? "" : "output text on a failed run";
    const std::size_t lines =
        std::min(series_count(data, size, 150), series_count(data, size, 166));
    if (r.output.size() != 25 * lines)
        return "output size is not 25 bytes per value pair";
    for (std::size_t pos = 0; pos < r.output.size(); pos += 25) {
        const std::string line = r.output.substr(pos, 25);
        if (!is_field(line.substr(0, 11)) || line[11] != ' ' || !is_field(line.substr(12, 11)) ||
            line.compare(23, 2, "\r\n") != 0)
            return "malformed output line: " + line;
    }
    return "";
}

} // namespace check_conversion
