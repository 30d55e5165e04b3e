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
#include "core/time/date_time.hpp"

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

// Opens a recording and reads its first `start.size()` bytes, at least the
// two of the metadata block's "MD" marker, into `start`. A file that does not
// begin with the marker fails with what `not_metadata` makes of its first two
// bytes: each caller words that its own way. Errors: Io (including "failed to
// fill whole buffer" for a short file, and an input that cannot be positioned,
// such as a FIFO), then the marker's; a short file's and the marker's are
// marked as saying the file is no recording. No allocation
// beyond the path text, except for an error.
Result<File> open_recording(std::string_view path, std::span<std::byte> start,
                            CwaError (*not_metadata)(std::span<const std::byte, 2> first));

// Opens the file, reads its first 1024 bytes and decodes them; the file is
// closed on every path. Errors: those of open_recording, where bytes 0-1 that
// are not UTF-8 text give "Invalid packet header format" and other text gives
// "First block is not a metadata block"; nothing else is checked. Allocates the
// header's strings.
Result<CwaHeader> read_cwa_header(std::string_view path);

// A CWA file opened for reading, its start and size checked.
struct CheckedCwaFile {
  File file;
  std::uint64_t block_count;  // data block positions after the metadata area
};

// Opens the file and checks its first two bytes ("MD") and its geometry.
// Errors: those of open_recording with "Not a valid CWA file" for the marker, "File too small to be a valid
// CWA file", "Incomplete CWA data block". No allocation beyond the path text.
Result<CheckedCwaFile> open_checked_cwa_file(std::string_view path);

// The metadata block of a recording the readers can open: read_cwa_header,
// then the file's geometry as every reader checks it, so that a recording
// cut short inside a data block fails as the read of it does. Errors: those
// of read_cwa_header, then of open_checked_cwa_file ("Incomplete CWA data
// block"). Allocates the header's strings.
Result<CwaHeader> read_checked_header(std::string_view path);

}  // namespace velnora
