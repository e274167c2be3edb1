// Every file in the fuzzer's corpus (the seeds and any input that once
// broke something) must keep the conversion's invariants.
#include "check_conversion.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

TEST(FuzzCorpus, EveryFileKeepsTheInvariants)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(CURVEDUMP_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                              std::istreambuf_iterator<char>()};
        EXPECT_EQ(check_conversion::violation(bytes.data(), bytes.size()), "") << entry.path();
        ++files;
    }
    EXPECT_GE(files, 10);
}
