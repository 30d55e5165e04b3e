#pragma once

#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"
#include "core/format/include_flags.hpp"
#include "core/read/read_plan.hpp"

namespace velnora {

// The samples a plan selects. With a rate, the resampler reads the planned
// blocks and applies the window through its grid; otherwise every sample of
// the planned blocks is read, then cut to the window. Errors: those of the
// reader, the resampler and the time filter; no partial result. Allocates the
// result's columns.
Result<CwaDataResult> read_planned_samples(std::string_view path, const ReadPlan& plan, IncludeFlags include,
                                           std::optional<double> resample_hz);

}  // namespace velnora
