// The binary64 road of a series' scaling: scale * raw + offset in the
// processor's double precision, a block of values at a time in a loop the
// compiler vectorises, giving the bits the integer roads (scale.cpp) give
// and handing them every value it cannot vouch for.
//
// Why it gives the integer roads' result. Let x be the exact sum
// scale * raw + offset (scale finite and not zero, offset finite, raw
// finite), e its rounding to a 64-bit significand, which the integer roads
// round again to single precision, and d its rounding to binary64.
// - In binary64 the product is exact (24 by 24 bits make at most 48, and
//   its magnitude lies between 2^-298 and 2^256, where binary64 is normal),
//   so d, the one rounding of the sum, is the binary64 rounding of x. A
//   sum that is not zero is a multiple of 2^-298, so d is never subnormal.
// - Every single-precision midpoint m (half-way between two neighbouring
//   single-precision values, subnormal ones included, and the overflow
//   threshold FLT_MAX + 2^103, above which a value rounds to infinity)
//   has at most 25 significant bits, between 2^-150 and 2^128: m is a
//   binary64 number and a 64-bit-significand number.
// - Rounding to nearest is monotonic and leaves a representable value in
//   place: x < m gives d <= m and e <= m, x > m gives d >= m and e >= m.
//   And e = m gives d = m: every binary64 number is a 64-bit one, so the
//   values that round to m in the 64-bit format (within half a 64-bit unit
//   of it) round to m in binary64 too.
// - So when d is no midpoint, e is none either, and both lie strictly on
//   x's side of every midpoint: between the same two neighbouring
//   midpoints, where rounding to single precision gives one value. The
//   conversion of d to single precision is then the tool's result, a
//   subnormal or an infinity included.
// - d exactly on a midpoint and non-finite raw values go to the integer
//   roads. Where the result is finite and 2^-125 or more, d is 2^-126 or
//   more (rounding is monotonic), in single precision's normal range,
//   where d is on a midpoint exactly when its 29 low bits are 2^28; every
//   other value gets a second look (on_single_midpoint, settle_block). A
//   zero raw value needs nothing: the product is a zero and the sum the
//   offset, or a zero of the sign IEEE 754 gives, as the integer roads
//   give.
//
// Where it relies on the environment: the multiplication, the addition and
// the conversion round to nearest, ties to even; subnormal results are
// kept (no flush-to-zero) and the subnormal raw values read as they are
// (no denormals-are-zero); double arithmetic is done in binary64
// (FLT_EVAL_METHOD == 0); the sum is not fused with the product
// (-ffp-contract=off on this file; a fused sum would round once too, but
// the argument above is the one checked) and not reassociated (no
// -ffast-math). The first three are read from the control register of the
// thread at each call (default_environment), the others are fixed when
// this file is compiled; otherwise every value takes the integer roads.

#include "scale.hpp"

#include "single.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace curvedump {

namespace {

using namespace single;

// The floating-point environment of this thread is the default one: round
// to nearest, no flush-to-zero, no denormals-are-zero, no exception trapped.
// Read where the road is built for; elsewhere (x87 arithmetic, where double
// expressions are evaluated in 80 bits, and targets whose control register
// this does not read) the road never runs.
bool default_environment()
{
#if FLT_EVAL_METHOD != 0 || defined(__FAST_MATH__)
    return false;
#elif defined(__x86_64__) || defined(_M_X64)
    // MXCSR: bits 0-5 are the sticky exception flags; the default has every
    // exception masked (bits 7-12) and rounding to nearest (13-14),
    // flush-to-zero (15) and denormals-are-zero (6) off. The C library's
    // fegetround may read the x87 control word only, which the SSE
    // arithmetic here does not use.
    constexpr unsigned flags = 0x3F;
    constexpr unsigned masks = 0x1F80;
    return (_mm_getcsr() & ~flags) == masks;
#elif defined(__aarch64__)
    // FPCR: zero is the default (rounding to nearest, flush-to-zero off,
    // no trap enabled, NaNs propagated).
    std::uint64_t fpcr = 0;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    return fpcr == 0;
#else
    return false;
#endif
}

constexpr int double_fraction_bits = 52;
// A binary64 number in single precision's normal range loses this many
// bits of its fraction when rounded to single precision.
constexpr int normal_dropped = double_fraction_bits - fraction_bits; // 29
// The exponent field of 2^-126, the smallest normal single.
constexpr int smallest_normal_field = 1023 - 126;

// Whether d, a binary64 sum (zero or normal), is exactly a single-precision
// midpoint: half a unit above a multiple of the unit of the single-precision
// values around it.
bool on_single_midpoint(double d)
{
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
    const int field = static_cast<int>(bits >> double_fraction_bits & 0x7FF);
    // Below 2^-126 the unit stays 2^-149: a bit more is dropped per binade.
    const int dropped = normal_dropped + std::max(0, smallest_normal_field - field);
    if (dropped > double_fraction_bits + 1) // below 2^-150, zero included
        return false;
    const std::uint64_t significand = (bits & ((std::uint64_t{1} << double_fraction_bits) - 1)) |
                                      std::uint64_t{1} << double_fraction_bits;
    return (significand & ((std::uint64_t{1} << dropped) - 1)) == std::uint64_t{1} << (dropped - 1);
}

constexpr std::size_t block = 64;

inline std::uint32_t read_be32(const unsigned char* b)
{
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
           std::uint32_t{b[3]};
}

// The low word of d's bit pattern holds the 29 bits a rounding to single
// precision drops from a normal value.
constexpr std::uint32_t dropped_mask = (1u << normal_dropped) - 1;
constexpr std::uint32_t dropped_half = 1u << (normal_dropped - 1);

// The result's exponent field moved so that the fields 2 to 254 (results
// from 2^-125 up, finite) read as the lowest signed words, up to
// sure_limit: one comparison takes both ends.
constexpr std::uint32_t field_shift = 0x7F000000;
constexpr std::int32_t sure_limit = -0x02000000; // field 254

// Whether a value needs a second look: a result below 2^-125 (the sum may
// be subnormal, where midpoints lie elsewhere) or not finite (a non-finite
// raw value gives one, the coefficients being finite), or a sum whose
// dropped bits are a tie. Non-zero when unsure; no branch.
inline std::uint32_t unsure(double sum, std::uint32_t result)
{
    const auto low = static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(sum));
    const auto moved = static_cast<std::int32_t>((result & exponent_mask) + field_shift);
    return static_cast<std::uint32_t>(moved > sure_limit) |
           static_cast<std::uint32_t>((low & dropped_mask) == dropped_half);
}

// One block: every value in binary64; the return tells whether any is
// unsure. SSE2 on x86-64, four values a step; elsewhere a loop of fixed
// count without a branch, which compilers vectorise.
#if defined(__x86_64__) || defined(_M_X64)
// Two big-endian values, the first in the low half.
inline long long read_pair(const unsigned char* b)
{
    return static_cast<long long>(std::uint64_t{read_be32(b + 4)} << 32 | read_be32(b));
}

inline bool scale_block(double scale, double offset, const unsigned char* raw,
                        std::uint32_t* values)
{
    const __m128d s = _mm_set1_pd(scale);
    const __m128d o = _mm_set1_pd(offset);
    const __m128i exponents = _mm_set1_epi32(static_cast<int>(exponent_mask));
    const __m128i shift = _mm_set1_epi32(static_cast<int>(field_shift));
    const __m128i limit = _mm_set1_epi32(sure_limit);
    const __m128i mask = _mm_set1_epi32(static_cast<int>(dropped_mask));
    const __m128i half = _mm_set1_epi32(static_cast<int>(dropped_half));
    __m128i any = _mm_setzero_si128();
    for (std::size_t i = 0; i < block; i += 4) {
        // Two values a word, read and put in order in the integer unit,
        // which the vector unit cannot do in one step with SSE2.
        const __m128 f01 = _mm_castsi128_ps(_mm_cvtsi64_si128(read_pair(raw + 4 * i)));
        const __m128 f23 = _mm_castsi128_ps(_mm_cvtsi64_si128(read_pair(raw + 4 * i + 8)));
        const __m128d sum01 = _mm_add_pd(_mm_mul_pd(s, _mm_cvtps_pd(f01)), o);
        const __m128d sum23 = _mm_add_pd(_mm_mul_pd(s, _mm_cvtps_pd(f23)), o);
        const __m128i result =
            _mm_castps_si128(_mm_movelh_ps(_mm_cvtpd_ps(sum01), _mm_cvtpd_ps(sum23)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(values + i), result);
        // The low words of the four sums.
        const __m128i low = _mm_castps_si128(
            _mm_shuffle_ps(_mm_castpd_ps(sum01), _mm_castpd_ps(sum23), _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i moved = _mm_add_epi32(_mm_and_si128(result, exponents), shift);
        const __m128i tie = _mm_cmpeq_epi32(_mm_and_si128(low, mask), half);
        any = _mm_or_si128(any, _mm_or_si128(_mm_cmplt_epi32(limit, moved), tie));
    }
    return _mm_movemask_epi8(any) != 0;
}
#else
inline bool scale_block(double scale, double offset, const unsigned char* raw,
                        std::uint32_t* values)
{
    std::uint32_t any = 0;
    for (std::size_t i = 0; i < block; ++i) {
        const std::uint32_t bits = read_be32(raw + 4 * i);
        const double sum = scale * static_cast<double>(std::bit_cast<float>(bits)) + offset;
        const auto result = std::bit_cast<std::uint32_t>(static_cast<float>(sum));
        values[i] = result;
        any |= unsure(sum, result);
    }
    return any != 0;
}
#endif

// The second look at a block's unsure values: a non-finite raw value or a
// sum on a midpoint goes to the integer roads. Returns how many went.
std::size_t settle_block(std::uint32_t scale_bits, std::uint32_t offset_bits, double scale,
                         double offset, const unsigned char* raw, std::uint32_t* values)
{
    std::size_t handed = 0;
    for (std::size_t i = 0; i < block; ++i) {
        const std::uint32_t bits = read_be32(raw + 4 * i);
        const double sum = scale * static_cast<double>(std::bit_cast<float>(bits)) + offset;
        if (unsure(sum, values[i]) == 0)
            continue;
        if ((bits & exponent_mask) == exponent_mask || on_single_midpoint(sum)) {
            values[i] = scale_value(scale_bits, bits, offset_bits);
            ++handed;
        }
    }
    return handed;
}

} // namespace

bool binary64_road_runs() { return default_environment(); }

std::size_t scale_values_binary64(std::uint32_t scale, std::uint32_t offset,
                                  std::span<const unsigned char> big_endian,
                                  std::span<std::uint32_t> values)
{
    const std::size_t count = std::min(values.size(), big_endian.size() / 4);
    const bool regular =
        is_finite_non_zero(scale) && (is_zero(offset) || is_finite_non_zero(offset));
    if (!regular || !default_environment()) {
        scale_values(scale, offset, big_endian, values);
        return count;
    }
    // The coefficients made double in integers: exact, whatever the mode.
    const double s = to_double(scale);
    const double o = to_double(offset);
    std::size_t handed = 0;
    std::size_t i = 0;
    for (; i + block <= count; i += block) {
        const unsigned char* raw = big_endian.data() + 4 * i;
        if (scale_block(s, o, raw, values.data() + i))
            handed += settle_block(scale, offset, s, o, raw, values.data() + i);
    }
    if (i < count) {
        // The last values, through a block padded with zeros.
        std::array<unsigned char, 4 * block> raw{};
        std::array<std::uint32_t, block> last{};
        const std::size_t rest = count - i;
        std::copy_n(big_endian.data() + 4 * i, 4 * rest, raw.data());
        if (scale_block(s, o, raw.data(), last.data()))
            handed += settle_block(scale, offset, s, o, raw.data(), last.data());
        std::copy_n(last.data(), rest, values.data() + i);
    }
    return handed;
}

} // namespace curvedump
