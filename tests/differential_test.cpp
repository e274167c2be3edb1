// scale_value, scale_values and the binary64 road (scale_values_binary64)
// against the x87 80-bit unit, which forms scale * raw + offset exactly as
// the converter must: exact product, sum rounded to a 64-bit significand,
// then rounded to single precision. Runs only where long double is that
// format.
#include "scale.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr bool x87_long_double = std::numeric_limits<long double>::digits == 64 &&
                                 std::numeric_limits<long double>::max_exponent == 16384;

bool is_nan(std::uint32_t f) { return (f & 0x7FFFFFFFu) > 0x7F800000u; }

std::uint32_t x87_scale(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset)
{
    const long double sum =
        static_cast<long double>(std::bit_cast<float>(scale)) * std::bit_cast<float>(raw) +
        std::bit_cast<float>(offset);
    return std::bit_cast<std::uint32_t>(static_cast<float>(sum));
}

// True when the wide sum lies exactly halfway between two floats although
// the exact sum does not: the case where double rounding shows.
bool double_rounding_tie(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset)
{
    const long double product =
        static_cast<long double>(std::bit_cast<float>(scale)) * std::bit_cast<float>(raw);
    const long double o = std::bit_cast<float>(offset);
    const long double sum = product + o;
    const float f = static_cast<float>(sum);
    if (!std::isfinite(f) || std::fabs(o) * 4 > std::fabs(product))
        return false;
    const long double below = sum - f;
    if (below == 0)
        return false;
    const float next = std::nextafter(f, below > 0 ? std::numeric_limits<float>::infinity()
                                                   : -std::numeric_limits<float>::infinity());
    if (!std::isfinite(next) || 2 * below != static_cast<long double>(next) - f)
        return false;
    // product and sum are within a factor of two, so product - sum is exact.
    return (product - sum) + o != 0;
}

struct Tally {
    long long inputs = 0;
    long long mismatches = 0;
    long long ties = 0;
    // Values given to the binary64 road, and how many it handed to the
    // integer roads.
    long long binary64 = 0;
    long long handed = 0;
};

// ours: what the converter made of scale * raw + offset; a second road's
// result for the same input (again) is not counted as another input.
void check(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset, std::uint32_t ours,
           Tally& tally, bool again = false)
{
    tally.inputs += again ? 0 : 1;
    const std::uint32_t theirs = x87_scale(scale, raw, offset);
    bool same = ours == theirs;
    // With two NaN operands the x87 unit keeps the one with the larger
    // payload; the converter keeps the first. Both must still be NaN.
    if (is_nan(scale) + is_nan(raw) + is_nan(offset) > 1)
        same = is_nan(ours) && is_nan(theirs);
    if (!same && ++tally.mismatches <= 10)
        ADD_FAILURE() << std::hex << "scale " << scale << " raw " << raw << " offset " << offset
                      << ": ours " << ours << ", x87 " << theirs;
    if (!again && double_rounding_tie(scale, raw, offset))
        ++tally.ties;
}

// One value through the binary64 road; returns how many it handed on (0 or 1).
std::size_t binary64_road(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset,
                          std::uint32_t& value)
{
    const std::array<unsigned char, 4> big_endian{
        static_cast<unsigned char>(raw >> 24), static_cast<unsigned char>(raw >> 16),
        static_cast<unsigned char>(raw >> 8), static_cast<unsigned char>(raw)};
    return curvedump::scale_values_binary64(scale, offset, big_endian, {&value, 1});
}

// Both roads on one value; returns how many the binary64 road handed on.
std::size_t compare(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset, Tally& tally)
{
    check(scale, raw, offset, curvedump::scale_value(scale, raw, offset), tally);
    std::uint32_t value = 0;
    const std::size_t handed = binary64_road(scale, raw, offset, value);
    check(scale, raw, offset, value, tally, true);
    ++tally.binary64;
    tally.handed += static_cast<long long>(handed);
    return handed;
}

std::uint32_t make_float(bool negative, int biased, std::uint32_t fraction)
{
    return (negative ? 0x80000000u : 0u) | static_cast<std::uint32_t>(biased) << 23 |
           (fraction & 0x007FFFFFu);
}

// Fractions that carries, borrows and ties need and uniform bits rarely give:
// all ones, all zeros, a single bit, a run of ones, a run of zeros in ones.
std::uint32_t biased_fraction(std::mt19937_64& rng)
{
    const std::uint64_t r = rng();
    const int i = static_cast<int>(r >> 8 & 31) % 23;
    const int j = static_cast<int>(r >> 16 & 31) % 23;
    const std::uint32_t run = ((2u << std::max(i, j)) - 1) & ~((1u << std::min(i, j)) - 1);
    switch (r % 6) {
    case 0:
        return 0x7FFFFF;
    case 1:
        return 0;
    case 2:
        return 1u << i;
    case 3:
        return run;
    case 4:
        return 0x7FFFFF & ~run;
    default:
        return static_cast<std::uint32_t>(r >> 32);
    }
}

// A float of random sign with the given exponent field (clamped to the
// finite range) and a biased fraction.
std::uint32_t biased_float(std::mt19937_64& rng, int biased)
{
    const bool negative = (rng() & 1) != 0;
    return make_float(negative, std::clamp(biased, 0, 254), biased_fraction(rng));
}

// Exponent field of the product of two floats with fields es and er (of
// its leading bit, give or take one).
int product_field(int es, int er) { return es + er - 127; }

bool is_signalling_nan(std::uint32_t f) { return is_nan(f) && (f & 0x00400000u) == 0; }
bool is_inf(std::uint32_t f) { return (f & 0x7FFFFFFFu) == 0x7F800000u; }
bool is_zero(std::uint32_t f) { return (f & 0x7FFFFFFFu) == 0; }

// Every triple of operands that an IEEE 754 unit treats apart: zeros,
// infinities, quiet and signalling NaNs, the ends of the subnormal and
// normal ranges, one, and some ordinary values beside them.
void special_operands(Tally& tally)
{
    const std::uint32_t specials[] = {
        0x00000000, 0x80000000,             // zeros
        0x7F800000, 0xFF800000,             // infinities
        0x7FC00000, 0xFFC00001, 0x7FE00000, // quiet NaNs
        0x7F800001, 0xFFA00000,             // signalling NaNs
        0x00000001, 0x80000001,             // smallest subnormal
        0x007FFFFF, 0x807FFFFF,             // largest subnormal
        0x00800000, 0x80800000,             // smallest normal
        0x7F7FFFFF, 0xFF7FFFFF,             // largest normal
        0x3F800000, 0xBF800000,             // one
        0x3FC00000, 0xC0490FDB, 0x3DCCCCCD, // 1.5, -pi, 0.1
        0x1F800000, 0x5F800000, 0x4B7FFFFF, // 2^-64, 2^64, 2^24 - 1
        0xA0000001, 0x00400001, 0x7F000001, // -2^-63 (odd), a subnormal, 2^127 (odd)
    };
    for (const std::uint32_t scale : specials) {
        for (const std::uint32_t raw : specials) {
            for (const std::uint32_t offset : specials) {
                // Infinity times zero plus a signalling NaN: the x87 result
                // depends on how the compiler hands the offset to the unit
                // (loaded alone it is quieted first; added from memory it
                // loses to the product's NaN), and GCC and Clang differ.
                const bool inf_times_zero =
                    (is_inf(scale) && is_zero(raw)) || (is_zero(scale) && is_inf(raw));
                if (inf_times_zero && is_signalling_nan(offset))
                    continue;
                compare(scale, raw, offset, tally);
            }
        }
    }
}

// Products that are a half of the smallest subnormal above a multiple of
// it, plus a trace 40 or more bits further down: only a sticky bit keeps
// such a result from rounding as a tie. Significand pairs whose product a * b
// has bit m set, the m - 1 bits below it 0 but for a last few (found by
// solving a * b = 2^m + r modulo 2^(m+1) for b, with a odd and r small).
struct StickyPair {
    std::uint32_t a, b;
    int m;
};
constexpr StickyPair sticky_pairs[] = {
    {0x801001, 0xFFE002, 47}, {0x8459E3, 0xAA36C2, 43}, {0x852E7B, 0xB887B1, 45},
    {0x854017, 0xC7CDEA, 43}, {0x860A7D, 0xF4766B, 47}, {0x892059, 0xEEF64B, 47},
    {0x8C757D, 0xD36BD5, 42}, {0x8F9D01, 0xB96301, 43},
};

void subnormal_ties_decided_by_sticky_bits(std::mt19937_64& rng, Tally& tally)
{
    // Offsets that keep the sum subnormal, or make it the smallest normal.
    const std::uint32_t offsets[] = {0x00000000, 0x00000001, 0x00000003, 0x00400000, 0x00800000};
    for (const StickyPair& pair : sticky_pairs) {
        // a * 2^ea * b * 2^eb puts bit m of the product at 2^-150.
        const int exponents = -150 - pair.m;
        for (int i = 0; i < 40; ++i) {
            const std::uint64_t r = rng();
            const int ea = -149 + static_cast<int>(r % 100);
            const int eb = exponents - ea;
            const std::uint32_t scale = make_float(r >> 8 & 1, ea + 150, pair.a);
            const std::uint32_t raw = make_float(r >> 9 & 1, eb + 150, pair.b);
            for (const std::uint32_t offset : offsets) {
                compare(scale, raw, offset, tally);
                compare(scale, raw, offset | 0x80000000u, tally);
            }
        }
    }
}

// Whole series, scaled as the converter scales them: a scale and an offset
// (zero, special or not), and raw values of all exponent fields, most
// giving products near the offset, some any bit pattern.
void series(std::mt19937_64& rng, Tally& tally)
{
    constexpr std::size_t count = 1024;
    std::vector<std::uint32_t> raws(count);
    std::vector<unsigned char> big_endian(4 * count);
    std::vector<std::uint32_t> values(count);
    for (int s = 0; s < 200; ++s) {
        const std::uint64_t r = rng();
        const int es = 1 + static_cast<int>(r % 254);
        const int eo = 1 + static_cast<int>((r >> 8) % 254);
        const std::uint32_t scale =
            r >> 16 & 7 ? biased_float(rng, es) : static_cast<std::uint32_t>(rng());
        const std::uint32_t offset = r >> 20 & 7 ? biased_float(rng, eo) : 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t q = rng();
            const int er = eo - es + 127 + static_cast<int>(q % 81) - 40;
            raws[i] = q >> 8 & 7 ? biased_float(rng, er) : static_cast<std::uint32_t>(q >> 32);
            for (std::size_t k = 0; k < 4; ++k)
                big_endian[4 * i + k] = static_cast<unsigned char>(raws[i] >> (24 - 8 * k));
        }
        curvedump::scale_values(scale, offset, big_endian, values);
        for (std::size_t i = 0; i < count; ++i)
            check(scale, raws[i], offset, values[i], tally);
        // The binary64 road, in the default environment and, for some
        // series, rounding toward zero, where it must give every value to
        // the integer roads.
        std::fill(values.begin(), values.end(), 0x7FC0DEADu); // none left from above
        const bool other_mode = s % 20 == 0;
        if (other_mode)
            std::fesetround(FE_TOWARDZERO);
        const std::size_t handed =
            curvedump::scale_values_binary64(scale, offset, big_endian, values);
        std::fesetround(FE_TONEAREST);
        if (other_mode) {
            EXPECT_EQ(handed, count) << "rounding toward zero: the binary64 road ran";
        }
        tally.binary64 += count;
        tally.handed += static_cast<long long>(handed);
        for (std::size_t i = 0; i < count; ++i)
            check(scale, raws[i], offset, values[i], tally, true);
    }
}

// Sums whose binary64 rounding lands exactly on a single-precision
// midpoint, and sums beside one: the offset o is a single, M the midpoint
// half its unit 2^E above it (in magnitude), and the product 2^E times
// (1 + a)(1 - a) or the like, whose tails lie below half a binary64 unit
// of M (so the binary64 sum is M) but above half a 64-bit unit (so the
// extended sum is not), or exactly one binary64 unit away. Offsets of every
// exponent field: subnormal sums at the low end, the overflow threshold
// FLT_MAX + 2^103 at the top.
struct MidpointRow {
    const char* what;
    std::uint32_t scale_fraction, raw_fraction;
    int scale_field_delta; // -1 for a scale factor below 1
    bool next_offset;      // the offset one unit up, the product subtracted
};
constexpr MidpointRow midpoint_rows[] = {
    {"exactly on M", 0, 0, 0, false},
    // (1 - 2^-11)(1 + 2^-11 + 2^-22) = 1 - 2^-33
    {"2^-33 of the product below M", 0x7FE000, 0x001002, -1, false},
    // (1 - 2^-11 + 2^-22)(1 + 2^-11) = 1 + 2^-33
    {"2^-33 of the product above M", 0x7FE004, 0x001000, -1, false},
    // (1 - 2^-14)(1 + 2^-14) = 1 - 2^-28: one binary64 unit of M
    {"one binary64 unit below M", 0x7FFC00, 0x000200, -1, false},
    {"one binary64 unit above M", 0x7FFC00, 0x000200, -1, true},
    {"2^-33 above M from the next offset", 0x7FE000, 0x001002, -1, true},
};

// Whether the binary64 sum of scale * raw + offset (no special operand) is
// exactly half-way between two neighbouring floats, or the overflow
// threshold: worked out with float conversions, not as the road does.
// Meaningful where double expressions are evaluated in binary64
// (FLT_EVAL_METHOD 0), which the road needs too: on x87 the sum is
// rounded twice.
bool binary64_sum_on_midpoint(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset)
{
    const double d = static_cast<double>(std::bit_cast<float>(scale)) *
                         static_cast<double>(std::bit_cast<float>(raw)) +
                     static_cast<double>(std::bit_cast<float>(offset));
    const long double threshold = std::ldexp(2.0L - std::ldexp(1.0L, -24), 127);
    if (std::fabs(static_cast<long double>(d)) >= threshold)
        return std::fabs(static_cast<long double>(d)) == threshold;
    const float f = static_cast<float>(d);
    const long double gap = static_cast<long double>(d) - f;
    if (gap == 0)
        return false;
    const float next = std::nextafter(f, gap > 0 ? std::numeric_limits<float>::infinity()
                                                 : -std::numeric_limits<float>::infinity());
    return 2 * gap == static_cast<long double>(next) - f;
}

struct MidpointTally {
    long long rows = 0;
    long long on_midpoint = 0; // rows whose binary64 sum is on a midpoint
    long long handed = 0;      // rows the binary64 road handed on
};

void midpoint_sums(std::mt19937_64& rng, Tally& tally, MidpointTally& crafted)
{
    for (int field = 0; field <= 254; ++field) {
        for (int i = 0; i < 24; ++i) {
            const std::uint64_t r = rng();
            const bool negative = (r & 1) != 0;
            // Fractions of all ones (M just below a power of two) and zero
            // (M just above one, or 2^-150 at zero) besides uniform ones.
            const std::uint32_t fraction = i == 0   ? 0x7FFFFF
                                           : i == 1 ? 0
                                                    : static_cast<std::uint32_t>(r >> 8) & 0x7FFFFF;
            const std::uint32_t offset = make_float(negative, field, fraction);
            // Half the offset's unit: 2^e, split into two normal powers.
            const int e = std::max(field, 1) - 151;
            const int es = e / 2;
            const int er = e - es;
            for (const MidpointRow& row : midpoint_rows) {
                const std::uint32_t o = row.next_offset ? offset + 1 : offset;
                if ((o & 0x7F800000u) == 0x7F800000u)
                    continue; // past the largest normal
                const bool minus = row.next_offset ? !negative : negative;
                const std::uint32_t scale =
                    make_float(false, es + 127 + row.scale_field_delta, row.scale_fraction);
                const std::uint32_t raw = make_float(minus, er + 127, row.raw_fraction);
                const std::size_t h = compare(scale, raw, o, tally);
                const bool midpoint = binary64_sum_on_midpoint(scale, raw, o);
                // Where the road runs it hands on exactly the sums on a midpoint.
                if (curvedump::binary64_road_runs()) {
                    EXPECT_EQ(h, midpoint ? 1u : 0u) << row.what << ", offset " << std::hex << o;
                }
                ++crafted.rows;
                crafted.on_midpoint += midpoint ? 1 : 0;
                crafted.handed += static_cast<long long>(h);
            }
        }
    }
}

TEST(Differential, MatchesX87)
{
    if (!x87_long_double)
        GTEST_SKIP() << "long double is not the x87 80-bit format on this target";

    std::mt19937_64 rng(20261208);
    Tally tally;

    // Any bit patterns: NaNs, infinities, subnormals, huge exponent gaps.
    for (int i = 0; i < 4'000'000; ++i) {
        const std::uint64_t r = rng();
        compare(static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(r >> 32),
                static_cast<std::uint32_t>(rng()), tally);
    }

    // Operands of nearby magnitudes, so that sums carry and cancel.
    for (int i = 0; i < 3'000'000; ++i) {
        const std::uint64_t r = rng();
        const int es = 127 + static_cast<int>(r % 41) - 20;
        const int er = 127 + static_cast<int>((r >> 8) % 41) - 20;
        const int eo = es + er - 127 + static_cast<int>((r >> 16) % 61) - 30;
        const std::uint64_t m = rng();
        compare(make_float(r >> 62 & 1, es, static_cast<std::uint32_t>(m)),
                make_float(r >> 61 & 1, er, static_cast<std::uint32_t>(m >> 23)),
                make_float(r >> 60 & 1, eo, static_cast<std::uint32_t>(m >> 41)), tally);
    }

    // Products placed a few units from a single-precision midpoint: choose
    // the raw significand b so that a * b has low 24 bits 0x800000 + t (a is
    // odd, so it has an inverse modulo 2^24). The offset then pulls the sum
    // to within a 64-bit unit of that midpoint, on either side.
    for (int made = 0; made < 4'000'000;) {
        const std::uint64_t r = rng();
        const std::uint32_t a = static_cast<std::uint32_t>(r & 0x7FFFFF) | 0x800001;
        std::uint32_t inverse = 1; // Newton's iteration for a^-1 mod 2^24
        for (int k = 0; k < 5; ++k)
            inverse *= 2 - a * inverse;
        const auto t = static_cast<std::int32_t>((r >> 24) % 9) - 4;
        const std::uint32_t b = (static_cast<std::uint32_t>(0x800000 + t) * inverse) & 0xFFFFFF;
        if (b < 0x800000)
            continue; // not a normal significand
        const int es = 127 + static_cast<int>((r >> 32) % 21) - 10;
        const int er = 127 + static_cast<int>((r >> 40) % 21) - 10;
        const std::uint32_t scale = make_float(r >> 63 & 1, es, a);
        const std::uint32_t raw = make_float(r >> 62 & 1, er, b);
        // The product's unit in the last place is 2^(es + er - 300); the
        // offset is -t such units, adjusted by a few units of 2^-20 of that.
        const long double unit = std::ldexp(1.0L, es + er - 300);
        const long double product =
            static_cast<long double>(std::bit_cast<float>(scale)) * std::bit_cast<float>(raw);
        const long double sign = product < 0 ? -1 : 1;
        const int nudge = static_cast<int>((r >> 48) % 129) - 64;
        const int shift = 14 + static_cast<int>((r >> 56) % 12);
        const long double want = sign * (-t * unit + nudge * std::ldexp(unit, -shift));
        compare(scale, raw, std::bit_cast<std::uint32_t>(static_cast<float>(want)), tally);
        ++made;
    }

    special_operands(tally);

    // Biased fractions at nearby and at any exponents: long carries and
    // borrows, products with few bits.
    for (int i = 0; i < 1'000'000; ++i) {
        const std::uint64_t r = rng();
        const int es = 127 + static_cast<int>(r % 41) - 20;
        const int er = 127 + static_cast<int>((r >> 8) % 41) - 20;
        const int eo = (r >> 63) != 0
                           ? static_cast<int>((r >> 16) % 255)
                           : product_field(es, er) + static_cast<int>((r >> 24) % 81) - 40;
        compare(biased_float(rng, es), biased_float(rng, er), biased_float(rng, eo), tally);
    }

    // Offsets a few units from the negated rounded product: total and
    // near-total cancellation, the product exact or not.
    for (int i = 0; i < 500'000; ++i) {
        const std::uint64_t r = rng();
        const std::uint32_t scale = biased_float(rng, 1 + static_cast<int>(r % 254));
        const int er = std::clamp(254 - static_cast<int>(scale >> 23 & 0xFF) +
                                      static_cast<int>((r >> 8) % 201) - 100,
                                  1, 254);
        const std::uint32_t raw = biased_float(rng, er);
        const float rounded = static_cast<float>(
            static_cast<long double>(std::bit_cast<float>(scale)) * std::bit_cast<float>(raw));
        const std::uint32_t negated = std::bit_cast<std::uint32_t>(rounded) ^ 0x80000000u;
        const std::uint32_t magnitude = negated & 0x7FFFFFFFu;
        const int units = static_cast<int>((r >> 16) % 7) - 3;
        if (magnitude >= 0x7F800000u || static_cast<int>(magnitude) + units < 0)
            continue;
        compare(scale, raw,
                (negated & 0x80000000u) | (magnitude + static_cast<std::uint32_t>(units)), tally);
    }

    // The offset at every distance from the product, up to well past the
    // 128 bits an exact sum can need, above and below.
    for (int gap = -160; gap <= 160; ++gap) {
        for (int i = 0; i < 1'000; ++i) {
            const std::uint64_t r = rng();
            const int es = 1 + static_cast<int>(r % 254);
            const int er = std::clamp(254 - es + static_cast<int>((r >> 8) % 61) - 30, 1, 254);
            compare(biased_float(rng, es), biased_float(rng, er),
                    biased_float(rng, product_field(es, er) + gap), tally);
        }
    }

    // Results at both ends of the exponent range: products and sums that
    // become subnormal, round to zero or to the smallest normal, reach the
    // largest normal or overflow.
    for (int i = 0; i < 500'000; ++i) {
        const std::uint64_t r = rng();
        const bool low_end = (r & 1) != 0;
        const int field =
            low_end ? static_cast<int>((r >> 1) % 40) - 32 : 250 + static_cast<int>((r >> 1) % 8);
        const int es = static_cast<int>((r >> 8) % 254) + (low_end ? 0 : 1);
        const int er = std::clamp(field - es + 127, 0, 254);
        const int eo = (r >> 20) % 3 == 0 ? 0 : field + static_cast<int>((r >> 24) % 9) - 4;
        compare(biased_float(rng, es), biased_float(rng, er), biased_float(rng, eo), tally);
    }

    subnormal_ties_decided_by_sticky_bits(rng, tally);

    series(rng, tally);

    MidpointTally crafted;
    midpoint_sums(rng, tally, crafted);

    RecordProperty("inputs", static_cast<int>(tally.inputs));
    RecordProperty("double_rounding_ties", static_cast<int>(tally.ties));
    std::printf("differential: %lld inputs, %lld mismatches, %lld double-rounding ties\n",
                tally.inputs, tally.mismatches, tally.ties);
    std::printf("binary64 road: %lld values, %lld handed to the integer roads; %lld crafted "
                "rows, %lld with the binary64 sum on a midpoint, %lld handed\n",
                tally.binary64, tally.handed, crafted.rows, crafted.on_midpoint, crafted.handed);
    EXPECT_EQ(tally.mismatches, 0);
    // Where the road runs it must take nearly every value.
    if (curvedump::binary64_road_runs()) {
        EXPECT_LT(tally.handed * 4, tally.binary64);
    }
    // The crafted rows must really put sums on midpoints (counted where
    // double arithmetic is binary64, as where the road runs).
    if (curvedump::binary64_road_runs()) {
        EXPECT_GE(crafted.on_midpoint, 10'000);
    }
    EXPECT_GE(tally.inputs, 10'000'000);
    // The constructed inputs must really reach the cases where double
    // rounding shows, or the comparison proves little.
    EXPECT_GE(tally.ties, 10'000);
}

} // namespace
