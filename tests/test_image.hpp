// Writes data files for the tests, the fuzz seeds, the benchmarks and the
// bundled sample: big-endian fields, a descriptor table, raw values. Values
// are bit patterns; f32() gives the pattern of a float literal.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <random>
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

// A file drawn from `bits`, the same on every platform (the standard fixes
// mt19937_64's output, not a distribution's): descriptors inside the image
// with lengths up to the image's end, now and then any 16 bits; scale and
// offset where the arithmetic has its edges or any bits; raw values of any
// bits or of ordinary magnitudes, specials put among them; files cut
// within the header, series past the end of the file, and files too large.
inline std::vector<unsigned char> random_file(std::mt19937_64& bits)
{
    const auto below = [&bits](std::uint64_t n) { return bits() % n; };
    constexpr std::uint32_t specials[] = {
        0x00000000, 0x80000000, 0x3F800000, 0xBF800000, 0x7F800000, 0xFF800000,
        0x7FC00000, 0xFFC00001, 0x7F800001, 0x00000001, 0x807FFFFF, 0x00800000,
        0x7F7FFFFF, 0xFF7FFFFF, 0x40490FDB, 0xC0490FDB, 0x3DCCCCCD, 0x5F000000};
    const auto special = [&]() { return specials[below(std::size(specials))]; };
    const auto coefficient = [&]() {
        return below(2) == 0 ? special() : static_cast<std::uint32_t>(bits());
    };
    constexpr std::size_t image = 32768;
    const std::uint64_t size_kind = below(100);
    std::size_t size = 176 + below(4096);
    if (size_kind < 5)
        size = below(176);
    else if (size_kind < 7)
        size = image + below(2);
    else if (size_kind >= 70)
        size = 176 + below(image - 176);
    // Whole words and the whole table first; cut to size at the end.
    std::vector<unsigned char> file(std::max<std::size_t>(176, (size + 3) / 4 * 4));
    const bool any_bits = below(2) == 0;
    for (std::size_t pos = 0; pos < file.size(); pos += 4) {
        const auto word = static_cast<std::uint32_t>(bits());
        // Any bits, or a normal value between 2^-17 and 2^14.
        const std::uint32_t ordinary = (word & 0x807FFFFF) | (110 + (word >> 23) % 31) << 23;
        put_be32(file, pos, any_bits ? word : ordinary);
    }
    std::vector<Series> table(2);
    for (Series& s : table) {
        if (below(16) == 0) {
            s.block = static_cast<std::uint16_t>(bits());
            s.length = static_cast<std::uint16_t>(bits());
        } else {
            s.block = static_cast<std::uint16_t>(below(128));
            const std::uint64_t room = std::min<std::uint64_t>(image - 256 * s.block, 32767);
            s.length = static_cast<std::uint16_t>(below(below(8) == 0 ? room + 1 : 2049));
        }
        s.scale = coefficient();
        s.offset = coefficient();
        for (std::uint64_t n = below(4); n > 0 && s.length >= 4 && s.block < 128; --n) {
            const std::size_t pos = std::size_t{256} * s.block + 4 * below(s.length / 4);
            if (pos + 4 <= file.size())
                put_be32(file, pos, special());
        }
    }
    const std::vector<unsigned char> header = with_table(table[0], table[1]);
    std::copy(header.begin() + 144, header.end(), file.begin() + 144);
    file.resize(size);
    return file;
}

} // namespace test_image
