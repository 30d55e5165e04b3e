#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/format/data_block.hpp"
#include "core/format/sample_data.hpp"
#include "core/base/wide_vectors.hpp"

namespace velnora {

// The values a grid point interpolates, four adjacent channels to a quad:
// the accelerometer and the block's temperature; its light and battery
// readings and the first two gyroscope axes; the third gyroscope axis and the
// magnetometer. 3-axis data and blocks without a magnetometer leave the
// gyroscope and magnetometer at 0.0.
inline constexpr std::size_t channel_count = 12;
inline constexpr std::size_t channel_quads = channel_count / 4;

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

// Writes a block's samples, each with its microsecond timestamp and the
// block's readings, into queue slots (`slots`, `timestamps` and `samples` of
// equal length). Returns whether the third quad, the last gyroscope axis and
// the magnetometer, is +0.0 in every sample (by its bits: -0.0 still has to
// be interpolated). An absent magnetometer is 0.0 in SampleData already. No
// errors, no allocation. Takes 256-bit conversions where the processor has
// AVX2.
bool set_timed_samples(std::span<TimedSample> slots, std::span<const std::int64_t> timestamps,
                       std::span<const SampleData> samples, const BlockReadings& readings);

// The two ways set_timed_samples works, with the same results: a pair of
// values at a time, and, on x86-64 processors with AVX2 only, a quad.
bool set_timed_samples_in_pairs(std::span<TimedSample> slots, std::span<const std::int64_t> timestamps,
                                std::span<const SampleData> samples, const BlockReadings& readings);
#if defined(VELNORA_WIDE_VECTORS)
bool set_timed_samples_in_quads(std::span<TimedSample> slots, std::span<const std::int64_t> timestamps,
                                std::span<const SampleData> samples, const BlockReadings& readings);
#endif

}  // namespace velnora
