// Decimal text of numbers and output lines (decimal.cpp): the same bytes
// everywhere, with no printf, iostreams or locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace curvedump {

// "%d".
void append_int(std::string& text, int value);

// "%<width>.<precision>e" of a single-precision value, for any precision
// (a negative one counts as 6, as in printf): sign, one digit, ".", the
// digits, "e", the exponent's sign and at least two digits; right-aligned in
// width. Infinities and NaNs are "+INF", "-INF", "+NAN", "-NAN".
void append_exponent(std::string& text, std::uint32_t bits, int precision, int width);

// The line end of every line, console and file alike.
void append_line_end(std::string& text);

// One output field, "%11.4e", written at out: field_size bytes. Returns the
// end of what it wrote.
inline constexpr std::size_t field_size = 11;
char* put_field(char* out, std::uint32_t bits);

// One output line, "%11.4e %11.4e" and the line end: line_size bytes.
inline constexpr std::size_t line_size = 2 * field_size + 3;
char* put_value_line(char* out, std::uint32_t first, std::uint32_t second);

// One line for each pair first[i], second[i], as many as the shorter has.
void append_value_lines(std::string& text, std::span<const std::uint32_t> first,
                        std::span<const std::uint32_t> second);

} // namespace curvedump
