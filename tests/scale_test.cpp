// Scaling vectors: scale * raw + offset, rounded to a 64-bit significand and
// then to single precision. Expected bits were worked out by hand in exact
// rational arithmetic.
#include "layout.hpp"
#include "scale.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>

namespace {

using curvedump::scale_value;

struct ScaleCase {
    const char* what;
    std::uint32_t scale, raw, offset, expected;
};

// Double rounding: (1 + 2^-12) * (1 + 2^-11 + 2^-12) = 1 + 2^-10 + 2^-23 + 2^-24
// is the midpoint between the single-precision values ...2001 (odd) and
// ...2002 (even). An offset within half a 64-bit unit (2^-64 here) puts the
// wide intermediate on that midpoint and the tie goes to even, although the
// exact sum lies below it; a correctly rounded single result would be ...2001.
const ScaleCase double_rounding[] = {
    {"exact midpoint, tie to even", 0x3F800800, 0x3F801800, 0x00000000, 0x3F802002},
    {"below midpoint by 2^-70", 0x3F800800, 0x3F801800, 0x9C800000, 0x3F802002},
    {"below midpoint by 2^-64 (64-bit tie)", 0x3F800800, 0x3F801800, 0x9F800000, 0x3F802002},
    {"below midpoint by 2^-63 (one 64-bit unit)", 0x3F800800, 0x3F801800, 0xA0000000, 0x3F802001},
    {"above midpoint by 2^-70", 0x3F800800, 0x3F801800, 0x1C800000, 0x3F802002},
    // (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24: the even neighbour lies below.
    {"above midpoint, even below", 0x3F800800, 0x3F800800, 0x1C800000, 0x3F801000},
};

const ScaleCase finite[] = {
    {"identity", 0x3F800000, 0x3F800000, 0x00000000, 0x3F800000},
    {"2 * 1 - 0.5", 0x40000000, 0x3F800000, 0xBF000000, 0x3FC00000},
    {"0.5 * 2 + 10", 0x3F000000, 0x40000000, 0x41200000, 0x41300000},
    {"cancellation leaves 2^-46", 0x3F800001, 0x3F800001, 0xBF800002, 0x28800000},
    {"tiny product beside 1 is sticky only", 0x00000001, 0x00000001, 0x3F800000, 0x3F800000},
    {"tiny product beside -1", 0x00000001, 0x00000001, 0xBF800000, 0xBF800000},
    {"offset far below product", 0x7F000000, 0x3F800000, 0x00000001, 0x7F000000},
    {"subnormal raw made normal", 0x4B800000, 0x00000003, 0x00000000, 0x01C00000},
};

const ScaleCase zeros_and_subnormals[] = {
    {"+0 * 1 + -0", 0x00000000, 0x3F800000, 0x80000000, 0x00000000},
    {"-0 * 1 + -0", 0x80000000, 0x3F800000, 0x80000000, 0x80000000},
    {"-1 * 0 + -0", 0xBF800000, 0x00000000, 0x80000000, 0x80000000},
    {"-1 * -0 + -0", 0xBF800000, 0x80000000, 0x80000000, 0x00000000},
    {"1 * 1 + -1 is +0", 0x3F800000, 0x3F800000, 0xBF800000, 0x00000000},
    {"-1 * 1 + 1 is +0", 0xBF800000, 0x3F800000, 0x3F800000, 0x00000000},
    {"zero product keeps offset", 0x00000000, 0x40A00000, 0x40200000, 0x40200000},
    {"smallest subnormal", 0x00000001, 0x3F800000, 0x00000000, 0x00000001},
    {"half the smallest subnormal ties to 0", 0x00000001, 0x3F000000, 0x00000000, 0x00000000},
    {"-half the smallest subnormal is -0", 0x00000001, 0xBF000000, 0x00000000, 0x80000000},
    {"0.75 of smallest subnormal rounds up", 0x00000001, 0x3F400000, 0x00000000, 0x00000001},
    {"1.5 of smallest subnormal ties to 2", 0x00000001, 0x3FC00000, 0x00000000, 0x00000002},
    {"half the smallest normal", 0x00800000, 0x3F000000, 0x00000000, 0x00400000},
    {"subnormal rounds up to smallest normal", 0x3F7FFFFF, 0x00800000, 0x00000000, 0x00800000},
    {"2^-298 underflows to 0", 0x00000001, 0x00000001, 0x00000000, 0x00000000},
    {"-2^-298 underflows to -0", 0x80000001, 0x00000001, 0x00000000, 0x80000000},
    {"subnormal sum of subnormals", 0x00000003, 0x3F800000, 0x00000005, 0x00000008},
};

const ScaleCase overflow[] = {
    {"max * 2", 0x7F7FFFFF, 0x40000000, 0x00000000, 0x7F800000},
    {"max * -2", 0x7F7FFFFF, 0xC0000000, 0x00000000, 0xFF800000},
    {"max + max", 0x7F7FFFFF, 0x3F800000, 0x7F7FFFFF, 0x7F800000},
    {"max + half an ulp ties up to inf", 0x7F7FFFFF, 0x3F800000, 0x73000000, 0x7F800000},
    {"max + quarter ulp stays max", 0x7F7FFFFF, 0x3F800000, 0x72800000, 0x7F7FFFFF},
    {"-max - half an ulp", 0xFF7FFFFF, 0x3F800000, 0xF3000000, 0xFF800000},
};

const ScaleCase non_finite[] = {
    {"inf raw, scale -1", 0xBF800000, 0x7F800000, 0x00000000, 0xFF800000},
    {"inf scale, negative raw", 0x7F800000, 0xC0000000, 0x3F800000, 0xFF800000},
    {"finite + -inf offset", 0x3F800000, 0x3F800000, 0xFF800000, 0xFF800000},
    {"inf + inf", 0x7F800000, 0x3F800000, 0x7F800000, 0x7F800000},
    {"inf * 0 is invalid", 0x7F800000, 0x00000000, 0x00000000, 0xFFC00000},
    {"0 * -inf is invalid", 0x00000000, 0xFF800000, 0x3F800000, 0xFFC00000},
    {"inf - inf is invalid", 0x3F800000, 0x7F800000, 0xFF800000, 0xFFC00000},
    {"-inf + inf is invalid", 0xBF800000, 0x7F800000, 0x7F800000, 0xFFC00000},
    {"quiet NaN raw", 0x3F800000, 0x7FC00000, 0x00000000, 0x7FC00000},
    {"negative quiet NaN raw keeps payload", 0x3F800000, 0xFFC00001, 0x00000000, 0xFFC00001},
    {"signalling NaN raw is quieted", 0x3F800000, 0x7F800001, 0x00000000, 0x7FC00001},
    {"NaN offset", 0x3F800000, 0x3F800000, 0xFFC00000, 0xFFC00000},
    {"NaN scale beats NaN raw", 0xFFC00000, 0x7FC00000, 0x00000000, 0xFFC00000},
    {"NaN raw beats NaN offset", 0x3F800000, 0x7FA00000, 0xFFC00000, 0x7FE00000},
    {"NaN raw beats inf * 0", 0x00000000, 0x7FC00000, 0x00000000, 0x7FC00000},
    {"NaN offset beats inf * 0", 0x7F800000, 0x00000000, 0x7FC00000, 0x7FC00000},
};

void check(const ScaleCase& c)
{
    SCOPED_TRACE(c.what);
    EXPECT_EQ(scale_value(c.scale, c.raw, c.offset), c.expected)
        << std::hex << "scale " << c.scale << " raw " << c.raw << " offset " << c.offset;
}

void check_all(std::span<const ScaleCase> cases)
{
    for (const ScaleCase& c : cases)
        check(c);
}

TEST(ScaleValue, DoubleRounding) { check_all(double_rounding); }
TEST(ScaleValue, Finite) { check_all(finite); }
TEST(ScaleValue, ZerosAndSubnormals) { check_all(zeros_and_subnormals); }
TEST(ScaleValue, Overflow) { check_all(overflow); }
TEST(ScaleValue, NonFinite) { check_all(non_finite); }

// Swapping scale and raw must not change a finite result.
TEST(ScaleValue, ProductCommutes)
{
    for (const std::span<const ScaleCase> cases :
         {std::span<const ScaleCase>(double_rounding), std::span<const ScaleCase>(finite)}) {
        for (const ScaleCase& c : cases)
            EXPECT_EQ(scale_value(c.raw, c.scale, c.offset), c.expected) << c.what;
    }
}

} // namespace
