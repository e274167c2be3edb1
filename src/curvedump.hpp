// curvedump: converts a binary file of two float series into two-column text.
//
// What a caller of the library needs: the three steps of a conversion, each
// in its file. Decoding (decode.cpp) and the conversion (convert.cpp) are
// pure; the run (run.cpp) adds the input file, the output file and the
// console. Values travel as single-precision bit patterns (std::uint32_t)
// rather than as float, so that every step gives the same bits on every
// platform. Everything else in src/ is internal to the project.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace curvedump {

// The whole input file must fit in this many bytes, with at least one to spare.
inline constexpr std::size_t image_size = 32768;

// Exit statuses.
inline constexpr int status_ok = 0;
inline constexpr int status_usage_or_output = 1;
inline constexpr int status_input = 2;
inline constexpr int status_memory = 3;
// Both series empty: there are no values to hold, which the tool reports
// as an allocation that failed, with its status and message.
inline constexpr int status_no_values = status_memory;
inline constexpr int status_too_large = 4;
inline constexpr int status_bad_descriptor = 5;

// One entry of the descriptor table.
struct SeriesDescriptor {
    std::int16_t block = 0;   // data starts at block * 256
    std::int16_t length = 0;  // data size in bytes
    std::int16_t count = 0;   // length / 4 values
    std::uint32_t scale = 0;  // single-precision bit pattern
    std::uint32_t offset = 0; // single-precision bit pattern
};

// --- Decoding (decode.cpp) --------------------------------------------------

// What a file's bytes give: the descriptors and every scaled value, or the
// reason the file is refused.
struct Decoded {
    int status = status_ok; // status_ok, or the refusal's exit status
    SeriesDescriptor series1;
    SeriesDescriptor series2;
    int bad_series = 0;                // with status_bad_descriptor: 1 or 2
    std::size_t file_size = 0;         // bytes read (all of an accepted file)
    std::vector<std::uint32_t> values; // series 1, then series 2
};

// The roads the scaling takes: the integer roads alone (the tool), or the
// binary64 road first where it runs (the Python module). Both give the
// same bits.
enum class Scaling { integer, binary64_first };

// Decodes an image of image_size bytes: the file's first bytes_read bytes
// and zeros after them. bytes_read of image_size or more is a file too
// large.
Decoded decode_image(std::span<const unsigned char> image, std::size_t bytes_read,
                     Scaling scaling = Scaling::integer);

// The series that end past the end of the file, whose values there are read
// from zero bytes: 1 for series 1, 2 for series 2, 3 for both, 0 for none.
int series_past_end(const Decoded& decoded);

// --- The conversion (convert.cpp) -------------------------------------------

// The console lines a run prints before the file names, or up to and
// including the message of its refusal.
std::string console_lines(const Decoded& decoded);

// The output file's text: one line per value pair, as many as the shorter
// series has.
std::string output_text(std::span<const std::uint32_t> series1,
                        std::span<const std::uint32_t> series2);

// All a run does with an image but the files: the exit status, the console
// lines before the file names (or up to its refusal's message), the output
// text (empty unless status_ok) and series_past_end of the file.
struct Conversion {
    int status = status_ok;
    std::string console;
    std::string output;
    int past_end = 0;
    bool operator==(const Conversion&) const = default;
};
Conversion convert_image(std::span<const unsigned char> image, std::size_t bytes_read);

// --- The run (run.cpp) ------------------------------------------------------

// What can end a read that waits on a stream from outside (platform.hpp).
struct ReadStop;

// An image kept from one decode_file to the next on one thread, so that
// reading many files neither allocates an image for each nor clears more
// than the bytes an earlier file left past this one's end.
struct ReadBuffer {
    std::unique_ptr<unsigned char[]> image;
    std::size_t written = 0; // bytes past which the image holds zeros
};

// Reads the file at path as the tool does and decodes it. When the file
// cannot be opened or read, error gets errno's value and the result is
// empty; a read that `stop` ended gives EINTR.
Decoded decode_file(const std::string& path, int& error, Scaling scaling = Scaling::integer,
                    ReadStop* stop = nullptr, ReadBuffer* buffer = nullptr);

// What a conversion found beside its status: errno's value when the input
// could not be opened or read, or the output not opened or written (0 when
// there was no such failure or the system gave no errno), and
// series_past_end of the file converted. `stop`, given by the caller, can
// end a read that waits on a stream (input_error is then EINTR).
struct ConvertReport {
    int input_error = 0;
    int output_error = 0;
    int past_end = 0;
    ReadStop* stop = nullptr;
};

// Converts the file at input_path to input_path + ".txt", handing each piece
// of console text to `print` as soon as it is known; returns the exit status
// and fills *report when given.
using Print = std::function<void(std::string_view)>;
int convert_file(std::string_view input_path, const Print& print, ConvertReport* report = nullptr);

// The converter's entry: args as the process received them (args[0] is the
// program name, args[1] the input path, UTF-8 on Windows); console lines go
// to `console`.
int run_curvedump(std::span<const char* const> args, std::FILE* console);

} // namespace curvedump
