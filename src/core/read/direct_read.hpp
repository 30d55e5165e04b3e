#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"
#include "core/format/channels.hpp"
#include "core/read/damaged_blocks.hpp"

namespace velnora {

// Reads a planned range of blocks into columns, one timestamp per sample;
// with `damaged`, past damage into that list (DecodedBlockStream). Errors:
// those of opening the range and of every block, and "No valid sample data
// found in the specified range" when no sample was read; no partial result.
// Allocates the columns (address space for the whole range up front, every
// block as full as the first).
Result<CwaDataResult> read_cwa_data(std::string_view path, std::optional<std::uint64_t> start_block,
                                    std::optional<std::uint64_t> block_count, IncludeFlags include,
                                    DamagedBlocks* damaged = nullptr);

// Keeps the samples whose time t (seconds) satisfies start <= t < end, each
// bound optional, as a plan gives them (check_time_window); with neither bound
// the data comes back untouched. Consumes `data` on every path. Errors: "No samples remain
// after applying time range", Interrupted (the data is then lost). Allocates the
// selection only; the columns are compacted in place.
Result<CwaDataResult> filter_data_by_time_range(CwaDataResult&& data, std::optional<double> start,
                                                std::optional<double> end);

}  // namespace velnora
