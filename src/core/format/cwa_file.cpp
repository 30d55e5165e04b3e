#include "core/format/cwa_file.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "core/base/little_endian.hpp"
#include "core/base/utf8.hpp"

namespace velnora {

namespace {

constexpr std::size_t annotation_begin = 64;
constexpr std::size_t annotation_end = 512;

// Devices pad the area with spaces, NULs or erased-flash 0xFF bytes.
bool is_filler(std::byte byte) {
  return byte == std::byte{0x00} || byte == std::byte{0x20} || byte == std::byte{0xFF};
}

}  // namespace

std::string parse_annotation(std::span<const std::byte> block) {
  const std::size_t end = std::min(block.size(), annotation_end);
  std::span<const std::byte> area = end > annotation_begin
                                        ? block.subspan(annotation_begin, end - annotation_begin)
                                        : std::span<const std::byte>{};
  while (!area.empty() && is_filler(area.back())) area = area.first(area.size() - 1);
  return decode_utf8_lossy(area);
}

namespace {

constexpr std::uint8_t ax6_hardware = 0x64;
constexpr std::uint16_t upper_device_id_unset = 0xFFFF;

Result<void> check_packet_header(std::span<const std::byte, metadata_size> block) {
  const auto header = block.first<2>();
  if (!is_valid_utf8(header)) return fail("Invalid packet header format");
  if (header[0] != std::byte{'M'} || header[1] != std::byte{'D'})
    return fail("First block is not a metadata block");
  return {};
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

}  // namespace

Result<CwaHeader> decode_cwa_header(std::span<const std::byte, metadata_size> block) {
  if (auto checked = check_packet_header(block); !checked) return fail(std::move(checked.error()));
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

Result<CwaHeader> read_cwa_header(std::string_view path) {
  auto file = File::open_read(path);
  if (!file) return fail(std::move(file.error()));
  std::array<std::byte, metadata_size> block;
  if (auto read = file->read_exact(block); !read) return fail(std::move(read.error()));
  return decode_cwa_header(block);
}

Result<CheckedCwaFile> open_checked_cwa_file(std::string_view path) {
  auto file = File::open_read(path);
  if (!file) return fail(std::move(file.error()));
  std::array<std::byte, 2> magic;
  if (auto read = file->read_exact(magic); !read) return fail(std::move(read.error()));
  if (magic[0] != std::byte{'M'} || magic[1] != std::byte{'D'}) return fail("Not a valid CWA file");
  auto size = file->size();
  if (!size) return fail(std::move(size.error()));
  if (*size < metadata_size) return fail("File too small to be a valid CWA file");
  if (*size % sector_size != 0) return fail("Incomplete CWA data block");
  return CheckedCwaFile{std::move(*file), (*size - metadata_size) / sector_size};
}

}  // namespace velnora
