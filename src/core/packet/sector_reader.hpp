#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "core/errors/cwa_error.hpp"
#include "core/io/file.hpp"
#include "core/packet/sector.hpp"

namespace velnora {

// Serves 512-byte sectors of an open file from a large read buffer, so a whole
// recording costs a few large reads instead of one or two system calls per
// sector. What callers see is the same as reading sector by sector: the next
// whole sector, nothing when the file ends exactly at a sector boundary, and the
// Io error "failed to fill whole buffer" when 1 to 511 bytes are left.
class SectorReader {
 public:
  explicit SectorReader(File file);

  // The next sector (valid until the next call), nothing at the exact end of the
  // file, or an Io error. No allocation after construction.
  Result<std::optional<Sector>> next();
  // Positions the reader at an absolute byte offset, dropping buffered data.
  // Errors: Io.
  Result<void> seek(std::uint64_t offset);
  // Positions the reader at data block position `index`. Errors: Io.
  Result<void> seek_block(std::uint64_t index) { return seek(metadata_size + sector_size * index); }

  const File& file() const { return file_; }

 private:
  File file_;
  // Implementation state (buffer, fill level, read position, deferred error) is
  // chosen by the implementation.
};

}  // namespace velnora
