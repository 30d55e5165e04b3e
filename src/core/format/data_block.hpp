#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/base/cwa_error.hpp"
#include "core/format/sample_data.hpp"
#include "core/io/sector_reader.hpp"

namespace velnora {

// Byte offsets of the data-block header fields within a 512-byte sector.
namespace data_block {

// "AX" read as a little-endian 16-bit value.
inline constexpr std::uint16_t marker = 0x5841;

inline constexpr std::size_t packet_header_at = 0;
inline constexpr std::size_t timestamp_at = 14;
inline constexpr std::size_t rate_code_at = 24;
inline constexpr std::size_t sample_format_at = 25;
inline constexpr std::size_t timestamp_offset_at = 26;
inline constexpr std::size_t sample_count_at = 28;

// The samples fill bytes 30..509; the checksum takes the last two bytes.
inline constexpr std::size_t sample_area_size = 480;

}  // namespace data_block

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

// The timing view of one accepted data block.
struct PacketMeta {
  std::uint64_t sample_count;
  std::uint32_t timestamp;  // packed date-time, known to decode
  std::int16_t timestampOffset;
  std::uint8_t rate_code;  // non-zero

  struct Bounds {
    double start;
    double end;
  };
  // Start of the first sample and one nominal period after the last, in seconds
  // since the epoch. No errors, no allocation. Defined for records made by
  // packet_meta; one whose timestamp does not decode gets NaN bounds.
  Bounds natural_bounds() const;
};

// Screens one sector: nothing for a sector that is not a data block, the block's
// timing, or the malformed block's message. Reads only the 30-byte header;
// allocates only for an error message.
Result<std::optional<PacketMeta>> packet_meta(Sector sector);

// The scale factors of one block, from the codes in the top bits of its light
// field, computed once per block.
struct SampleScale {
  // 1 / A with A = 256 * 2^k. A is a power of two, so multiplying by its exact
  // reciprocal gives bit for bit the quotient raw / A.
  float acc_multiplier;
  // G6 = 32768 / R: the 6-axis gyro divides by this rounded divisor.
  float gyro_divisor;
  // G9 = R * 2^-15: the 9-axis gyro multiplies by this exact factor. The two
  // forms of raw * R / 32768 may differ in the last bit; each layout keeps its own.
  float gyro_multiplier;
};

// The block's scale factors. No errors, no allocation.
SampleScale sample_scale(std::uint16_t light);

// A block's temperature (degrees Celsius), light (lux) and battery (volts)
// readings; every sample of the block shares them.
struct BlockReadings {
  float temperature;
  float light;
  float battery;
};

// One data block, every header field decoded. It owns its sample bytes by
// value, so a block costs no allocation and outlives the sector it came from.
struct CwaDataBlock {
  std::array<char, 2> packet_header;  // always "AX"
  std::uint16_t packet_length;
  std::uint16_t fractional_time;
  std::uint32_t session_id;
  std::uint32_t sequence_id;
  std::uint32_t timestamp;  // packed date-time
  std::uint16_t light;      // reading in bits 0-9, gyro range code 10-12, accel scale code 13-15
  std::uint16_t temperature;
  std::uint8_t events;
  std::uint8_t battery;
  std::uint8_t rate_code;
  std::uint8_t sample_format;  // axes in the high nibble, packing in the low one
  std::int16_t timestampOffset;
  std::uint16_t sample_count;
  std::array<std::byte, data_block::sample_area_size> sample_data;
  std::uint16_t checksum;

  // Decodes a sector that packet_meta accepted. Errors: "Invalid packet header
  // format", "Invalid data block header". No allocation except for an error.
  static Result<CwaDataBlock> from_buffer(Sector sector);

  // Decodes the block's samples into `out`, in sample order, scaled to
  // physical units. Errors: "Unsupported sample format: {} axes, packing {}",
  // "Insufficient data for ... samples". No allocation except for an error.
  static Result<DecodedSamples> parse_samples(const CwaDataBlock& block, bool include_magnetometer,
                                              SampleBuffer& out);
};

// The converted readings, in single precision in the format's order of
// operations. No errors, no allocation.
BlockReadings block_readings(const CwaDataBlock& block);

}  // namespace velnora
