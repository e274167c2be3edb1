// Every file in the fuzzer's corpus (the seeds and any input that once
// broke something) must keep the conversion's invariants.
#include "check_conversion.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

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
