#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/time/packed_datetime.hpp"

namespace velnora {

// The RFC 3339 text of a whole-second instant, as in "2023-05-01T12:34:56+00:00".
// Nothing when the year lies outside -262143..262142. Allocates the result.
std::optional<std::string> unix_seconds_to_rfc3339(UnixSeconds seconds);

// A header date-time as text: nothing for an unset or invalid one, as for a
// year out of range. Allocates the result.
inline std::optional<std::string> header_time_to_rfc3339(std::optional<UnixSeconds> time) {
  return time.and_then(unix_seconds_to_rfc3339);
}

// The RFC 3339 text of a microsecond timestamp, with a 3- or 6-digit fraction
// when the fraction is not zero. Nothing when the year lies outside
// -262143..262142. Allocates the result.
std::optional<std::string> timestamp_us_to_rfc3339(std::int64_t timestamp_us);

}  // namespace velnora
