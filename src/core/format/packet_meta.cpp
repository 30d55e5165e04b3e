#include "core/format/packet_meta.hpp"

#include <string>

#include "core/time/packed_datetime.hpp"
#include "core/base/little_endian.hpp"
#include "core/format/data_block_layout.hpp"
#include "core/format/sample_format.hpp"

namespace velnora {

namespace {

// The messages are built only on the failure path, away from the screening
// loop that runs on every sector of a recording.
[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> old_format() {
  return fail("Old CWA format packets are not supported");
}

[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> over_capacity() {
  return fail("Sample count exceeds packet capacity");
}

[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> invalid_timestamp() {
  return fail("Invalid block timestamp");
}

}  // namespace

Result<std::optional<PacketMeta>> packet_meta(Sector sector) {
  const std::byte* bytes = sector.data();
  if (load_u16(bytes + data_block::packet_header_at) != data_block::marker) return std::nullopt;
  // A zero count marks a sector without data whatever the other fields hold,
  // so it is tested before any field that could make the block malformed.
  const std::uint16_t sample_count = load_u16(bytes + data_block::sample_count_at);
  if (sample_count == 0) return std::nullopt;
  const std::uint8_t rate_code = load_u8(bytes + data_block::rate_code_at);
  if (rate_code == 0) return old_format();
  const std::uint8_t sample_format = load_u8(bytes + data_block::sample_format_at);
  const std::optional<std::size_t> sample_size = bytes_per_sample(sample_format);
  if (!sample_size) return unsupported_sample_format(sample_format);
  if (*sample_size * sample_count > data_block::sample_area_size) return over_capacity();
  const std::uint32_t timestamp = load_u32(bytes + data_block::timestamp_at);
  if (!cwa_timestamp(timestamp)) return invalid_timestamp();
  return PacketMeta{
      .sample_count = sample_count,
      .timestamp = timestamp,
      .timestampOffset = load_i16(bytes + data_block::timestamp_offset_at),
      .rate_code = rate_code,
  };
}

}  // namespace velnora
