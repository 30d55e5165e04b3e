#include "core/time/packed_datetime.hpp"

namespace velnora {

namespace {

bool is_leap_year(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned days_in_month(std::int64_t year, unsigned month) {
  static constexpr unsigned lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && is_leap_year(year)) return 29;
  return lengths[month - 1];
}

}  // namespace

std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  // Counts in 400-year eras that begin on 1 March, so the leap day is last.
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

std::optional<UnixSeconds> cwa_timestamp(std::uint32_t packed) {
  if (packed == 0 || packed == 0xFFFFFFFFu) return std::nullopt;
  const std::int64_t year = 2000 + (packed >> 26);
  const unsigned month = (packed >> 22) & 0x0F;
  const unsigned day = (packed >> 17) & 0x1F;
  const unsigned hour = (packed >> 12) & 0x1F;
  const unsigned minute = (packed >> 6) & 0x3F;
  const unsigned second = packed & 0x3F;
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return std::nullopt;
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace velnora
