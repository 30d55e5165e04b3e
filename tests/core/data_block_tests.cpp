#include <array>
#include <cstdint>
#include <string>

#include "check.hpp"
#include "core/format/data_block.hpp"

using namespace velnora;

namespace {

// A sector that packet_meta would accept: "AX", the given format and count.
std::array<std::byte, sector_size> sector(std::uint8_t sample_format, std::uint16_t sample_count) {
  std::array<std::byte, sector_size> bytes{};
  bytes[0] = std::byte{'A'};
  bytes[1] = std::byte{'X'};
  bytes[24] = std::byte{0x4A};
  bytes[25] = std::byte{sample_format};
  bytes[28] = std::byte(sample_count & 0xFF);
  bytes[29] = std::byte(sample_count >> 8);
  return bytes;
}

std::string from_buffer_error(std::byte first, std::byte second) {
  auto bytes = sector(0x30, 1);
  bytes[0] = first;
  bytes[1] = second;
  auto block = CwaDataBlock::from_buffer(Sector(bytes));
  return block ? "" : block.error().text();
}

std::string parse_error(std::uint8_t sample_format, std::uint16_t sample_count) {
  const auto bytes = sector(sample_format, sample_count);
  SampleBuffer buffer;
  auto samples = CwaDataBlock::parse_samples(*CwaDataBlock::from_buffer(Sector(bytes)), true, buffer);
  return samples ? "" : samples.error().text();
}

// Reached through read_cwa_file never: packet_meta skips a sector that is not
// "AX" and rejects a bad format or count first. The block functions check anyway.
void header_messages() {
  check(from_buffer_error(std::byte{0xC3}, std::byte{0x28}) == "Invalid packet header format");
  check(from_buffer_error(std::byte{'A'}, std::byte{0xFF}) == "Invalid packet header format");
  check(from_buffer_error(std::byte{'A'}, std::byte{'Y'}) == "Invalid data block header");
  check(from_buffer_error(std::byte{0xC3}, std::byte{0xA9}) == "Invalid data block header");  // "é" is text
}

void sample_messages() {
  check(parse_error(0x41, 1) == "Unsupported sample format: 4 axes, packing 1");
  check(parse_error(0x60, 1) == "Unsupported sample format: 6 axes, packing 0");
  check(parse_error(0x30, 120).empty());
  check(parse_error(0x30, 121) == "Insufficient data for packed 3-axis samples");
  check(parse_error(0x32, 80).empty());
  check(parse_error(0x32, 81) == "Insufficient data for unpacked 3-axis samples");
  check(parse_error(0x62, 40).empty());
  check(parse_error(0x62, 41) == "Insufficient data for unpacked 6-axis samples");
  check(parse_error(0x92, 26).empty());
  check(parse_error(0x92, 27) == "Insufficient data for unpacked 9-axis samples");
  check(parse_error(0x92, 0xFFFF) == "Insufficient data for unpacked 9-axis samples");
}

void zero_samples_decode_to_nothing() {
  const auto bytes = sector(0x92, 0);
  SampleBuffer buffer;
  auto samples = CwaDataBlock::parse_samples(*CwaDataBlock::from_buffer(Sector(bytes)), true, buffer);
  check(samples.has_value() && samples->samples.empty() && samples->has_magnetometer);
}

}  // namespace

TEST_SUITE(data_block_tests) {
  header_messages();
  sample_messages();
  zero_samples_decode_to_nothing();
}
