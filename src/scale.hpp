// Scaling raw values: scale * raw + offset as an extended-precision unit
// computes it, in integers (scale.cpp), or in binary64 where that is proven
// to give the same bits (scale_binary64.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace curvedump {

// One value: the bit patterns of the scale, the raw value and the offset in,
// the bit pattern of the stored result out.
std::uint32_t scale_value(std::uint32_t scale, std::uint32_t raw, std::uint32_t offset);

// A series' raw values, 4 bytes each, big-endian, scaled into values: as
// many as both hold.
void scale_values(std::uint32_t scale, std::uint32_t offset,
                  std::span<const unsigned char> big_endian, std::span<std::uint32_t> values);

// The same bits as scale_values, through the binary64 road where this
// thread's floating-point environment is the default one and the
// coefficients are finite (the scale not zero). Returns how many values
// went to the integer roads: all of them where the road does not run.
std::size_t scale_values_binary64(std::uint32_t scale, std::uint32_t offset,
                                  std::span<const unsigned char> big_endian,
                                  std::span<std::uint32_t> values);

// Whether the binary64 road runs in this thread now: built for this target
// and the floating-point environment the default one.
bool binary64_road_runs();

} // namespace curvedump
