#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"
#include "core/format/channels.hpp"
#include "core/read/damaged_blocks.hpp"

namespace velnora {

// The rate to resample at, absent for no resampling; on error the message of
// the first rejected option (the rate before the method). Allocates only for
// that message.
Result<std::optional<double>> validate_resample_options(std::optional<double> resample_hz,
                                                        std::string_view resample_method);

// Reads a planned range of blocks through a StreamingResampler: one row per
// grid point at `resample_hz`, within the window [range_start_time,
// range_end_time) when given; with `damaged`, past damage into that list
// (DecodedBlockStream). The window must be a plan's (check_time_window).
// Reading stops once the grid reaches the window's end. Errors: those of
// opening the range and of every block read, "No valid sample data found in
// the specified range" when the range holds no data block, "No samples remain
// after applying time range/resampling" when no grid point results,
// OutOfMemory (a grid past the memory limit names its points and bytes), Io; no
// partial result. Allocates the output columns and a small queue.
Result<CwaDataResult> read_cwa_data_resampled_streaming(
    std::string_view path, std::optional<std::uint64_t> start_block, std::optional<std::uint64_t> block_count,
    double resample_hz, IncludeFlags include, std::optional<double> range_start_time,
    std::optional<double> range_end_time, DamagedBlocks* damaged = nullptr);

// How many resampled reads of this process split their range between two
// threads and took the later half's rows from the helper: for tests, which
// must see that the split ran. No errors.
std::uint64_t adopted_split_runs();

}  // namespace velnora
