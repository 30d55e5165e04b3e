#pragma once

#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/format/cwa_file.hpp"

namespace velnora {

// The recording's metadata block, decoded (read_cwa_header).
Result<CwaHeader> read_recording_header(std::string_view path);

}  // namespace velnora
