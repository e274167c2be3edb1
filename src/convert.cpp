// The conversion: decode an image (the descriptors, then both series
// scaled), the console lines, the output text, and a whole file converted
// from start to end.
#include "curvedump.hpp"

#include "decimal.hpp"
#include "layout.hpp"
#include "platform.hpp"
#include "single.hpp"

#include <algorithm>
#include <memory>
#include <new>

namespace curvedump {

namespace {

void append_text(std::string& text, std::string_view part) { text.append(part); }

void append_line(std::string& text, std::string_view line)
{
    text.append(line);
    append_line_end(text);
}

} // namespace

Decoded decode_image(std::span<const unsigned char> image, std::size_t bytes_read)
{
    Decoded d;
    d.file_size = bytes_read;
    if (bytes_read >= image_size) {
        d.status = status_too_large;
        return d;
    }
    d.series1 = decode_descriptor(image, series1_table);
    d.series2 = decode_descriptor(image, series2_table);
    // A descriptor that points outside the image would read memory that
    // does not belong to the file: refuse it before allocating anything.
    if (!descriptor_fits(d.series1) || !descriptor_fits(d.series2)) {
        d.status = status_bad_descriptor;
        d.bad_series = descriptor_fits(d.series1) ? 2 : 1;
        return d;
    }
    const auto count1 = static_cast<std::size_t>(d.series1.count);
    const auto count2 = static_cast<std::size_t>(d.series2.count);
    if (count1 + count2 == 0) {
        // Nothing to hold: treated as an allocation that failed.
        d.status = status_memory;
        return d;
    }
    try {
        d.values.resize(count1 + count2);
    } catch (const std::bad_alloc&) {
        d.status = status_memory;
        return d;
    }
    const std::span<std::uint32_t> all(d.values);
    scale_series(image, d.series1, all.first(count1));
    scale_series(image, d.series2, all.subspan(count1));
    return d;
}

std::string console_lines(const Decoded& d)
{
    std::string console;
    if (d.status == status_too_large) {
        append_line(console, "memory overflow");
        return console;
    }
    append_int(console, d.series1.block);
    append_text(console, " ");
    append_int(console, d.series2.block);
    append_text(console, " ");
    append_int(console, d.series1.length);
    append_text(console, " ");
    append_int(console, d.series2.length);
    append_line_end(console);
    append_exponent(console, d.series1.scale, 6, 0);
    append_text(console, " ");
    append_exponent(console, d.series2.scale, 6, 0);
    append_line_end(console);
    append_exponent(console, d.series1.offset, 6, 0);
    append_text(console, " ");
    append_exponent(console, d.series2.offset, 6, 0);
    append_line_end(console);
    if (d.status == status_bad_descriptor) {
        append_text(console, "invalid descriptor for series ");
        append_int(console, d.bad_series);
        append_line_end(console);
    } else if (d.status == status_memory) {
        append_line(console, "Cannot allocate memory");
    }
    return console;
}

std::span<const std::uint32_t> series1_values(const Decoded& d)
{
    const auto count1 = std::min(static_cast<std::size_t>(d.series1.count), d.values.size());
    return std::span(d.values).first(count1);
}

std::span<const std::uint32_t> series2_values(const Decoded& d)
{
    return std::span(d.values).subspan(series1_values(d).size());
}

std::string output_text(std::span<const std::uint32_t> series1,
                        std::span<const std::uint32_t> series2)
{
    std::string text;
    append_value_lines(text, series1, series2);
    return text;
}

double to_double(std::uint32_t bits) { return single::to_double(bits); }

int series_past_end(const Decoded& d)
{
    const auto past_end = [&d](const SeriesDescriptor& s) {
        return s.count > 0 &&
               long{s.block} * long{block_size} + 4L * s.count > static_cast<long>(d.file_size);
    };
    return (past_end(d.series1) ? 1 : 0) | (past_end(d.series2) ? 2 : 0);
}

namespace {

void print_line(const Print& print, std::string_view line)
{
    std::string text;
    append_line(text, line);
    print(text);
}

// Writes the output, and names what failed when it cannot be: an output
// that cannot be opened (or is the input) is left as it was; one that
// cannot be written leaves no partial file behind that could pass for a
// result. output_error gets the failure's errno value (none for the input
// itself).
int write_output(const std::string& output_path, std::FILE* input, const std::string& output,
                 const Print& print, int& output_error)
{
    const OutputOutcome outcome = write_output_file(output_path, input, output);
    output_error = outcome.error;
    switch (outcome.result) {
    case OutputResult::written:
        return status_ok;
    case OutputResult::is_input: // refused like any output that cannot be opened
    case OutputResult::cannot_open:
        print_line(print, "cannot open " + output_path);
        return status_usage_or_output;
    case OutputResult::cannot_write:
        break;
    }
    print_line(print, "cannot write " + output_path);
    return status_usage_or_output;
}

// Reads the input into `image`, zero past what was read; the read's error.
int read_image(std::FILE* input, std::span<unsigned char> image, std::size_t& bytes_read)
{
    const ReadInput read = read_input(input, image);
    bytes_read = read.bytes;
    if (read.error == 0)
        std::fill(image.begin() + static_cast<std::ptrdiff_t>(read.bytes), image.end(), 0);
    return read.error;
}

int convert(const std::string& input_path, const Print& print, ConvertReport& report)
{
    const OpenedInput opened = open_input(input_path);
    report.input_error = opened.error;
    const File& input = opened.file;
    if (!input) {
        print_line(print, "Cannot open " + input_path);
        return status_input;
    }
    // Every byte is written before it is read: no need to clear it first
    // (new[] without "()" leaves the bytes uninitialised).
    const std::unique_ptr<unsigned char[]> image(new unsigned char[image_size]);
    std::size_t bytes_read = 0;
    report.input_error = read_image(input.get(), {image.get(), image_size}, bytes_read);
    if (report.input_error != 0) {
        print_line(print, "Cannot open " + input_path);
        return status_input;
    }

    const Decoded decoded = decode_image({image.get(), image_size}, bytes_read);
    report.past_end = decoded.status == status_ok ? series_past_end(decoded) : 0;
    std::string text = console_lines(decoded);
    if (decoded.status != status_ok) {
        print(text);
        return decoded.status;
    }
    std::string output;
    try {
        output = output_text(series1_values(decoded), series2_values(decoded));
    } catch (const std::bad_alloc&) {
        append_line(text, "Cannot allocate memory"); // after the header, as for the values
        print(text);
        return status_memory;
    }
    const std::string output_path = input_path + ".txt";
    append_line(text, "converting : " + input_path + " -> " + output_path);
    print(text);
    return write_output(output_path, input.get(), output, print, report.output_error);
}

} // namespace

Decoded decode_file(const std::string& path, int& error)
{
    const OpenedInput opened = open_input(path);
    error = opened.error;
    const File& input = opened.file;
    if (!input)
        return {};
    std::vector<unsigned char> image(image_size);
    std::size_t bytes_read = 0;
    error = read_image(input.get(), image, bytes_read);
    return error != 0 ? Decoded{} : decode_image(image, bytes_read);
}

int convert_file(std::string_view input_path, const Print& print, ConvertReport* report)
{
    ConvertReport found;
    try {
        const int status = convert(std::string(input_path), print, found);
        if (report != nullptr)
            *report = found;
        return status;
    } catch (const std::bad_alloc&) {
        // Written from a literal: with memory short, nothing is allocated here.
        print("Cannot allocate memory\r\n");
        return status_memory;
    }
}

int run_curvedump(std::span<const char* const> args, std::FILE* console)
{
    if (args.size() < 2 || args[1] == nullptr)
        return status_usage_or_output;
    // Console text is written and flushed as it comes, so that nothing is
    // left in a buffer while the output file is open: with standard output
    // closed, the output file may have been given its descriptor.
    return convert_file(args[1],
                        [console](std::string_view text) { write_console(console, text); });
}

} // namespace curvedump
