#pragma once

#include <cstdint>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/format/cwa_file.hpp"

namespace velnora {

// The recording's metadata block, decoded (read_cwa_header).
Result<CwaHeader> read_recording_header(std::string_view path);

// The data-block positions of a recording: the whole 512-byte sectors after
// its 1024-byte metadata area, 0 for a shorter file; nothing is checked but
// the size. Errors: Io, as opening the file for any read. No allocation
// beyond the path text, except for an error.
Result<std::uint64_t> count_block_positions(std::string_view path);

}  // namespace velnora
