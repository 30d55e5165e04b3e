#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/base/cwa_error.hpp"
#include "core/base/wide_vectors.hpp"
#include "core/io/sector_reader.hpp"
#include "core/time/date_time.hpp"

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

// A block's accelerometer readings (g) alone, one array per axis, for
// readers that need nothing else of its samples; as SampleBuffer, one serves
// every block of a read.
struct AccelerationBuffer {
  alignas(32) std::array<float, max_samples_per_block> x, y, z;
};

// The accelerometer readings (g) of consecutive samples, one span per axis.
struct AccelerationSpans {
  std::span<const float> x, y, z;

  std::size_t size() const { return x.size(); }
  AccelerationSpans subspan(std::size_t from, std::size_t count) const {
    return {x.subspan(from, count), y.subspan(from, count), z.subspan(from, count)};
  }
};

// The samples of one block, a view into the caller's SampleBuffer.
struct DecodedSamples {
  std::span<const SampleData> samples;
  bool has_magnetometer;
};

// The four sample layouts a data block may use (axes and packing).
enum class SampleLayout : std::uint8_t {
  packed3,    // 3 axes in one 32-bit word with a shared exponent
  unpacked3,  // 16-bit accelerometer
  axis6,      // 16-bit gyroscope and accelerometer
  axis9,      // 16-bit gyroscope, accelerometer and magnetometer
};

// The sensors beside the accelerometer that a recording's data blocks carry:
// the gyroscope in 6- and 9-axis blocks, the magnetometer in 9-axis ones.
struct CarriedSensors {
  bool gyroscope = false;
  bool magnetometer = false;

  void add(SampleLayout layout) {
    gyroscope = gyroscope || layout == SampleLayout::axis6 || layout == SampleLayout::axis9;
    magnetometer = magnetometer || layout == SampleLayout::axis9;
  }
};

// A block's temperature (degrees Celsius), light (lux) and battery (volts)
// readings; every sample of the block shares them.
struct BlockReadings {
  float temperature;
  float light;
  float battery;
};

// A data block that screening accepted: the header fields its readers use,
// decoded once, and a view of its sector for the samples and readings. Only
// screen_data_block makes one, so the count fits the layout and the time
// stamp is a real date-time. Valid as long as the sector it views.
struct CwaDataBlock {
  const std::byte* sector;
  UnixSeconds stamped_second;  // the decoded packed date-time
  std::uint64_t sample_count;  // at least 1, and the samples fit the block
  std::int16_t timestampOffset;
  std::uint8_t rate_code;  // non-zero
  SampleLayout layout;

  // Decodes the samples into `out`, in sample order, scaled to physical units.
  // No errors, no allocation. Takes 256-bit vectors where the processor has AVX2.
  DecodedSamples parse_samples(bool include_magnetometer, SampleBuffer& out) const;

  // The two ways parse_samples works, with the same bits: one sample at a
  // time, and, on x86-64 processors with AVX2 only, 256-bit vectors.
  DecodedSamples parse_samples_one_by_one(bool include_magnetometer, SampleBuffer& out) const;
#if defined(VELNORA_WIDE_VECTORS)
  DecodedSamples parse_samples_in_vectors(bool include_magnetometer, SampleBuffer& out) const;
#endif

  // Decodes the accelerometer's axes alone into `out`, each value the bits
  // parse_samples gives it. No errors, no allocation. Takes 256-bit vectors
  // where the processor has AVX2.
  AccelerationSpans parse_acceleration(AccelerationBuffer& out) const;

  // The two ways parse_acceleration works, with the same bits.
  AccelerationSpans parse_acceleration_one_by_one(AccelerationBuffer& out) const;
#if defined(VELNORA_WIDE_VECTORS)
  AccelerationSpans parse_acceleration_in_vectors(AccelerationBuffer& out) const;
#endif

  // The converted readings, in single precision in the format's order of
  // operations; the temperature alone for readers that need no other. No
  // errors, no allocation.
  BlockReadings readings() const;
  float temperature() const;
};

// Screens one sector: nothing for a sector that is not a data block, the
// accepted block, or the malformed block's message: "Old CWA format packets
// are not supported", "Unsupported sample format: {} axes, packing {}",
// "Sample count exceeds packet capacity", "Invalid block timestamp". Reads only
// the 30-byte header; allocates only for an error message.
Result<std::optional<CwaDataBlock>> screen_data_block(Sector sector);

// The samples a data block that screening refused may have held, for telling
// what passing over it left out: its stated count, at most what its sample
// format fits; for a format not known here, at most what any format fits.
std::uint64_t refused_block_sample_count(Sector sector);

}  // namespace velnora
