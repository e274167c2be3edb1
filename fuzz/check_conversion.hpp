// What must hold for any input bytes, checked on the conversion the tool
// runs (convert_image, which run_curvedump reaches through convert_file):
// a known status that the console lines agree with, lines that end in
// CR LF, on success one 25-byte line per value pair with both fields 11
// characters wide, nothing read past the image, and the same bytes twice.
// Shared by the fuzzer and the tests.
#pragma once

#include "curvedump.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace check_conversion {

// The file's bytes converted from an image of image_size bytes, zero past
// them, at the start of a buffer whose `beyond` further bytes hold `fill`.
// With nothing beyond, a sanitizer catches any read past the image; with
// bytes beyond, such a read changes the result.
inline curvedump::Conversion convert(const std::uint8_t* data, std::size_t size,
                                     std::size_t beyond = 0, unsigned char fill = 0)
{
    std::vector<unsigned char> buffer(curvedump::image_size + beyond, fill);
    std::fill_n(buffer.begin(), curvedump::image_size, 0);
    // The tool reads at most image_size bytes: a larger file fills the image.
    const std::size_t n = std::min(size, curvedump::image_size);
    if (n != 0)
        std::copy_n(data, n, buffer.begin());
    return curvedump::convert_image(std::span(buffer).first(curvedump::image_size), n);
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

// A 16-bit header field read straight from the file's bytes, zero past them.
inline int header_field(const std::uint8_t* data, std::size_t size, std::size_t pos)
{
    const auto byte = [&](std::size_t i) -> unsigned { return i < size ? data[i] : 0u; };
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(byte(pos) << 8 | byte(pos + 1)));
}

// Count of a series, read straight from its length field.
inline std::size_t series_count(const std::uint8_t* data, std::size_t size, std::size_t field)
{
    const int length = header_field(data, size, field);
    return length > 0 ? static_cast<std::size_t>(length / 4) : 0;
}

// Whether the console lines are those of the status: the header (its first
// line the four fields as the file holds them) and nothing more on success,
// the header and the refusal's message otherwise, or "memory overflow" alone.
inline bool console_agrees(const std::uint8_t* data, std::size_t size,
                           const curvedump::Conversion& c)
{
    if (c.status == curvedump::status_too_large)
        return c.console == "memory overflow\r\n";
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < c.console.size();) {
        const std::size_t end = c.console.find("\r\n", start);
        if (end == std::string::npos)
            return false;
        lines.push_back(c.console.substr(start, end - start));
        start = end + 2;
    }
    const std::string fields = std::to_string(header_field(data, size, 146)) + " " +
                               std::to_string(header_field(data, size, 162)) + " " +
                               std::to_string(header_field(data, size, 150)) + " " +
                               std::to_string(header_field(data, size, 166));
    if (lines.empty() || lines[0] != fields)
        return false;
    const bool no_values = series_count(data, size, 150) == 0 && series_count(data, size, 166) == 0;
    switch (c.status) {
    case curvedump::status_ok:
        return lines.size() == 3 && !no_values;
    case curvedump::status_no_values:
        return lines.size() == 4 && lines[3] == "Cannot allocate memory" && no_values;
    case curvedump::status_bad_descriptor:
        return lines.size() == 4 && (lines[3] == "invalid descriptor for series 1" ||
                                     lines[3] == "invalid descriptor for series 2");
    default:
        return false;
    }
}

// Empty when everything holds, else what went wrong.
inline std::string violation(const std::uint8_t* data, std::size_t size)
{
    const curvedump::Conversion c = convert(data, size);
    if (c.console.empty() || !lines_end_in_crlf(c.console))
        return "console line without CR LF";
    if (!console_agrees(data, size, c))
        return "status " + std::to_string(c.status) + " with the console lines " + c.console;
    if (!(convert(data, size) == c))
        return "second conversion differs";
    if (!(convert(data, size, curvedump::image_size, 0xFF) == c))
        return "a byte past the image was read";
    if (c.status != curvedump::status_ok)
        return c.output.empty() ? "" : "output text on a failed run";
    const std::size_t lines =
        std::min(series_count(data, size, 150), series_count(data, size, 166));
    if (c.output.size() != 25 * lines)
        return "output size is not 25 bytes per value pair";
    for (std::size_t pos = 0; pos < c.output.size(); pos += 25) {
        const std::string line = c.output.substr(pos, 25);
        if (!is_field(line.substr(0, 11)) || line[11] != ' ' || !is_field(line.substr(12, 11)) ||
            line.compare(23, 2, "\r\n") != 0)
            return "malformed output line: " + line;
    }
    return "";
}

} // namespace check_conversion
