#include "core/format/annotation.hpp"

#include <algorithm>

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

}  // namespace velnora
