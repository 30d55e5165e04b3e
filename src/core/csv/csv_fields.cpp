#include "core/csv/csv_fields.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "core/base/numeric.hpp"

namespace velnora {

namespace {

// std::to_chars in fixed notation rounds the exact binary value, ties to even,
// so its digits are those of printf's "%.*f"; a negative value that rounds to
// zero keeps its sign there too.
std::size_t format_fixed(double value, int precision, NumberText& out) {
  if (std::isnan(value)) [[unlikely]] {
    // to_chars writes "nan" or "-nan"; the file's spelling has no sign.
    std::memcpy(out.data(), "NaN", 3);
    return 3;
  }
  const auto written =
      std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed, precision);
  return static_cast<std::size_t>(written.ptr - out.data());
}

}  // namespace

std::size_t format_time(std::int64_t micros, NumberText& out) {
  return format_fixed(seconds_from_us(micros), 4, out);
}

std::size_t format_value(float value, NumberText& out) {
  return format_fixed(static_cast<double>(value), 6, out);
}

}  // namespace velnora
