#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "core/package/block_readings.hpp"
#include "core/package/sample_data.hpp"

namespace velnora {

// The values a grid point interpolates, two adjacent channels to a pair: first
// the accelerometer and the block's temperature, light and battery readings,
// then the gyroscope and magnetometer, which 3-axis data and blocks without a
// magnetometer leave at 0.0.
inline constexpr std::size_t channel_count = 12;
inline constexpr std::size_t channel_pairs = channel_count / 2;
inline constexpr std::size_t always_live_pairs = 3;
using ChannelPair = double __attribute__((vector_size(16)));

// Where each output channel (acc_x, acc_y, acc_z, gyro_x, gyro_y, gyro_z,
// mag_x, mag_y, mag_z, temperature, light, battery) sits among the pairs'
// lanes, counted pair by pair.
inline constexpr std::array<std::size_t, channel_count> channel_lane = {0, 1, 2, 6, 7, 8, 9, 10, 11, 3, 4, 5};

// One input sample waiting in the resampler's queue: its sample's values, its
// block's temperature, light and battery readings, and its time in seconds
// since the epoch. The float32 values are widened to float64, an exact step,
// once on arrival: interpolation computes in float64, and a sample takes part
// in about four grid points when the rates are alike. `quiet` says that the
// gyroscope and magnetometer values are all +0.0. A slot fills two whole
// cache lines, which also makes the ring's slot size a power of two.
struct alignas(64) TimedSample {
  std::array<ChannelPair, channel_pairs> values;
  double time;
  bool quiet;
};

// Writes a sample with its microsecond timestamp into a queue slot, in place
// and a pair at a time, the pieces in which interpolation reads them back: a
// sample is read right after it was written, and a load that spans two
// smaller stores still in flight stalls until they reach the cache. An absent
// magnetometer is 0.0 in SampleData already. No errors, no allocation.
inline void set_timed_sample(TimedSample& slot, std::int64_t timestamp, const SampleData& sample,
                             const BlockReadings& readings) {
  slot.values[0] = ChannelPair{sample.acc_x, sample.acc_y};
  slot.values[1] = ChannelPair{sample.acc_z, readings.temperature};
  slot.values[2] = ChannelPair{readings.light, readings.battery};
  slot.values[3] = ChannelPair{sample.gyro_x, sample.gyro_y};
  slot.values[4] = ChannelPair{sample.gyro_z, sample.mag_x};
  slot.values[5] = ChannelPair{sample.mag_y, sample.mag_z};
  slot.time = static_cast<double>(timestamp) / 1000000.0;
  // The bits, not the values: -0.0 must still be interpolated.
  slot.quiet = (std::bit_cast<std::uint32_t>(sample.gyro_x) | std::bit_cast<std::uint32_t>(sample.gyro_y) |
                std::bit_cast<std::uint32_t>(sample.gyro_z) | std::bit_cast<std::uint32_t>(sample.mag_x) |
                std::bit_cast<std::uint32_t>(sample.mag_y) | std::bit_cast<std::uint32_t>(sample.mag_z)) == 0;
}

}  // namespace velnora
