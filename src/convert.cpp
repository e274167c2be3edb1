// The conversion: an image to its exit status, console lines and output
// text. Pure: everything the run does but the file system, so that the
// tests and the fuzzer check what the tool does, not a copy of it.
#include "curvedump.hpp"

#include "decimal.hpp"

#include <new>

namespace curvedump {

namespace {

void append_line(std::string& text, std::string_view line)
{
    text.append(line);
    append_line_end(text);
}

} // namespace

std::string console_lines(const Decoded& d)
{
    std::string console;
    if (d.status == status_too_large) {
        append_line(console, "memory overflow");
        return console;
    }
    append_int(console, d.series1.block);
    console += ' ';
    append_int(console, d.series2.block);
    console += ' ';
    append_int(console, d.series1.length);
    console += ' ';
    append_int(console, d.series2.length);
    append_line_end(console);
    append_exponent(console, d.series1.scale, 6, 0);
    console += ' ';
    append_exponent(console, d.series2.scale, 6, 0);
    append_line_end(console);
    append_exponent(console, d.series1.offset, 6, 0);
    console += ' ';
    append_exponent(console, d.series2.offset, 6, 0);
    append_line_end(console);
    if (d.status == status_bad_descriptor) {
        console += "invalid descriptor for series ";
        append_int(console, d.bad_series);
        append_line_end(console);
    } else if (d.status == status_memory) { // status_no_values too
        append_line(console, "Cannot allocate memory");
    }
    return console;
}

std::string output_text(std::span<const std::uint32_t> series1,
                        std::span<const std::uint32_t> series2)
{
    std::string text;
    append_value_lines(text, series1, series2);
    return text;
}

Conversion convert_image(std::span<const unsigned char> image, std::size_t bytes_read)
{
    const Decoded decoded = decode_image(image, bytes_read);
    Conversion c;
    c.status = decoded.status;
    c.console = console_lines(decoded);
    if (decoded.status != status_ok)
        return c;
    c.past_end = series_past_end(decoded);
    const std::span<const std::uint32_t> values(decoded.values);
    const auto count1 = static_cast<std::size_t>(decoded.series1.count);
    try {
        c.output = output_text(values.first(count1), values.subspan(count1));
    } catch (const std::bad_alloc&) {
        // After the header, as when the values cannot be held.
        c.status = status_memory;
        append_line(c.console, "Cannot allocate memory");
    }
    return c;
}

} // namespace curvedump
