#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velnora {

// Whole seconds since 1970-01-01T00:00:00 UTC: the decoded form of a packed
// CWA date-time.
using UnixSeconds = std::int64_t;

// Decodes a packed date-time (year-2000 in bits 26-31, month 22-25, day 17-21,
// hour 12-16, minute 6-11, second 0-5). Returns nothing for the unset markers
// 0 and 0xFFFFFFFF and for any value that is not a real calendar date and time
// of day. No allocation.
std::optional<UnixSeconds> cwa_timestamp(std::uint32_t packed);

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
