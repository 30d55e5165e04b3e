#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velnora {

// CWA fields are little-endian; loads go through memcpy so that no pointer is
// dereferenced at an unaligned address.
template <class T>
inline T load_le(const std::byte* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  static_assert(std::endian::native == std::endian::little, "big-endian hosts are not supported");
  return value;
}

inline std::uint8_t load_u8(const std::byte* at) { return static_cast<std::uint8_t>(*at); }
inline std::uint16_t load_u16(const std::byte* at) { return load_le<std::uint16_t>(at); }
inline std::int16_t load_i16(const std::byte* at) { return load_le<std::int16_t>(at); }
inline std::uint32_t load_u32(const std::byte* at) { return load_le<std::uint32_t>(at); }

}  // namespace velnora
