// The conversion's invariants on every file in the fuzzer's corpus (the
// seeds and any input that once broke something) and on files drawn from a
// seeded generator, whose results are pinned to the byte.
#include "check_conversion.hpp"
#include "test_image.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>

namespace {

// FNV-1a, 64 bits: one number for many results, the same on every platform.
std::uint64_t fnv1a(std::uint64_t hash, std::string_view bytes)
{
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3U;
    }
    return hash;
}

TEST(FuzzCorpus, EveryFileKeepsTheInvariants)
{
    int files = 0;
    std::string dir = CURVEDUMP_CORPUS_DIR;
#ifdef _WIN32
    if (!dir.empty() && dir[0] == '/')
        dir = "Z:" + dir; // the host's root under wine
#endif
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                              std::istreambuf_iterator<char>()};
        EXPECT_EQ(check_conversion::violation(bytes.data(), bytes.size()), "") << entry.path();
        ++files;
    }
    EXPECT_GE(files, 10);
}

// Every status, console line and output byte of 10,000 drawn files, as one
// hash: any change to what the tool gives for them shows here, on every
// platform. A change that is meant must say why and give the new hash.
TEST(FuzzCorpus, DrawnFilesKeepTheInvariantsAndTheirBytes)
{
    std::mt19937_64 bits(20261209);
    std::uint64_t hash = 0xcbf29ce484222325U;
    int statuses[6] = {};
    for (int i = 0; i < 10000; ++i) {
        const std::vector<unsigned char> file = test_image::random_file(bits);
        ASSERT_EQ(check_conversion::violation(file.data(), file.size()), "") << "file " << i;
        const curvedump::Conversion c = check_conversion::convert(file.data(), file.size());
        hash = fnv1a(hash, std::string(1, static_cast<char>('0' + c.status)));
        hash = fnv1a(hash, c.console);
        hash = fnv1a(hash, c.output);
        ++statuses[c.status];
    }
    // The generator reaches every status a conversion in memory can give.
    for (const int status : {0, 3, 4, 5})
        EXPECT_GT(statuses[status], 0) << "status " << status;
    EXPECT_EQ(hash, std::uint64_t{0x83e635e2a8e282b2});
}

} // namespace
