// Writes the largest input the converter accepts: 32,767 bytes, series 1
// with 4,032 values from block 1 and series 2 with 4,095 values from block
// 64; or, given `both`, the fullest: both series over the same 8,127 values
// from block 1 (16,254 values to scale). Values are built from integer bit
// patterns (no floating-point arithmetic), so the file is the same wherever
// it is made.
//
// usage: make_largest PATH [both]
#include "test_image.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// A float with a pseudo-random significand, exponent within [-20, 20] of 1
// and a random sign.
std::uint32_t random_float(std::uint64_t& state)
{
    state = state * 6364136223846793005u + 1442695040888963407u;
    const auto r = static_cast<std::uint32_t>(state >> 32);
    const std::uint32_t exponent = 127 - 20 + (r >> 8) % 41;
    return (r & 0x80000000u) | exponent << 23 | (r & 0x007FFFFFu);
}

} // namespace

int main(int argc, char** argv)
{
    const bool both = argc == 3 && std::strcmp(argv[2], "both") == 0;
    if (argc < 2 || (argc == 3 && !both) || argc > 3) {
        std::fprintf(stderr, "usage: make_largest PATH [both]\n");
        return 2;
    }
    constexpr std::uint16_t count1 = 4032, count2 = 4095, all = 8127;
    std::vector<unsigned char> file =
        both ? test_image::with_table({1, 4 * all, 0x3A83126F /* 0.001 */, 0x00000000},
                                      {1, 4 * all, 0x3DCCCCCD /* 0.1 */, 0xC0490FDB /* -pi */})
             : test_image::with_table({1, 4 * count1, 0x3A83126F /* 0.001 */, 0x00000000},
                                      {64, 4 * count2, 0x3DCCCCCD /* 0.1 */, 0xC0490FDB /* -pi */});
    file.resize(32767);
    std::uint64_t state = 42;
    for (std::size_t i = 0; i < (both ? 0 : count1); ++i) {
        // Sample numbers as floats: i is exact below 2^24.
        std::uint32_t bits = 0;
        if (i != 0) {
            int top = 31;
            while (((i >> top) & 1) == 0)
                --top;
            const auto fraction = static_cast<std::uint32_t>((i << (23 - top)) & 0x007FFFFFu);
            bits = static_cast<std::uint32_t>(127 + top) << 23 | fraction;
        }
        test_image::put_be32(file, 256 + 4 * i, bits);
    }
    for (std::size_t i = 0; i < (both ? all : count2); ++i)
        test_image::put_be32(file, (both ? 1 : 64) * 256 + 4 * i, random_float(state));

    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "make_largest: cannot open %s\n", argv[1]);
        return 1;
    }
    const bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    if (std::fclose(out) != 0 || !ok) {
        std::fprintf(stderr, "make_largest: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
