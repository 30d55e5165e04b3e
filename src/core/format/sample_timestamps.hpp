#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/base/cwa_error.hpp"
#include "core/format/data_block.hpp"

namespace velnora {

// Writes the microsecond timestamps of a block's first `sample_count` samples
// into `out` (which must hold that many) and returns the block's natural end,
// the continuity state for the next block. With no samples it returns
// `prev_end` (or 0.0) unchanged. Errors: "Invalid block timestamp". No allocation.
Result<double> calculate_sample_timestamps_with_prev_end(const CwaDataBlock& block, std::size_t sample_count,
                                                         std::optional<double> prev_end,
                                                         std::span<std::int64_t> out);

}  // namespace velnora
