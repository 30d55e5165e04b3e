#include "core/format/sample_scale.hpp"

namespace velnora {

namespace {

// Full-scale range in degrees per second: 2000 for code 0, else 8000 >> c as an
// integer shift, so code 7 is 62, not 62.5.
int gyro_range(std::uint16_t light) {
  const int code = (light >> 10) & 7;
  return code == 0 ? 2000 : 8000 >> code;
}

}  // namespace

SampleScale sample_scale(std::uint16_t light) {
  const int accel_code = light >> 13;
  // With R = 2000 the general forms give exactly the fixed values that code 0
  // stands for: 32768.0f / 2000.0f is 16.384f and 2000 * 2^-15 is 0.06103515625.
  const auto range = static_cast<float>(gyro_range(light));
  return SampleScale{
      .acc_multiplier = 1.0f / static_cast<float>(256 << accel_code),
      .gyro_divisor = 32768.0f / range,
      .gyro_multiplier = range * 0x1p-15f,
  };
}

}  // namespace velnora
