// Per-value cost of scaling and of rendering an output field, beside
// snprintf("%11.4e") on the same values.
#include "decimal.hpp"
#include "layout.hpp"
#include "scale.hpp"

#include <benchmark/benchmark.h>

#include <bit>
#include <charconv>
#include <cstdio>
#include <vector>

namespace {

// Values like those the converter writes: random significands, exponents
// within 2^-20 to 2^20, both signs.
std::vector<std::uint32_t> sample_values()
{
    std::vector<std::uint32_t> values(8192);
    std::uint64_t state = 7;
    for (std::uint32_t& v : values) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        const auto r = static_cast<std::uint32_t>(state >> 32);
        v = (r & 0x80000000u) | (127 - 20 + (r >> 8) % 41) << 23 | (r & 0x007FFFFFu);
    }
    return values;
}

void scale_value(benchmark::State& state)
{
    const auto values = sample_values();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(curvedump::scale_value(0x3DCCCCCD, values[i], 0xC0490FDB));
        i = (i + 1) & 8191;
    }
}

// A whole series as the converter scales it: 4,095 values like those above,
// scale 0.1, offset -pi (series 2 of bench/make_largest.cpp), on the
// integer roads (the tool) or the binary64 road first (the Python module).
void scale_series(benchmark::State& state, curvedump::Scaling scaling)
{
    const auto values = sample_values();
    constexpr std::size_t count = 4095;
    std::vector<unsigned char> image(curvedump::image_size);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t k = 0; k < 4; ++k)
            image[256 + 4 * i + k] = static_cast<unsigned char>(values[i] >> (24 - 8 * k));
    }
    const curvedump::SeriesDescriptor series{1, 4 * count, count, 0x3DCCCCCD, 0xC0490FDB};
    std::vector<std::uint32_t> out(count);
    for (auto _ : state) {
        curvedump::scale_series(image, series, out, scaling);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["per_value"] = benchmark::Counter(
        count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Renders value after value into a small buffer with `render`.
template <typename Render> void render_each(benchmark::State& state, Render render)
{
    const auto values = sample_values();
    char out[32];
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(render(out, values[i]));
        benchmark::ClobberMemory();
        i = (i + 1) & 8191;
    }
}

double as_double(std::uint32_t bits) { return static_cast<double>(std::bit_cast<float>(bits)); }

void render_field(benchmark::State& state)
{
    render_each(state, [](char* out, std::uint32_t v) { return curvedump::put_field(out, v); });
}

void render_to_chars(benchmark::State& state)
{
    render_each(state, [](char* out, std::uint32_t v) {
        return std::to_chars(out, out + 32, as_double(v), std::chars_format::scientific, 4).ptr;
    });
}

void render_snprintf(benchmark::State& state)
{
    render_each(state, [](char* out, std::uint32_t v) {
        return std::snprintf(out, 32, "%11.4e", as_double(v));
    });
}

} // namespace

BENCHMARK(scale_value);
BENCHMARK_CAPTURE(scale_series, integer, curvedump::Scaling::integer);
BENCHMARK_CAPTURE(scale_series, binary64, curvedump::Scaling::binary64_first);
BENCHMARK(render_field);
BENCHMARK(render_to_chars);
BENCHMARK(render_snprintf);
BENCHMARK_MAIN();
