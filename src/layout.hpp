// The input file's layout: the descriptor table, where each series' raw
// values lie and where they end, and the bounds a descriptor must keep
// (layout.cpp). Internal: the conversion and the Python module decide these
// here and nowhere else.
#pragma once

#include "curvedump.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace curvedump {

// Series data is addressed in blocks of this many bytes.
inline constexpr std::size_t block_size = 256;
// Where each series' 16-byte descriptor starts.
inline constexpr std::size_t series1_table = 144;
inline constexpr std::size_t series2_table = 160;

// One descriptor of the table; fields past the end of the image read as zero.
SeriesDescriptor decode_descriptor(std::span<const unsigned char> image, std::size_t table_pos);

// The byte just past a series' last value, block * 256 + 4 * count: the one
// answer to where a series ends, for the image's bounds and the file's.
long series_end(const SeriesDescriptor& series);

// Whether a series lies inside the image (an empty one may point anywhere).
bool descriptor_fits(const SeriesDescriptor& series);

// Whether a series with values ends past a file of file_size bytes: its
// values there are read from the image's zero bytes.
bool ends_past_file(const SeriesDescriptor& series, std::size_t file_size);

// The series' raw values, each scaled: values holds series.count entries.
// Raw values past the end of the image (never, once the descriptor fits)
// read as zero.
void scale_series(std::span<const unsigned char> image, const SeriesDescriptor& series,
                  std::span<std::uint32_t> values, Scaling scaling = Scaling::integer);

} // namespace curvedump
