// The input file's layout: big-endian fields, the descriptor table at byte
// 144, and series data addressed in 256-byte blocks.
#include "layout.hpp"

#include "scale.hpp"

#include <algorithm>

namespace curvedump {

namespace {

// Big-endian fields; a field that does not lie wholly inside the image
// reads as zero.
std::int16_t read_be16(std::span<const unsigned char> image, std::size_t pos)
{
    if (pos > image.size() || image.size() - pos < 2)
        return 0;
    const auto bits = static_cast<std::uint16_t>(image[pos] << 8 | image[pos + 1]);
    return static_cast<std::int16_t>(bits);
}

std::uint32_t read_be32(std::span<const unsigned char> image, std::size_t pos)
{
    if (pos > image.size() || image.size() - pos < 4)
        return 0;
    return std::uint32_t{image[pos]} << 24 | std::uint32_t{image[pos + 1]} << 16 |
           std::uint32_t{image[pos + 2]} << 8 | std::uint32_t{image[pos + 3]};
}

} // namespace

SeriesDescriptor decode_descriptor(std::span<const unsigned char> image, std::size_t table_pos)
{
    SeriesDescriptor series;
    series.block = read_be16(image, table_pos + 2);
    series.length = read_be16(image, table_pos + 6);
    series.count = static_cast<std::int16_t>(series.length / 4);
    series.scale = read_be32(image, table_pos + 8);
    series.offset = read_be32(image, table_pos + 12);
    return series;
}

long series_end(const SeriesDescriptor& series)
{
    // In long, which holds 32,767 * 256 on every platform (int need not).
    return long{series.block} * long{block_size} + 4L * series.count;
}

bool descriptor_fits(const SeriesDescriptor& series)
{
    if (series.length < 0)
        return false;
    if (series.count == 0)
        return true;
    if (series.block < 0)
        return false;
    const long end = series_end(series);
    return end <= static_cast<long>(image_size);
}

bool ends_past_file(const SeriesDescriptor& series, std::size_t file_size)
{
    // Compared unsigned once positive, so that no file size wraps where long
    // is 32 bits.
    const long end = series_end(series);
    return series.count > 0 && end > 0 && static_cast<std::size_t>(end) > file_size;
}

void scale_series(std::span<const unsigned char> image, const SeriesDescriptor& series,
                  std::span<std::uint32_t> values, Scaling scaling)
{
    const std::size_t start =
        series.block > 0 ? static_cast<std::size_t>(series.block) * block_size : 0;
    const std::size_t inside =
        start < image.size() ? std::min(values.size(), (image.size() - start) / 4) : 0;
    if (inside > 0) {
        const std::span<const unsigned char> raw = image.subspan(start, 4 * inside);
        if (scaling == Scaling::binary64_first) {
            scale_values_binary64(series.scale, series.offset, raw, values);
        } else {
            scale_values(series.scale, series.offset, raw, values);
        }
    }
    // Raw values past the end of the image read as zero.
    std::fill(values.begin() + static_cast<std::ptrdiff_t>(inside), values.end(),
              scale_value(series.scale, 0, series.offset));
}

} // namespace curvedump
