#pragma once

#include <cstddef>
#include <cstdint>

// Byte offsets of the data-block header fields within a 512-byte sector.
namespace velnora::data_block {

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

}  // namespace velnora::data_block
