// The decoding: an image's descriptors checked and both series scaled.
// Pure: no files, no text.
#include "curvedump.hpp"

#include "layout.hpp"

#include <new>

namespace curvedump {

Decoded decode_image(std::span<const unsigned char> image, std::size_t bytes_read, Scaling scaling)
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
        d.status = status_no_values;
        return d;
    }
    try {
        d.values.resize(count1 + count2);
    } catch (const std::bad_alloc&) {
        d.status = status_memory;
        return d;
    }
    const std::span<std::uint32_t> all(d.values);
    scale_series(image, d.series1, all.first(count1), scaling);
    scale_series(image, d.series2, all.subspan(count1), scaling);
    return d;
}

int series_past_end(const Decoded& d)
{
    return (ends_past_file(d.series1, d.file_size) ? 1 : 0) |
           (ends_past_file(d.series2, d.file_size) ? 2 : 0);
}

} // namespace curvedump
