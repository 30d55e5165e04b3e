#include "core/format/data_block.hpp"

#include <cstring>

#include "core/base/little_endian.hpp"
#include "core/base/utf8.hpp"

namespace velnora {

namespace {

// Only reached for a sector that is not a data block: the header is first read
// as text, so bytes that are no text at all get their own message.
[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> bad_packet_header(Sector sector) {
  if (!is_valid_utf8(sector.first<2>())) return fail("Invalid packet header format");
  return fail("Invalid data block header");
}

}  // namespace

Result<CwaDataBlock> CwaDataBlock::from_buffer(Sector sector) {
  const std::byte* bytes = sector.data();
  if (load_u16(bytes) != data_block::marker) return bad_packet_header(sector);
  CwaDataBlock block;
  block.packet_header = {'A', 'X'};
  block.packet_length = load_u16(bytes + 2);
  block.fractional_time = load_u16(bytes + 4);
  block.session_id = load_u32(bytes + 6);
  block.sequence_id = load_u32(bytes + 10);
  block.timestamp = load_u32(bytes + 14);
  block.light = load_u16(bytes + 18);
  block.temperature = load_u16(bytes + 20);
  block.events = load_u8(bytes + 22);
  block.battery = load_u8(bytes + 23);
  block.rate_code = load_u8(bytes + 24);
  block.sample_format = load_u8(bytes + 25);
  block.timestampOffset = load_i16(bytes + 26);
  block.sample_count = load_u16(bytes + 28);
  std::memcpy(block.sample_data.data(), bytes + 30, block.sample_data.size());
  block.checksum = load_u16(bytes + 510);
  return block;
}

}  // namespace velnora
