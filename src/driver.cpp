// The conversion from start to end: read the input image, decode and print
// the header, scale both series, write the two-column output file.
#include "curvedump.hpp"
#include "platform.hpp"

#include <algorithm>
#include <memory>
#include <new>

namespace curvedump {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void append_text(std::string& text, std::string_view part) { text.append(part); }

void append_line(std::string& text, std::string_view line)
{
    text.append(line);
    append_line_end(text);
}

// Write the whole output text and close the file; false if any step failed.
bool write_and_close(File file, const std::string& text)
{
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    const bool flushed = std::fflush(file.get()) == 0;
    return std::fclose(file.release()) == 0 && written && flushed;
}

} // namespace

int convert_image(std::span<const unsigned char> image, std::size_t bytes_read,
                  std::string& console, std::string& output)
{
    if (bytes_read >= image_size) {
        append_line(console, "memory overflow");
        return status_too_large;
    }
    const SeriesDescriptor series1 = decode_descriptor(image, series1_table);
    const SeriesDescriptor series2 = decode_descriptor(image, series2_table);

    append_int(console, series1.block);
    append_text(console, " ");
    append_int(console, series2.block);
    append_text(console, " ");
    append_int(console, series1.length);
    append_text(console, " ");
    append_int(console, series2.length);
    append_line_end(console);
    append_exponent(console, series1.scale, 6, 0);
    append_text(console, " ");
    append_exponent(console, series2.scale, 6, 0);
    append_line_end(console);
    append_exponent(console, series1.offset, 6, 0);
    append_text(console, " ");
    append_exponent(console, series2.offset, 6, 0);
    append_line_end(console);

    // A descriptor that points outside the image would read memory that
    // does not belong to the file: refuse it before allocating anything.
    int series_number = 1;
    for (const SeriesDescriptor* series : {&series1, &series2}) {
        if (!descriptor_fits(*series)) {
            append_text(console, "invalid descriptor for series ");
            append_int(console, series_number);
            append_line_end(console);
            return status_bad_descriptor;
        }
        ++series_number;
    }

    const auto count1 = static_cast<std::size_t>(series1.count);
    const auto count2 = static_cast<std::size_t>(series2.count);
    if (count1 + count2 == 0) {
        // Nothing to hold: treated as an allocation that failed.
        append_line(console, "Cannot allocate memory");
        return status_memory;
    }
    try {
        // Every element is written before it is read: no need to clear it
        // (new[] without "()" leaves the elements uninitialised).
        const std::unique_ptr<std::uint32_t[]> values(new std::uint32_t[count1 + count2]);
        const std::span<std::uint32_t> all(values.get(), count1 + count2);
        scale_series(image, series1, all.first(count1));
        scale_series(image, series2, all.subspan(count1));

        append_value_lines(output, all.first(count1), all.subspan(count1));
    } catch (const std::bad_alloc&) {
        append_line(console, "Cannot allocate memory");
        return status_memory;
    }
    return status_ok;
}

namespace {

// Reads the whole input in one request (a short count is the whole file)
// into an image that is zero past what was read; false on a read error.
bool read_image(std::FILE* input, unsigned char* image, std::size_t& bytes_read)
{
    bytes_read = std::fread(image, 1, image_size, input);
    if (std::ferror(input) != 0)
        return false;
    std::fill(image + bytes_read, image + image_size, 0);
    return true;
}

void print_line(const Print& print, std::string_view line)
{
    std::string text;
    append_line(text, line);
    print(text);
}

// Writes the output, and makes sure that a run which fails to do so leaves
// no partial file behind that could pass for a result.
int write_output(const std::string& output_path, std::FILE* input, const std::string& output,
                 const Print& print)
{
    std::FILE* opened = nullptr;
    FileIdentity identity;
    if (open_output(output_path, input, opened, identity) != OutputOpen::opened) {
        // An output name that leads to the input itself (a link) is refused
        // like any other that cannot be opened: the input stays untouched.
        print_line(print, "cannot open " + output_path);
        return status_usage_or_output;
    }
    File file(opened);
    // The text is complete: hand it to the system in one write, uncopied.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    if (!write_and_close(std::move(file), output)) {
        remove_partial_output(output_path, identity);
        print_line(print, "cannot write " + output_path);
        return status_usage_or_output;
    }
    return status_ok;
}

int convert(const std::string& input_path, const Print& print)
{
    const File input(open_input(input_path));
    if (!input) {
        print_line(print, "Cannot open " + input_path);
        return status_input;
    }
    const std::unique_ptr<unsigned char[]> image(new unsigned char[image_size]);
    std::size_t bytes_read = 0;
    if (!read_image(input.get(), image.get(), bytes_read)) {
        // A read that fails (a directory, say) is not an empty file.
        print_line(print, "Cannot open " + input_path);
        return status_input;
    }

    std::string text;
    std::string output;
    const int status = convert_image({image.get(), image_size}, bytes_read, text, output);
    if (status != status_ok) {
        print(text);
        return status;
    }

    const std::string output_path = input_path + ".txt";
    append_line(text, "converting : " + input_path + " -> " + output_path);
    print(text);
    return write_output(output_path, input.get(), output, print);
}

} // namespace

int convert_file(std::string_view input_path, const Print& print)
{
    try {
        return convert(std::string(input_path), print);
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
