#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/base/cwa_error.hpp"

namespace velnora {

// Bytes per sample of the four accepted sample formats (axes in the high
// nibble, packing in the low one); nothing for every other pair. No allocation.
constexpr std::optional<std::size_t> bytes_per_sample(std::uint8_t sample_format) {
  switch (sample_format) {
    case 0x30:  // packed 3-axis 32-bit words
      return 4;
    case 0x32:  // unpacked 16-bit accelerometer
      return 6;
    case 0x62:  // gyroscope and accelerometer
      return 12;
    case 0x92:  // gyroscope, accelerometer and magnetometer
      return 18;
    default:
      return std::nullopt;
  }
}

// "Unsupported sample format: {} axes, packing {}" for a sample format byte.
// Allocates the message.
[[gnu::cold]] std::unexpected<CwaError> unsupported_sample_format(std::uint8_t sample_format);

}  // namespace velnora
