#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace velnora {

// One decoded sample in physical units: accelerometer in g, gyroscope in
// degrees per second (0.0 for 3-axis data), magnetometer as raw / 32768.
// Whether the magnetometer values are real is a property of the whole block
// (`DecodedSamples::has_magnetometer`); where they are not, they hold 0.0, the
// value the magnetometer columns take for such samples.
struct SampleData {
  float acc_x = 0.0f, acc_y = 0.0f, acc_z = 0.0f;
  float gyro_x = 0.0f, gyro_y = 0.0f, gyro_z = 0.0f;
  float mag_x = 0.0f, mag_y = 0.0f, mag_z = 0.0f;
};

// A data block holds at most 120 samples (packed 3-axis), so one fixed buffer
// on the caller's stack serves every block of a read.
inline constexpr std::size_t max_samples_per_block = 120;
using SampleBuffer = std::array<SampleData, max_samples_per_block>;

// The samples of one block, a view into the caller's SampleBuffer.
struct DecodedSamples {
  std::span<const SampleData> samples;
  bool has_magnetometer;
};

}  // namespace velnora
