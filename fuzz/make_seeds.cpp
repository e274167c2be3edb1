// Writes the fuzzer's seed corpus: valid files, each refusal, non-finite and
// subnormal values. usage: make_seeds DIR
#include "test_image.hpp"

#include <cstdio>
#include <limits>
#include <string>

namespace {

using test_image::f32;
using test_image::put_be32;
using test_image::with_table;

bool write(const std::string& dir, const char* name, const std::vector<unsigned char>& bytes)
{
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    constexpr float inf = std::numeric_limits<float>::infinity();
    bool ok = write(dir, "valid-small", test_image::small_example());

    std::vector<unsigned char> special =
        with_table({1, 32, f32(1.0f), f32(0.0f)}, {2, 32, f32(-3.0f), f32(0x1p-140f)});
    const std::uint32_t raws[] = {0x7F800000, 0xFF800000, 0x7FC00000, 0xFFC00001,
                                  0x7F800001, 0x00000001, 0x80000000, 0x7F7FFFFF};
    for (std::size_t i = 0; i < 8; ++i) {
        put_be32(special, 256 + 4 * i, raws[i]);
        put_be32(special, 512 + 4 * i, raws[7 - i]);
    }
    ok = write(dir, "non-finite-and-subnormal", special) && ok;
    ok = write(dir, "infinite-coefficients",
               with_table({0, 8, f32(inf), f32(-inf)}, {0, 8, f32(0.0f), f32(inf)})) &&
         ok;
    ok = write(dir, "empty", {}) && ok;
    ok = write(dir, "header-only-counts-zero", with_table({3, 0}, {4, 2})) && ok;
    ok =
        write(dir, "descriptor-past-image", with_table({127, 260, f32(1.0f), f32(0.0f)}, {1, 4})) &&
        ok;
    ok = write(dir, "descriptor-negative", with_table({1, 4}, {0xFFFF, 0x8000})) && ok;
    ok = write(dir, "counts-10-and-6",
               with_table({1, 40, f32(2.0f), f32(1.0f)}, {2, 24, f32(0.5f), f32(-1.0f)})) &&
         ok;
    std::vector<unsigned char> large = test_image::small_example();
    large.resize(32767);
    ok = write(dir, "largest-accepted", large) && ok;
    if (!ok) {
        std::fprintf(stderr, "make_seeds: cannot write to %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
