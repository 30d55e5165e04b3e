#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velnora {

// File geometry: a 1024-byte metadata area, then 512-byte sectors; data block
// position i starts at byte 1024 + 512 * i.
inline constexpr std::size_t sector_size = 512;
inline constexpr std::size_t metadata_size = 1024;

using Sector = std::span<const std::byte, sector_size>;

}  // namespace velnora
