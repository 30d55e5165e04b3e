#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace velnora {

// Float to integer the way every timestamp in the system is made: truncation
// toward zero, NaN to 0, and saturation at both ends instead of undefined
// behaviour.
inline std::int64_t truncate_to_i64(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

// Every timestamp of the system counts microseconds.
inline constexpr std::int64_t us_per_second = 1000000;

// Microseconds as seconds, the one conversion every reader and writer uses.
inline double seconds_from_us(std::int64_t us) {
  return static_cast<double>(us) / static_cast<double>(us_per_second);
}

// Seconds as whole microseconds, truncated toward zero and saturated.
inline std::int64_t truncated_us(double seconds) {
  return truncate_to_i64(seconds * static_cast<double>(us_per_second));
}

}  // namespace velnora
