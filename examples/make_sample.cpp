// Writes examples/damped.bin: a damped oscillation sampled 200 times.
// Series 1 is the time axis (sample number, scaled by 0.01 s); series 2 is
// the signal as integer counts of an imagined 12-bit recorder, scaled by
// 1/1000 and shifted by 0.25. Raw values are whole numbers, so the file
// comes out the same wherever it is made.
//
// usage: make_sample [output path]
#include "test_image.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

using test_image::f32;

constexpr int samples = 200;
constexpr std::uint16_t series1_block = 1;
constexpr std::uint16_t series2_block = 5;
constexpr auto series_length = static_cast<std::uint16_t>(4 * samples);

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : "examples/damped.bin";
    std::vector<unsigned char> file =
        test_image::with_table({series1_block, series_length, f32(0.01f), f32(0.0f)},
                               {series2_block, series_length, f32(0.001f), f32(0.25f)});
    for (int i = 0; i < samples; ++i) {
        const double t = i * 0.01;
        const double signal = std::exp(-t / 0.6) * std::cos(2 * 3.14159265358979 * 2.5 * t);
        const auto at = 4 * static_cast<std::size_t>(i);
        test_image::put_be32(file, series1_block * 256 + at, f32(static_cast<float>(i)));
        test_image::put_be32(file, series2_block * 256 + at,
                             f32(static_cast<float>(std::lround(2000 * signal))));
    }
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "make_sample: cannot open %s\n", path);
        return 1;
    }
    const bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    if (std::fclose(out) != 0 || !ok) {
        std::fprintf(stderr, "make_sample: cannot write %s\n", path);
        return 1;
    }
    return 0;
}
