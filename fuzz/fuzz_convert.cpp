// libFuzzer target: the conversion the tool runs (convert_image, all of a
// run but the files), checked for what must hold for any input.
#include "check_conversion.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The entry libFuzzer calls, declared as its interface gives it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string problem = check_conversion::violation(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "violation: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
