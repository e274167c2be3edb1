// Rendering vectors: "%<width>.<precision>e" of single-precision values,
// integers, and whole output lines.
#include "decimal.hpp"
#include "powers_of_ten.hpp"
#include "reference_field.hpp"
#include "single.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct RenderCase {
    std::uint32_t bits;
    int precision;
    int width;
    const char* expected;
};

std::string render(std::uint32_t bits, int precision, int width)
{
    std::string text;
    curvedump::append_exponent(text, bits, precision, width);
    return text;
}

std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }

TEST(Render, OutputFields)
{
    const RenderCase cases[] = {
        {bits_of(0.1f), 4, 11, " 1.0000e-01"},
        {bits_of(-2.5f), 4, 11, "-2.5000e+00"},
        {0x7F7FFFFF, 4, 11, " 3.4028e+38"}, // largest finite
        {0x00000001, 4, 11, " 1.4013e-45"}, // smallest subnormal
        {0x00800000, 4, 11, " 1.1755e-38"}, // smallest normal
        {0x007FFFFF, 4, 11, " 1.1755e-38"}, // largest subnormal
        {0x00000000, 4, 11, " 0.0000e+00"},
        {0x80000000, 4, 11, "-0.0000e+00"},
        {bits_of(1.09375f), 4, 11, " 1.0938e+00"}, // tie, to even upwards
        {bits_of(1.03125f), 4, 11, " 1.0312e+00"}, // tie, to even downwards
        {bits_of(-1.09375f), 4, 11, "-1.0938e+00"},
        {bits_of(9.99996f), 4, 11, " 1.0000e+01"}, // carry into a new exponent
        {bits_of(9.99994f), 4, 11, " 9.9999e+00"},
        {bits_of(12345.0f), 4, 11, " 1.2345e+04"},  // exact tie 1.2345|0 is no tie
        {bits_of(123455.0f), 4, 11, " 1.2346e+05"}, // 1.2345|5 ties to even 6
        {bits_of(123445.0f), 4, 11, " 1.2344e+05"}, // 1.2344|5 ties to even 4
        {bits_of(1e-7f), 4, 11, " 1.0000e-07"},
        {bits_of(-1e10f), 4, 11, "-1.0000e+10"},
        {0x7F800000, 4, 11, "       +INF"},
        {0xFF800000, 4, 11, "       -INF"},
        {0x7FC00000, 4, 11, "       +NAN"},
        {0xFFC00000, 4, 11, "       -NAN"},
        {0x7F800001, 4, 11, "       +NAN"}, // signalling pattern
        {0xFFFFFFFF, 4, 11, "       -NAN"},
    };
    for (const RenderCase& c : cases) {
        // The fast road the output file takes, and the general one.
        char field[curvedump::field_size];
        EXPECT_EQ(std::string(field, curvedump::put_field(field, c.bits)), c.expected)
            << std::hex << c.bits;
        EXPECT_EQ(render(c.bits, c.precision, c.width), c.expected) << std::hex << c.bits;
    }
}

TEST(Render, ConsoleCoefficients)
{
    const RenderCase cases[] = {
        {bits_of(1.0f), 6, 0, "1.000000e+00"},
        {bits_of(-0.5f), 6, 0, "-5.000000e-01"},
        {bits_of(0.1f), 6, 0, "1.000000e-01"},
        {bits_of(1.1015625f), 6, 0, "1.101562e+00"}, // 1.101562|5 ties down to even
        {bits_of(1.0234375f), 6, 0, "1.023438e+00"}, // 1.023437|5 ties up to even
        {0x7F7FFFFF, 6, 0, "3.402823e+38"},
        {0x00000001, 6, 0, "1.401298e-45"},
        {0x00000000, 6, 0, "0.000000e+00"},
        {0x80000000, 6, 0, "-0.000000e+00"},
        {0x7F800000, 6, 0, "+INF"},
        {0xFF800000, 6, 0, "-INF"},
        {0x7FC00000, 6, 0, "+NAN"},
        {0xFFC00000, 6, 0, "-NAN"},
        // Any precision: past the 17 digits of a double, and none at all.
        {bits_of(0.1f), 20, 0, "1.00000001490116119385e-01"},
        {0x00000001, 30, 0, "1.401298464324817070923729583290e-45"},
        {bits_of(2.5f), 0, 0, "2e+00"},
        {bits_of(-2.5f), 0, 8, "  -2e+00"},
        {bits_of(1.0f), -1, 0, "1.000000e+00"}, // negative: as if omitted
    };
    for (const RenderCase& c : cases)
        EXPECT_EQ(render(c.bits, c.precision, c.width), c.expected) << std::hex << c.bits;
}

// The double of a single-precision pattern is the same value, bit for bit:
// subnormals normalized, a NaN's payload and sign kept, a signalling NaN
// left signalling.
TEST(Render, ToDoubleIsExact)
{
    const std::pair<std::uint32_t, std::uint64_t> cases[] = {
        {0x00000000, 0x0000000000000000}, {0x80000000, 0x8000000000000000},
        {0x3F800000, 0x3FF0000000000000}, {0x00000001, 0x36A0000000000000},
        {0x007FFFFF, 0x380FFFFFC0000000}, {0x7F7FFFFF, 0x47EFFFFFE0000000},
        {0xFF800000, 0xFFF0000000000000}, {0x7F800001, 0x7FF0000020000000},
        {0xFFC00001, 0xFFF8000020000000},
    };
    for (const auto& [single, expected] : cases)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(curvedump::single::to_double(single)), expected)
            << std::hex << single;
}

TEST(Render, Integers)
{
    const std::pair<int, const char*> cases[] = {
        {0, "0"}, {40, "40"}, {-1, "-1"}, {32767, "32767"}, {-32768, "-32768"}};
    for (const auto& [value, expected] : cases) {
        std::string text;
        curvedump::append_int(text, value);
        EXPECT_EQ(text, expected);
    }
}

TEST(Render, ValueLineIs25Bytes)
{
    const std::uint32_t values[] = {0x00000000, 0x80000000, 0x7F7FFFFF, 0xFF7FFFFF,
                                    0x00000001, 0x7F800000, 0xFFC00000, bits_of(-1e-30f)};
    for (const std::uint32_t a : values) {
        for (const std::uint32_t b : values) {
            char buffer[curvedump::line_size];
            const std::string line(buffer, curvedump::put_value_line(buffer, a, b));
            ASSERT_EQ(line.size(), 25u) << line;
            EXPECT_EQ(line.substr(0, 11), render(a, 4, 11));
            EXPECT_EQ(line.substr(11, 1), " ");
            EXPECT_EQ(line.substr(12, 11), render(b, 4, 11));
            EXPECT_EQ(line.substr(23), "\r\n");
        }
    }
}

struct FieldTally {
    int compared = 0;
    int mismatches = 0;
};

void compare_field(std::uint32_t bits, FieldTally& tally)
{
    for (const std::uint32_t signed_bits : {bits, bits | 0x80000000u}) {
        char field[curvedump::field_size];
        const std::string fast(field, curvedump::put_field(field, signed_bits));
        const std::string expected = test_image::reference_field(signed_bits);
        ++tally.compared;
        if (fast != expected && ++tally.mismatches <= 10)
            ADD_FAILURE() << std::hex << signed_bits << ": " << fast << ", expected " << expected;
    }
}

// The output fields' fast road against std::to_chars, sampled: in every
// binary exponent (each position of a subnormal's leading bit counts as
// one), values that lie next to a five-digit rounding tie, where a fast
// road can go wrong, and some others; then the floats nearest to decimal
// midpoints, carries into a new digit among them, at every decimal
// exponent. The exhaustive test compares all 2^32 patterns; this is its
// everyday sample.
TEST(Render, FieldsNextToTiesMatchToChars)
{
    FieldTally tally;
    std::uint64_t state = 20261208;
    for (int e = -149; e < 128; ++e) { // the values in [2^e, 2^(e+1))
        const int k = static_cast<int>(std::floor(e * 0.30102999566398120));
        const double scale = std::pow(10.0, 4 - k);
        const std::uint32_t first =
            e < -126 ? 1u << (e + 149) : static_cast<std::uint32_t>(e + 127) << 23;
        const std::uint32_t span = e < -126 ? first : 1u << 23;
        for (int i = 0; i < 1 << 18; ++i) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            const std::uint32_t bits = first + static_cast<std::uint32_t>(state >> 40) % span;
            // Five digits before the point in double precision, far more
            // exact than the fast road's estimate: near a tie when the
            // fraction is near one half.
            double x = static_cast<double>(std::bit_cast<float>(bits)) * scale;
            if (x >= 100000)
                x /= 10;
            if (std::fabs(x - std::floor(x) - 0.5) < 0x1p-12 || i % 4096 == 0)
                compare_field(bits, tally);
        }
    }
    const int ties_and_others = tally.compared;
    for (int k = -45; k <= 38; ++k) {
        for (const char* digits : {"1.00005", "1.00015", "1.23445", "1.23455", "5.00005", "9.99985",
                                   "9.99995", "3.40285", "1.40125", "1.17545"}) {
            const std::string text = std::string(digits) + "e" + std::to_string(k);
            // strtof, not from_chars: libc++ 14 has no floating from_chars.
            // The program runs in the "C" locale, so "." is the point.
            const float nearest = std::strtof(text.c_str(), nullptr);
            const std::uint32_t bits = std::bit_cast<std::uint32_t>(nearest);
            for (std::uint32_t b = bits - 2; b != bits + 3; ++b) {
                if (b - 1 < 0x7F7FFFFFu) // finite and not zero
                    compare_field(b, tally);
            }
        }
    }
    std::printf("fields: %d compared in the binary exponents, %d beside decimal midpoints, "
                "%d mismatches\n",
                ties_and_others, tally.compared - ties_and_others, tally.mismatches);
    EXPECT_EQ(tally.mismatches, 0);
    // The sample must really reach the values next to ties.
    EXPECT_GE(ties_and_others, 50'000);
    EXPECT_GE(tally.compared - ties_and_others, 5'000);
}

// Unsigned integers of any size in 32-bit limbs, least significant first:
// just enough to check the table of powers of ten exactly.
using Big = std::vector<std::uint32_t>;

Big times(Big x, std::uint32_t factor, int repeat = 1)
{
    for (int i = 0; i < repeat; ++i) {
        std::uint64_t carry = 0;
        for (std::uint32_t& limb : x) {
            const std::uint64_t v = std::uint64_t{limb} * factor + carry;
            limb = static_cast<std::uint32_t>(v);
            carry = v >> 32;
        }
        if (carry != 0)
            x.push_back(static_cast<std::uint32_t>(carry));
    }
    return x;
}

int compare(const Big& a, const Big& b)
{
    const std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = n; i-- > 0;) {
        const std::uint32_t x = i < a.size() ? a[i] : 0;
        const std::uint32_t y = i < b.size() ? b[i] : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

Big minus(Big a, const Big& b) // a >= b
{
    std::int64_t borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::int64_t d = std::int64_t{a[i]} - (i < b.size() ? b[i] : 0) - borrow;
        a[i] = static_cast<std::uint32_t>(d);
        borrow = d < 0 ? 1 : 0;
    }
    return a;
}

// Each entry s * 2^e is 10^p rounded to nearest (ties to even) with s in
// [2^31, 2^32). Scaled by 2^a * 10^b to whole numbers: the entry is
// s * 2^(e+a) * 10^b, the power 10^(p+b) * 2^a, half a unit 2^(e-1+a) * 10^b.
TEST(Render, PowersOfTenAreRoundedToNearest)
{
    int p = curvedump::min_power;
    for (const curvedump::Power& power : curvedump::powers_of_ten) {
        SCOPED_TRACE(p);
        EXPECT_GE(power.significand, 0x80000000u);
        const int a = std::max(0, 1 - power.exponent);
        const int b = std::max(0, -p);
        const Big entry = times(times({power.significand}, 2, power.exponent + a), 10, b);
        const Big exact = times(times({1}, 10, p + b), 2, a);
        const Big half_unit = times(times({1}, 2, power.exponent - 1 + a), 10, b);
        const Big error = compare(entry, exact) >= 0 ? minus(entry, exact) : minus(exact, entry);
        const int side = compare(error, half_unit);
        EXPECT_TRUE(side < 0 || (side == 0 && power.significand % 2 == 0));
        ++p;
    }
    EXPECT_EQ(p, curvedump::max_power + 1);
}

} // namespace
