#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velnora {

// Room for the longest number text: a float widened to double lies below
// 3.5e38, so a sign, 39 integer digits, a point and 6 fraction digits; a
// microsecond timestamp in seconds needs far less.
inline constexpr std::size_t max_number_chars = 48;
using NumberText = std::array<char, max_number_chars>;

// Writes a microsecond timestamp as seconds, micros / 1000000.0 in double
// precision, with 4 fraction digits; returns the text's length. No errors, no
// allocation.
std::size_t format_time(std::int64_t micros, NumberText& out);

// Writes a channel value widened to double with 6 fraction digits ("NaN",
// "inf", "-inf" for the special values); returns the text's length. No errors,
// no allocation.
std::size_t format_value(float value, NumberText& out);

}  // namespace velnora
