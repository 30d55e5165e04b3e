#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/io/file.hpp"

namespace velnora {

// File geometry: a 1024-byte metadata area, then 512-byte sectors; data block
// position i starts at byte 1024 + 512 * i.
inline constexpr std::size_t sector_size = 512;
inline constexpr std::size_t metadata_size = 1024;

using Sector = std::span<const std::byte, sector_size>;

// The data-block positions of a recording: the whole 512-byte sectors after
// its 1024-byte metadata area, 0 for a shorter file; nothing is checked but
// the size. Errors: Io, as opening the file for any read. No allocation
// beyond the path text, except for an error.
Result<std::uint64_t> count_block_positions(std::string_view path);

// Serves 512-byte sectors of an open file from a large read buffer, so a whole
// recording costs a few large reads instead of one or two system calls per
// sector. What callers see is the same as reading sector by sector: the next
// whole sector, nothing when the file ends exactly at a sector boundary, and the
// Io error "failed to fill whole buffer" when 1 to 511 bytes are left. The whole
// sectors before a partial one or a failing read are served first; the error
// comes with the request for the sector it affects.
class SectorReader {
 public:
  // 1 MiB: large enough that system calls vanish from the profile, small
  // enough to stay in the cache while its sectors are screened.
  static constexpr std::size_t buffer_sectors = 2048;

  // Reads on from the file's current position. Allocates the buffer once.
  explicit SectorReader(File file);

  // The next sector, nothing at the exact end of the file, or an Io error. The
  // sector is a view into the buffer, valid until the next call of any member.
  // No allocation after construction except for an error.
  Result<std::optional<Sector>> next();
  // Positions the reader at an absolute byte offset, dropping buffered data.
  // Errors: Io.
  Result<void> seek(std::uint64_t offset);
  // Positions the reader at data block position `index`. Errors: Io.
  Result<void> seek_block(std::uint64_t index) { return seek(metadata_size + sector_size * index); }

  // The underlying file. Its position runs ahead of the sectors served.
  const File& file() const { return file_; }

 private:
  static constexpr std::size_t buffer_size = buffer_sectors * sector_size;

  std::size_t buffered() const { return end_ - begin_; }
  Result<void> refill();
  Result<std::optional<Sector>> end_of_data();

  File file_;
  std::unique_ptr<std::byte[]> buffer_;
  // Unserved bytes are buffer_[begin_, end_).
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace velnora
