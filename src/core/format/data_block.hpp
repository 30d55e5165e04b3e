#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/base/cwa_error.hpp"
#include "core/format/sample_data.hpp"
#include "core/format/data_block_layout.hpp"
#include "core/io/sector.hpp"

namespace velnora {

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

}  // namespace velnora
