#pragma once

#include <cstdint>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/io/file.hpp"

namespace velnora {

// A CWA file opened for reading, its start and size checked.
struct CheckedCwaFile {
  File file;
  std::uint64_t block_count;  // data block positions after the metadata area
};

// Opens the file and checks its first two bytes ("MD") and its geometry.
// Errors: Io, "Not a valid CWA file", "File too small to be a valid CWA file",
// "Incomplete CWA data block". No allocation beyond the path text.
Result<CheckedCwaFile> open_checked_cwa_file(std::string_view path);

}  // namespace velnora
