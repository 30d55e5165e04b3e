#pragma once

#include <optional>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"

namespace velnora {

// Keeps the samples whose time t (seconds) satisfies start <= t < end, each
// bound optional; with neither bound the data comes back untouched. Consumes
// `data` on every path. Errors: those of check_time_window, "No samples remain
// after applying time range". Allocates the selection only; the columns are
// compacted in place.
Result<CwaDataResult> filter_data_by_time_range(CwaDataResult&& data, std::optional<double> start,
                                                std::optional<double> end);

}  // namespace velnora
