// curvedump: converts a binary file of two float series into two-column text.
//
// Values travel as single-precision bit patterns (std::uint32_t) rather than
// as float: an x87 load would quietly turn a signalling NaN into a quiet one,
// and every step must give the same bits on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace curvedump {

// The whole input file must fit in this many bytes, with at least one to spare.
inline constexpr std::size_t image_size = 32768;
inline constexpr std::size_t block_size = 256;
inline constexpr std::size_t series1_table = 144;
inline constexpr std::size_t series2_table = 160;

// Exit statuses.
inline constexpr int status_ok = 0;
inline constexpr int status_usage_or_output = 1;
inline constexpr int status_input = 2;
inline constexpr int status_memory = 3;
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

// Decoding (decode.cpp). Reads past the end of the image give zero bytes.
std::int16_t read_be16(std::span<const unsigned char> image, std::size_t pos);
std::uint32_t read_be32(std::span<const unsigned char> image, std::size_t pos);
SeriesDescriptor decode_descriptor(std::span<const unsigned char> image, std::size_t table_pos);
bool descriptor_fits(const SeriesDescriptor& series);
std::uint32_t scale_value(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset);
void scale_series(std::span<const unsigned char> image, const SeriesDescriptor& series,
                  std::span<std::uint32_t> values);

// Rendering (render.cpp). Each put_ function writes at out and returns the
// end of what it wrote; the buffer must hold the *_max bytes named below.
inline constexpr std::size_t exponent_max = 24;
char* put_int(char* out, int value);
// The double of the same value as a single-precision bit pattern, formed in
// integers so that no floating-point mode can flush a subnormal or quiet a
// signalling NaN.
double widen(std::uint32_t bits);
// Five significant digits of a positive finite non-zero value: false when
// only an exact conversion can decide the rounding.
bool five_significant_digits(std::uint32_t bits, std::uint32_t& digits, int& exponent10);
// "%<width>.<precision>e" through std::to_chars, for any precision; the
// buffer must hold max(width, exponent_max) bytes.
char* put_exponent(char* out, std::uint32_t bits, int precision, int width);
// One output field, "%11.4e": 11 bytes.
char* put_field(char* out, std::uint32_t bits);
// One output line, "%11.4e %11.4e" and CR LF: line_size bytes.
inline constexpr std::size_t line_size = 25;
char* put_value_line(char* out, std::uint32_t first, std::uint32_t second);
// One line for each pair first[i], second[i], as many as the shorter has.
void append_value_lines(std::string& text, std::span<const std::uint32_t> first,
                        std::span<const std::uint32_t> second);
void append_int(std::string& text, int value);
void append_exponent(std::string& text, std::uint32_t bits, int precision, int width);
void append_line_end(std::string& text);

// Driver (driver.cpp).
// What a file's bytes give: the descriptors and every scaled value, or the
// reason the file is refused. `image` holds image_size bytes, the file's
// first bytes_read bytes and zeros after them.
struct Decoded {
    int status = status_ok; // status_ok, or the refusal's exit status
    SeriesDescriptor series1;
    SeriesDescriptor series2;
    int bad_series = 0;                // with status_bad_descriptor: 1 or 2
    std::vector<std::uint32_t> values; // series 1, then series 2
};
Decoded decode_image(std::span<const unsigned char> image, std::size_t bytes_read);
// The console lines a run prints before the file names, or up to and
// including the message of its refusal.
std::string console_lines(const Decoded& decoded);
// The output file's text: one line per value pair.
std::string output_text(const Decoded& decoded);
// The three together: console lines appended to `console`, the output text
// to `output` when the run goes on to write it; returns the status.
int convert_image(std::span<const unsigned char> image, std::size_t bytes_read,
                  std::string& console, std::string& output);

// Reads the whole input in one request (a short count is the whole file)
// into `image`, which is zero past what was read; false on a read error.
bool read_image(std::FILE* input, std::span<unsigned char> image, std::size_t& bytes_read);

// Converts the file at input_path to input_path + ".txt", handing each piece
// of console text to `print` as soon as it is known; returns the exit status.
// When the input cannot be opened or read, *input_error gets errno's value.
using Print = std::function<void(std::string_view)>;
int convert_file(std::string_view input_path, const Print& print, int* input_error = nullptr);

// The converter's entry: args as the process received them (args[0] is the
// program name, args[1] the input path, UTF-8 on Windows); console lines go
// to `console`.
int run_curvedump(std::span<const char* const> args, std::FILE* console);

} // namespace curvedump
