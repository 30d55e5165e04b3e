#include "core/time/date_time.hpp"

#include <cstddef>

#include "core/base/numeric.hpp"

namespace velnora {

namespace {

bool is_leap_year(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned days_in_month(std::int64_t year, unsigned month) {
  static constexpr unsigned lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && is_leap_year(year)) return 29;
  return lengths[month - 1];
}

constexpr std::int64_t min_year = -262143;
constexpr std::int64_t max_year = 262142;

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

// Days from 1970-01-01 to the given proleptic Gregorian date (negative before).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  // Counts in 400-year eras that begin on 1 March, so the leap day is last.
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

// The inverse of days_from_civil: 400-year eras that begin on 1 March, so the
// leap day is the last day of an era's year.
CivilDate civil_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  return {static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2), month, day};
}

struct FloorDivision {
  std::int64_t quotient;
  std::int64_t remainder;  // 0 <= remainder < divisor
};

// Floor division for a positive divisor, so instants before 1970 still get a
// non-negative remainder. The remainder comes from `%` rather than from
// value - quotient * divisor, which overflows near the int64 limits.
FloorDivision floor_divide(std::int64_t value, std::int64_t divisor) {
  FloorDivision result{value / divisor, value % divisor};
  if (result.remainder < 0) {
    result.quotient -= 1;
    result.remainder += divisor;
  }
  return result;
}

// Writes `value` right-aligned in `width` zero-padded digits and returns the end.
char* put_digits(char* out, std::uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

int digit_count(std::uint64_t value) {
  int count = 1;
  while (value >= 10) {
    value /= 10;
    ++count;
  }
  return count;
}

// Years outside 0..9999 carry an explicit sign and at least four digits.
char* put_year(char* out, std::int64_t year) {
  if (year >= 0 && year <= 9999) return put_digits(out, static_cast<std::uint64_t>(year), 4);
  *out++ = year < 0 ? '-' : '+';
  const std::uint64_t magnitude =
      year < 0 ? static_cast<std::uint64_t>(-year) : static_cast<std::uint64_t>(year);
  return put_digits(out, magnitude, digit_count(magnitude) < 4 ? 4 : digit_count(magnitude));
}

// The shortest of no fraction, milliseconds, microseconds and nanoseconds that
// represents the fraction exactly.
char* put_fraction(char* out, std::uint32_t nanoseconds) {
  if (nanoseconds == 0) return out;
  int digits = 9;
  while (nanoseconds % 1000 == 0) {
    nanoseconds /= 1000;
    digits -= 3;
  }
  *out++ = '.';
  return put_digits(out, nanoseconds, digits);
}

// Every date-time that leaves the system is written here; `nanoseconds` is
// 0..999999999.
std::optional<std::string> format_rfc3339(std::int64_t seconds, std::uint32_t nanoseconds) {
  const FloorDivision days = floor_divide(seconds, 86400);
  const auto second_of_day = static_cast<unsigned>(days.remainder);
  const CivilDate date = civil_from_days(days.quotient);
  if (date.year < min_year || date.year > max_year) return std::nullopt;
  // "+262142-12-31T23:59:59.999999999+00:00" is the longest text.
  char text[40];
  char* out = put_year(text, date.year);
  *out++ = '-';
  out = put_digits(out, date.month, 2);
  *out++ = '-';
  out = put_digits(out, date.day, 2);
  *out++ = 'T';
  out = put_digits(out, second_of_day / 3600, 2);
  *out++ = ':';
  out = put_digits(out, second_of_day / 60 % 60, 2);
  *out++ = ':';
  out = put_digits(out, second_of_day % 60, 2);
  out = put_fraction(out, nanoseconds);
  for (char c : {'+', '0', '0', ':', '0', '0'}) *out++ = c;
  return std::string(text, static_cast<std::size_t>(out - text));
}

}  // namespace

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

std::optional<std::string> unix_seconds_to_rfc3339(UnixSeconds seconds) { return format_rfc3339(seconds, 0); }

std::optional<std::string> timestamp_us_to_rfc3339(std::int64_t timestamp_us) {
  const FloorDivision seconds = floor_divide(timestamp_us, us_per_second);
  return format_rfc3339(seconds.quotient, static_cast<std::uint32_t>(seconds.remainder) * 1000);
}

}  // namespace velnora
