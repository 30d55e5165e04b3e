#pragma once

#include <cstdint>
#include <optional>

namespace velnora {

// Whole seconds since 1970-01-01T00:00:00 UTC: the decoded form of a packed
// CWA date-time.
using UnixSeconds = std::int64_t;

// Days from 1970-01-01 to the given proleptic Gregorian date (negative before).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day);

// Decodes a packed date-time (year-2000 in bits 26-31, month 22-25, day 17-21,
// hour 12-16, minute 6-11, second 0-5). Returns nothing for the unset markers
// 0 and 0xFFFFFFFF and for any value that is not a real calendar date and time
// of day. No allocation.
std::optional<UnixSeconds> cwa_timestamp(std::uint32_t packed);

}  // namespace velnora
