// Scaling raw values: scale * raw + offset as an extended-precision unit
// computes it, in integers (scale.cpp).
#pragma once

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

} // namespace curvedump
