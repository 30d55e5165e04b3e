#include "core/read/time_window.hpp"

#include <cmath>

namespace velnora {

namespace {

bool is_finite_or_absent(std::optional<double> bound) { return !bound || std::isfinite(*bound); }

}  // namespace

Result<void> check_time_window(std::optional<double> start, std::optional<double> end) {
  if (!is_finite_or_absent(start) || !is_finite_or_absent(end))
    return fail("time range values must be finite");
  if (start && end && *start >= *end) return fail("range_end_time must be greater than range_start_time");
  return {};
}

}  // namespace velnora
