// Scaling vectors: scale * raw + offset, rounded to a 64-bit significand and
// then to single precision. Expected bits were worked out by hand in exact
// rational arithmetic.
#include "layout.hpp"
#include "scale.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cfenv>
#include <cstdint>
#include <span>

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

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

// Sums whose binary64 rounding is a single-precision midpoint, which the
// binary64 road must hand to the integer roads, and sums one binary64 unit
// beside one, which it keeps.
struct RoadCase {
    ScaleCase c;
    bool on_midpoint; // the binary64 sum
};
const RoadCase binary64_road[] = {
    // 2^30 + 2^7 + 2^6(1 + 2^-15)(1 - 2^-15) = M - 2^-24, M = 2^30 + 3 * 2^6
    // the midpoint: binary64 rounds to M (a tie, to even ...02), the 64-bit
    // sum stays below it (...01).
    {{"binary64 sum on a midpoint, exact sum below", 0x42800100, 0x3F7FFE00, 0x4E800001,
      0x4E800001},
     true},
    {{"exact sum on a midpoint, tie to even", 0x42800000, 0x3F800000, 0x4E800001, 0x4E800002},
     true},
    // 2^6(1 + 2^-14)(1 - 2^-14) = 2^6 - 2^-22: one binary64 unit below M.
    {{"one binary64 unit below a midpoint", 0x42800200, 0x3F7FFC00, 0x4E800001, 0x4E800001}, false},
    {{"one binary64 unit above a midpoint", 0x42800200, 0xBF7FFC00, 0x4E800002, 0x4E800002}, false},
    // FLT_MAX + 2^51 * 2^52: the overflow threshold, a tie that goes to infinity.
    {{"sum on the overflow threshold", 0x59000000, 0x59800000, 0x7F7FFFFF, 0x7F800000}, true},
    // 2^51(1 - 2^-11) * 2^52(1 + 2^-11 + 2^-22) = 2^103 - 2^70.
    {{"binary64 sum on the threshold, exact sum below", 0x58FFE000, 0x59801002, 0x7F7FFFFF,
      0x7F7FFFFF},
     true},
    // 2^-149 + 2^-75 * 2^-75: three halves of the smallest subnormal, to even.
    {{"subnormal sum on a midpoint", 0x1A000000, 0x1A000000, 0x00000001, 0x00000002}, true},
    // 2^-150(1 - 2^-33) beside 2^-149: exact in binary64, below the midpoint.
    {{"subnormal sum beside a midpoint", 0x19FFE000, 0x1A001002, 0x00000001, 0x00000001}, false},
};

// One value through the binary64 road; returns how many it handed on.
std::size_t through_binary64_road(const ScaleCase& c, std::uint32_t& value)
{
    const std::array<unsigned char, 4> raw{
        static_cast<unsigned char>(c.raw >> 24), static_cast<unsigned char>(c.raw >> 16),
        static_cast<unsigned char>(c.raw >> 8), static_cast<unsigned char>(c.raw)};
    return curvedump::scale_values_binary64(c.scale, c.offset, raw, {&value, 1});
}

// Floating-point environments other than the default: the binary64 road
// must not run, and every value is still exact. The modes of MXCSR
// (flush-to-zero, bit 15; denormals-are-zero, bit 6) where it is read.
struct Environment {
    const char* what;
    int rounding;          // for fesetround
    unsigned control_bits; // set in MXCSR
};
const Environment environments[] = {
    {"round toward zero", FE_TOWARDZERO, 0}, {"round upward", FE_UPWARD, 0},
    {"round downward", FE_DOWNWARD, 0},
#if defined(__x86_64__) || defined(_M_X64)
    {"flush to zero", FE_TONEAREST, 0x8000}, {"denormals are zero", FE_TONEAREST, 0x0040},
#endif
};

void set_control_bits(unsigned bits)
{
#if defined(__x86_64__) || defined(_M_X64)
    _mm_setcsr((_mm_getcsr() & ~0x8040u) | bits);
#else
    static_cast<void>(bits);
#endif
}

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

TEST(ScaleValue, Binary64Road)
{
    for (const RoadCase& row : binary64_road) {
        SCOPED_TRACE(row.c.what);
        check(row.c);
        std::uint32_t value = 0;
        const std::size_t handed = through_binary64_road(row.c, value);
        EXPECT_EQ(value, row.c.expected);
        if (curvedump::binary64_road_runs()) {
            EXPECT_EQ(handed, row.on_midpoint ? 1u : 0u);
        }
    }
}

TEST(ScaleValue, Binary64RoadOutsideTheDefaultEnvironment)
{
    for (const Environment& environment : environments) {
        SCOPED_TRACE(environment.what);
        for (const RoadCase& row : binary64_road) {
            std::uint32_t value = 0;
            ASSERT_EQ(std::fesetround(environment.rounding), 0);
            set_control_bits(environment.control_bits);
            const bool runs = curvedump::binary64_road_runs();
            const std::size_t handed = through_binary64_road(row.c, value);
            set_control_bits(0);
            std::fesetround(FE_TONEAREST);
            EXPECT_FALSE(runs);
            EXPECT_EQ(handed, 1u) << row.c.what;
            EXPECT_EQ(value, row.c.expected) << row.c.what;
        }
    }
}
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
