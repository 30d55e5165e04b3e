#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/io/file.hpp"
#include "core/io/sector_reader.hpp"
#include "core/time/packed_datetime.hpp"

namespace velnora {

// The decoded metadata block at the start of a CWA file.
struct CwaHeader {
  std::string packet_header;
  std::uint16_t packet_length;
  std::string hardware_type;
  std::uint32_t device_id;
  std::uint32_t session_id;
  std::uint16_t upper_device_id;
  std::optional<UnixSeconds> logging_start_time;
  std::optional<UnixSeconds> logging_end_time;
  std::optional<UnixSeconds> last_change_time;
  std::uint8_t flash_led;
  std::uint8_t sensor_config;
  double sample_rate_hz;
  std::uint8_t accel_range;
  std::uint8_t firmware_revision;
  std::string annotation;
  std::optional<std::uint16_t> gyro_range;
  bool magnetometer_enabled;
};

// The annotation text of a metadata block: bytes 64..511 without their trailing
// filler (0x00, 0x20, 0xFF), decoded as UTF-8 with ill-formed parts replaced by
// U+FFFD. A block shorter than 512 bytes contributes what it has. No errors;
// allocates the result.
std::string parse_annotation(std::span<const std::byte> block);

// Decodes a metadata block. Errors: "Invalid packet header format" or "First
// block is not a metadata block" from bytes 0-1; nothing else is checked.
// Allocates the header's strings.
Result<CwaHeader> decode_cwa_header(std::span<const std::byte, metadata_size> block);

// Opens the file, reads its first 1024 bytes and decodes them; the file is
// closed on every path. Errors: Io (including "failed to fill whole buffer" for
// a short file) or those of decode_cwa_header. Allocates the header's strings.
Result<CwaHeader> read_cwa_header(std::string_view path);

// A CWA file opened for reading, its start and size checked.
struct CheckedCwaFile {
  File file;
  std::uint64_t block_count;  // data block positions after the metadata area
};

// Opens the file and checks its first two bytes ("MD") and its geometry.
// Errors: Io, "Not a valid CWA file", "File too small to be a valid CWA file",
// "Incomplete CWA data block". No allocation beyond the path text.
Result<CheckedCwaFile> open_checked_cwa_file(std::string_view path);

}  // namespace velnora
