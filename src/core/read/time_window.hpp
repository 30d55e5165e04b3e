#pragma once

#include <optional>

#include "core/base/cwa_error.hpp"

namespace velnora {

// Checks a time window [start, end) in seconds, each bound optional: start is
// tested before end. Errors: "time range values must be finite",
// "range_end_time must be greater than range_start_time". No allocation except
// for an error.
Result<void> check_time_window(std::optional<double> start, std::optional<double> end);

}  // namespace velnora
