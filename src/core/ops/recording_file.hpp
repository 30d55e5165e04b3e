#pragma once

#include <cstdint>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/format/cwa_file.hpp"

namespace velnora {

// The recording's metadata block, decoded (read_cwa_header).
Result<CwaHeader> read_recording_header(std::string_view path);

// The metadata block of a recording the readers can open: read_cwa_header,
// then the file's geometry as every reader checks it, so that a recording
// cut short inside a data block fails as the read of it does. Errors: those
// of read_cwa_header, then of open_checked_cwa_file ("Incomplete CWA data
// block"). Allocates the header's strings.
Result<CwaHeader> read_checked_header(std::string_view path);

// The data-block positions of a recording: the whole 512-byte sectors after
// its 1024-byte metadata area, 0 for a shorter file; nothing is checked but
// the size. Errors: Io, as opening the file for any read. No allocation
// beyond the path text, except for an error.
Result<std::uint64_t> count_block_positions(std::string_view path);

}  // namespace velnora
