// Writes examples/damped.bin: a damped oscillation sampled 200 times.
// Series 1 is the time axis (sample number, scaled by 0.01 s); series 2 is
// the signal as integer counts of an imagined 12-bit recorder, scaled by
// 1/1000 and shifted by 0.25. Raw values are whole numbers, so the file
// comes out the same wherever it is made.
//
// usage: make_sample [output path]
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int samples = 200;
constexpr std::size_t series1_block = 1;
constexpr std::size_t series2_block = 5;

void put_be16(std::vector<unsigned char>& file, std::size_t pos, std::uint16_t v)
{
    file[pos] = static_cast<unsigned char>(v >> 8);
    file[pos + 1] = static_cast<unsigned char>(v);
}

void put_be32(std::vector<unsigned char>& file, std::size_t pos, float f)
{
    const auto v = std::bit_cast<std::uint32_t>(f);
    put_be16(file, pos, static_cast<std::uint16_t>(v >> 16));
    put_be16(file, pos + 2, static_cast<std::uint16_t>(v));
}

void put_descriptor(std::vector<unsigned char>& file, std::size_t table, std::size_t block,
                    float scale, float offset)
{
    put_be16(file, table + 2, static_cast<std::uint16_t>(block));
    put_be16(file, table + 6, static_cast<std::uint16_t>(4 * samples));
    put_be32(file, table + 8, scale);
    put_be32(file, table + 12, offset);
}

} // namespace

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : "examples/damped.bin";
    std::vector<unsigned char> file(series2_block * 256 + 4 * samples);
    put_descriptor(file, 144, series1_block, 0.01f, 0.0f);
    put_descriptor(file, 160, series2_block, 0.001f, 0.25f);
    for (int i = 0; i < samples; ++i) {
        const double t = i * 0.01;
        const double signal = std::exp(-t / 0.6) * std::cos(2 * 3.14159265358979 * 2.5 * t);
        put_be32(file, series1_block * 256 + 4 * static_cast<std::size_t>(i),
                 static_cast<float>(i));
        put_be32(file, series2_block * 256 + 4 * static_cast<std::size_t>(i),
                 static_cast<float>(std::lround(2000 * signal)));
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
