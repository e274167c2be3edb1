// The baseline for the instruction goal: the same conversion of the same
// file (same decoding and scaling, same console lines), but each line
// formatted and written the usual way, fprintf(out, "%11.4e %11.4e\r\n").
// Not part of the product.
//
// usage: printf_baseline PATH
#include "curvedump.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 1;
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr)
        return 2;
    std::vector<unsigned char> image(curvedump::image_size);
    const std::size_t n = std::fread(image.data(), 1, image.size(), in);
    std::fclose(in);
    const curvedump::Decoded d = curvedump::decode_image(image, n);
    if (d.status == curvedump::status_too_large)
        return d.status;
    const auto f = [](std::uint32_t bits) {
        return static_cast<double>(std::bit_cast<float>(bits));
    };
    const curvedump::SeriesDescriptor& s1 = d.series1;
    const curvedump::SeriesDescriptor& s2 = d.series2;
    std::printf("%d %d %d %d\r\n%e %e\r\n%e %e\r\n", s1.block, s2.block, s1.length, s2.length,
                f(s1.scale), f(s2.scale), f(s1.offset), f(s2.offset));
    if (d.status != curvedump::status_ok)
        return d.status;
    const auto c1 = static_cast<std::size_t>(s1.count);
    const auto c2 = static_cast<std::size_t>(s2.count);
    const std::string name = std::string(argv[1]) + ".txt";
    std::FILE* out = std::fopen(name.c_str(), "wb");
    std::printf("converting : %s -> %s\r\n", argv[1], name.c_str());
    if (out == nullptr)
        return 1;
    for (std::size_t i = 0; i < std::min(c1, c2); ++i) {
        std::fprintf(out, "%11.4e %11.4e\r\n", f(d.values[i]), f(d.values[c1 + i]));
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
