#include "core/format/cwa_file.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "core/base/little_endian.hpp"
#include "core/base/utf8.hpp"

namespace velnora {

namespace {

constexpr std::uint8_t ax6_hardware = 0x64;
constexpr std::uint16_t upper_device_id_unset = 0xFFFF;

constexpr std::size_t annotation_begin = 64;
constexpr std::size_t annotation_end = 512;

// The header is first read as text, so bytes that are no text at all get their
// own message.
CwaError not_a_metadata_block(std::span<const std::byte, 2> first) {
  if (!is_valid_utf8(first)) return CwaError::message("Invalid packet header format");
  return CwaError::message("First block is not a metadata block");
}

std::uint32_t combined_device_id(std::uint16_t low, std::uint16_t upper) {
  const std::uint32_t high = upper == upper_device_id_unset ? 0 : upper;
  return high << 16 | low;
}

// 3200 Hz halved (15 - nibble) times; as a power-of-two scaling it is exact
// for every code, down to 0.09765625 Hz.
double sample_rate_hz(std::uint8_t rate_code) { return std::ldexp(3200.0, -(15 - (rate_code & 0x0F))); }

// The top two bits select 16, 8, 4 or 2 g.
std::uint8_t accel_range(std::uint8_t rate_code) { return static_cast<std::uint8_t>(16 >> (rate_code >> 6)); }

// An AX3 has neither sensor, and 0 or 0xFF is an unprogrammed configuration.
bool sensor_config_applies(bool ax6, std::uint8_t sensor_config) {
  return ax6 && sensor_config != 0x00 && sensor_config != 0xFF;
}

// The range halves from 2000 degrees per second at code 2 to 125 at code 6.
std::optional<std::uint16_t> gyro_range(std::uint8_t sensor_config) {
  const unsigned code = sensor_config & 0x0F;
  if (code < 2 || code > 6) return std::nullopt;
  return static_cast<std::uint16_t>(2000 >> (code - 2));
}

// Devices pad the area with spaces, NULs or erased-flash 0xFF bytes.
bool is_filler(std::byte byte) {
  return byte == std::byte{0x00} || byte == std::byte{0x20} || byte == std::byte{0xFF};
}

// Bytes 64..511 without their trailing filler, decoded as UTF-8 with
// ill-formed parts replaced by U+FFFD.
std::string parse_annotation(std::span<const std::byte, metadata_size> block) {
  std::span<const std::byte> area = block.subspan(annotation_begin, annotation_end - annotation_begin);
  while (!area.empty() && is_filler(area.back())) area = area.first(area.size() - 1);
  return decode_utf8_lossy(area);
}

// The fields of a metadata block whose "MD" marker has been checked.
CwaHeader decode_cwa_header(std::span<const std::byte, metadata_size> block) {
  const std::byte* bytes = block.data();
  const bool ax6 = load_u8(bytes + 4) == ax6_hardware;
  const std::uint16_t upper_device_id = load_u16(bytes + 11);
  const std::uint8_t sensor_config = load_u8(bytes + 35);
  const std::uint8_t rate_code = load_u8(bytes + 36);
  const bool sensors = sensor_config_applies(ax6, sensor_config);
  return CwaHeader{
      .packet_header = "MD",
      .packet_length = load_u16(bytes + 2),
      .hardware_type = ax6 ? "AX6" : "AX3",
      .device_id = combined_device_id(load_u16(bytes + 5), upper_device_id),
      .session_id = load_u32(bytes + 7),
      .upper_device_id = upper_device_id,
      .logging_start_time = cwa_timestamp(load_u32(bytes + 13)),
      .logging_end_time = cwa_timestamp(load_u32(bytes + 17)),
      .last_change_time = cwa_timestamp(load_u32(bytes + 37)),
      .flash_led = load_u8(bytes + 26),
      .sensor_config = sensor_config,
      .sample_rate_hz = sample_rate_hz(rate_code),
      .accel_range = accel_range(rate_code),
      .firmware_revision = load_u8(bytes + 41),
      .annotation = parse_annotation(block),
      .gyro_range = sensors ? gyro_range(sensor_config) : std::nullopt,
      .magnetometer_enabled = sensors && sensor_config >= 0x10,
  };
}

}  // namespace

Result<File> open_recording(std::string_view path, std::span<std::byte> start,
                            CwaError (*not_metadata)(std::span<const std::byte, 2> first)) {
  auto file = File::open_read(path);
  if (!file) return fail(std::move(file.error()));
  // A recording is read by position, and a FIFO or pipe could keep a read
  // waiting for a writer forever.
  if (!file->seekable()) {
    return fail(CwaError::io_text("input is not seekable (a FIFO, pipe or terminal cannot be a recording)"));
  }
  auto filled = file->read_up_to(start);
  if (!filled) return fail(std::move(filled.error()));
  if (*filled < start.size()) return fail(CwaError::unexpected_eof().marked_not_a_recording());
  const auto first = std::span<const std::byte>(start).first<2>();
  if (first[0] != std::byte{'M'} || first[1] != std::byte{'D'})
    return fail(not_metadata(first).marked_not_a_recording());
  return std::move(*file);
}

Result<CwaHeader> read_cwa_header(std::string_view path) {
  std::array<std::byte, metadata_size> block;
  auto file = open_recording(path, block, not_a_metadata_block);
  if (!file) return fail(std::move(file.error()));
  return decode_cwa_header(block);
}

Result<CwaHeader> read_checked_header(std::string_view path) {
  auto header = read_cwa_header(path);
  if (!header) return header;
  if (auto checked = open_checked_cwa_file(path); !checked) return fail(std::move(checked.error()));
  return header;
}

Result<CheckedCwaFile> open_checked_cwa_file(std::string_view path) {
  std::array<std::byte, 2> magic;
  auto file = open_recording(
      path, magic, [](std::span<const std::byte, 2>) { return CwaError::message("Not a valid CWA file"); });
  if (!file) return fail(std::move(file.error()));
  auto size = file->size();
  if (!size) return fail(std::move(size.error()));
  if (*size < metadata_size)
    return fail(CwaError::message("File too small to be a valid CWA file").marked_not_a_recording());
  if (*size % sector_size != 0) return fail("Incomplete CWA data block");
  return CheckedCwaFile{std::move(*file), (*size - metadata_size) / sector_size};
}

}  // namespace velnora
