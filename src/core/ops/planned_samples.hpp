#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"
#include "core/format/channels.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/read_plan.hpp"
#include "core/resample/resampled_read.hpp"

namespace velnora {

// The samples a plan selects. With a rate, the resampler reads the planned
// blocks and applies the window through its grid; otherwise every sample of
// the planned blocks is read, then cut to the window. With `damaged`, the
// blocks are read past damage, which is listed there (DecodedBlockStream).
// Errors: those of the reader, the resampler and the time filter; no partial
// result. Allocates the result's columns.
Result<CwaDataResult> read_planned_samples(std::string_view path, const ReadPlan& plan, IncludeFlags include,
                                           std::optional<double> resample_hz,
                                           DamagedBlocks* damaged = nullptr);

// Writes the samples a read plan selects as CSV. With a rate the resampler's
// grid points are written; with a time window the samples are read whole and
// cut to it; either way the output is touched only once reading is done.
// Without either they stream block by block. Errors: the window's messages,
// then an output path naming the input (both before any reading), then those
// of reading, resampling, filtering and writing. Allocates the whole selection with a rate or a window, one
// block's worth without. With `damaged`, as read_planned_samples.
Result<void> write_planned_csv(std::string_view file_path, std::string_view output_path, const ReadPlan& plan,
                               IncludeFlags include, std::optional<double> resample_hz,
                               DamagedBlocks* damaged = nullptr);

// The entry operations of a read and of a CSV export: the cut turned into a
// plan (resolve_read_plan, timing the blocks past damage when `damaged` is
// given), then read_planned_samples or write_planned_csv. Errors: the plan's,
// then those of the read or export.
Result<CwaDataResult> read_cut_samples(std::string_view path, const CutConfig& cut, IncludeFlags include,
                                       std::optional<double> resample_hz, DamagedBlocks* damaged = nullptr);
Result<void> write_cut_csv(std::string_view file_path, std::string_view output_path, const CutConfig& cut,
                           IncludeFlags include, std::optional<double> resample_hz,
                           DamagedBlocks* damaged = nullptr);

// The binding calls besides, as their stages define them:
// validate_resample_options (the rate a read resamples at, checked once),
// resolve_read_plan (a cut planned, for the passes that read it themselves)
// and adopted_split_runs (for tests).

}  // namespace velnora
