#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/package/block_readings.hpp"
#include "core/package/sample_data.hpp"

namespace velnora {

// The values a grid point interpolates, four adjacent channels to a quad:
// the accelerometer and the block's temperature; its light and battery
// readings and the first two gyroscope axes; the third gyroscope axis and the
// magnetometer. 3-axis data and blocks without a magnetometer leave the
// gyroscope and magnetometer at 0.0.
inline constexpr std::size_t channel_count = 12;
inline constexpr std::size_t channel_quads = channel_count / 4;

// Where each output channel (acc_x, acc_y, acc_z, gyro_x, gyro_y, gyro_z,
// mag_x, mag_y, mag_z, temperature, light, battery) sits among the quads'
// lanes, counted quad by quad.
inline constexpr std::array<std::size_t, channel_count> channel_lane = {0, 1, 2, 6, 7, 8, 9, 10, 11, 3, 4, 5};

// One input sample waiting in the resampler's queue: its sample's values, its
// block's temperature, light and battery readings, and its time in seconds
// since the epoch. The float32 values are widened to float64, an exact step,
// once on arrival: interpolation computes in float64, and a sample takes part
// in about four grid points when the rates are alike. Each quad starts on a
// 32-byte boundary.
struct TimedSample {
  alignas(32) std::array<double, channel_count> values;
  double time;
};

// Writes a sample with its microsecond timestamp into a queue slot. An absent
// magnetometer is 0.0 in SampleData already. No errors, no allocation.
inline void set_timed_sample(TimedSample& slot, std::int64_t timestamp, const SampleData& sample,
                             const BlockReadings& readings) {
  // Pairs stored straight into the array: a vector type that may alias its doubles.
  using Pair = double __attribute__((vector_size(16), may_alias));
  Pair* pairs = reinterpret_cast<Pair*>(slot.values.data());
  pairs[0] = Pair{sample.acc_x, sample.acc_y};
  pairs[1] = Pair{sample.acc_z, readings.temperature};
  pairs[2] = Pair{readings.light, readings.battery};
  pairs[3] = Pair{sample.gyro_x, sample.gyro_y};
  pairs[4] = Pair{sample.gyro_z, sample.mag_x};
  pairs[5] = Pair{sample.mag_y, sample.mag_z};
  slot.time = static_cast<double>(timestamp) / 1000000.0;
}

}  // namespace velnora
