#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/base/cwa_error.hpp"

namespace velnora {

// One data block's place in time, as the seconds scan sees it.
struct BlockTimeSpan {
  std::uint64_t block_index;
  double start_time;  // after the continuity correction
  double end_time;    // the block's natural end
};

// Spans of every data block in file order; empty when the file has block
// positions but no data block. Errors: the file check's, "Start block is beyond
// file size" (no block positions), "Unexpected end of CWA data", a malformed
// block's message, Io. Allocates the span list.
Result<std::vector<BlockTimeSpan>> scan_block_time_spans(std::string_view path);

}  // namespace velnora
