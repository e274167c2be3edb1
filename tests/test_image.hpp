// Writes data files for the tests, the fuzz seeds, the benchmarks and the
// bundled sample: big-endian fields, a descriptor table, raw values. Values
// are bit patterns; f32() gives the pattern of a float literal.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace test_image {

constexpr std::uint32_t f32(float f) { return std::bit_cast<std::uint32_t>(f); }

// The fields of one descriptor: scale and offset as bit patterns.
struct Series {
    std::uint16_t block = 0;
    std::uint16_t length = 0;
    std::uint32_t scale = 0;
    std::uint32_t offset = 0;
};

// The file grows to hold what is put past its end.
inline void put_be16(std::vector<unsigned char>& file, std::size_t pos, std::uint16_t v)
{
    if (file.size() < pos + 2)
        file.resize(pos + 2);
    file[pos] = static_cast<unsigned char>(v >> 8);
    file[pos + 1] = static_cast<unsigned char>(v);
}

inline void put_be32(std::vector<unsigned char>& file, std::size_t pos, std::uint32_t v)
{
    put_be16(file, pos, static_cast<std::uint16_t>(v >> 16));
    put_be16(file, pos + 2, static_cast<std::uint16_t>(v));
}

// A file holding the descriptor table and nothing else (176 bytes).
inline std::vector<unsigned char> with_table(const Series& s1, const Series& s2)
{
    std::vector<unsigned char> file(176);
    std::size_t table = 144;
    for (const Series* s : {&s1, &s2}) {
        put_be16(file, table + 2, s->block);
        put_be16(file, table + 6, s->length);
        put_be32(file, table + 8, s->scale);
        put_be32(file, table + 12, s->offset);
        table += 16;
    }
    return file;
}

// The 528-byte example file: series 1 at block 1 with scale 1 and offset 0,
// series 2 at block 2 with scale 0.5 and offset 10, four values each.
inline std::vector<unsigned char> small_example()
{
    std::vector<unsigned char> file =
        with_table({1, 16, f32(1.0f), f32(0.0f)}, {2, 16, f32(0.5f), f32(10.0f)});
    const float first[] = {1.0f, -2.5f, 0.1f, 1e30f};
    const float second[] = {4.0f, -20.0f, 0.0f, 8e-3f};
    for (std::size_t i = 0; i < 4; ++i) {
        put_be32(file, 256 + 4 * i, f32(first[i]));
        put_be32(file, 512 + 4 * i, f32(second[i]));
    }
    return file;
}

inline const std::string small_example_header = "1 2 16 16\r\n"
                                                "1.000000e+00 5.000000e-01\r\n"
                                                "0.000000e+00 1.000000e+01\r\n";

inline const std::string small_example_output = " 1.0000e+00  1.2000e+01\r\n"
                                                "-2.5000e+00  0.0000e+00\r\n"
                                                " 1.0000e-01  1.0000e+01\r\n"
                                                " 1.0000e+30  1.0004e+01\r\n";

} // namespace test_image
