#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"
#include "core/format/channels.hpp"

namespace velnora {

// Reads a planned range of blocks into columns, one timestamp per sample.
// Errors: those of opening the range and of every block, and "No valid sample
// data found in the specified range" when no sample was read; no partial
// result. Allocates the columns (address space for the whole range up front).
Result<CwaDataResult> read_cwa_data(std::string_view path, std::optional<std::uint64_t> start_block,
                                    std::optional<std::uint64_t> block_count, IncludeFlags include);

}  // namespace velnora
