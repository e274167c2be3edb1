// Builds input files for the tests: a descriptor table and raw values.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace test_image {

struct Series {
    std::uint16_t block = 0;
    std::uint16_t length = 0;
    float scale = 0.0f;
    float offset = 0.0f;
};

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

inline void put_float(std::vector<unsigned char>& file, std::size_t pos, float f)
{
    put_be32(file, pos, std::bit_cast<std::uint32_t>(f));
}

// A file holding the descriptor table and nothing else (176 bytes).
inline std::vector<unsigned char> with_table(const Series& s1, const Series& s2)
{
    std::vector<unsigned char> file(176);
    std::size_t table = 144;
    for (const Series* s : {&s1, &s2}) {
        put_be16(file, table + 2, s->block);
        put_be16(file, table + 6, s->length);
        put_float(file, table + 8, s->scale);
        put_float(file, table + 12, s->offset);
        table += 16;
    }
    return file;
}

// The 528-byte example file: series 1 at block 1 with scale 1 and offset 0,
// series 2 at block 2 with scale 0.5 and offset 10, four values each.
inline std::vector<unsigned char> small_example()
{
    std::vector<unsigned char> file = with_table({1, 16, 1.0f, 0.0f}, {2, 16, 0.5f, 10.0f});
    const float first[] = {1.0f, -2.5f, 0.1f, 1e30f};
    const float second[] = {4.0f, -20.0f, 0.0f, 8e-3f};
    for (std::size_t i = 0; i < 4; ++i) {
        put_float(file, 256 + 4 * i, first[i]);
        put_float(file, 512 + 4 * i, second[i]);
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
