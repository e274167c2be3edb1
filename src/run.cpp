// The run: the input opened and read into the image, the conversion, the
// output written through the output layer (platform.hpp), and the console.
#include "curvedump.hpp"

#include "decimal.hpp"
#include "platform.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

namespace curvedump {

namespace {

void print_line(const Print& print, std::string_view line)
{
    std::string text(line);
    append_line_end(text);
    print(text);
}

// The input file as the conversion takes it: the first image_size bytes,
// zero past what was read. error is errno's value when the file cannot be
// opened or read; the input stays open for the output's checks.
struct LoadedInput {
    os::Handle file;
    std::unique_ptr<unsigned char[]> owned; // the image, unless a ReadBuffer holds it
    const unsigned char* image = nullptr;
    std::size_t bytes_read = 0;
    int error = 0;
};

LoadedInput load_input(const std::string& path, ReadStop* stop, ReadBuffer* buffer)
{
    LoadedInput loaded;
    OpenedInput opened = open_input(path);
    loaded.file = std::move(opened.input);
    loaded.error = opened.error;
    if (!loaded.file.open())
        return loaded;
    unsigned char* image = nullptr;
    std::size_t dirty = image_size;
    if (buffer == nullptr) {
        // Every byte is written before it is read: no need to clear it
        // first (new[] without "()" leaves the bytes uninitialised).
        loaded.owned.reset(new unsigned char[image_size]);
        image = loaded.owned.get();
    } else {
        if (!buffer->image) {
            buffer->image.reset(new unsigned char[image_size]);
            buffer->written = image_size;
        }
        image = buffer->image.get();
        dirty = buffer->written;
        buffer->written = image_size; // until this read is known to have ended well
    }
    loaded.image = image;
    const ReadInput read = read_input(loaded.file.raw, {image, image_size}, stop);
    loaded.bytes_read = read.bytes;
    loaded.error = read.error;
    if (read.error == 0) {
        // Zeros past the end: only where an earlier read of the buffer
        // left bytes.
        if (dirty > read.bytes)
            std::fill(image + read.bytes, image + dirty, 0);
        if (buffer != nullptr)
            buffer->written = read.bytes;
    }
    return loaded;
}

// Writes the output, and names what failed when it cannot be: an output
// that cannot be opened (or is the input) is left as it was; one that
// cannot be written leaves no partial file behind that could pass for a
// result. output_error gets the failure's errno value (none for the input
// itself).
int write_output(const std::string& output_path, os::RawHandle input, const std::string& output,
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

int convert(const std::string& input_path, const Print& print, ConvertReport& report)
{
    const LoadedInput input = load_input(input_path, report.stop, nullptr);
    report.input_error = input.error;
    if (!input.file.open() || input.error != 0) {
        print_line(print, "Cannot open " + input_path);
        return status_input;
    }
    Conversion conversion = convert_image({input.image, image_size}, input.bytes_read);
    report.past_end = conversion.past_end;
    if (conversion.status != status_ok) {
        print(conversion.console);
        return conversion.status;
    }
    const std::string output_path = input_path + ".txt";
    conversion.console += "converting : " + input_path + " -> " + output_path;
    append_line_end(conversion.console);
    print(conversion.console);
    return write_output(output_path, input.file.raw, conversion.output, print, report.output_error);
}

} // namespace

Decoded decode_file(const std::string& path, int& error, Scaling scaling, ReadStop* stop,
                    ReadBuffer* buffer)
{
    const LoadedInput input = load_input(path, stop, buffer);
    error = input.error;
    if (!input.file.open() || error != 0)
        return {};
    return decode_image({input.image, image_size}, input.bytes_read, scaling);
}

int convert_file(std::string_view input_path, const Print& print, ConvertReport* report)
{
    ConvertReport found;
    if (report != nullptr)
        found.stop = report->stop;
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
