#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

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

// time, three accelerometer and three gyroscope columns, and six optional ones.
inline constexpr std::size_t max_csv_columns = 13;

// The field texts of one row, one fixed text per column: made once per file
// and cleared, never freed, between rows, so a row costs no allocation.
class CsvFields {
 public:
  void clear() { count_ = 0; }
  // Appends the next field; a row holds at most max_csv_columns of them.
  void add_time(std::int64_t micros) { add(format_time(micros, texts_[count_])); }
  void add_value(float value) { add(format_value(value, texts_[count_])); }

  std::span<const std::string_view> views() const { return {views_.data(), count_}; }

 private:
  void add(std::size_t length) {
    views_[count_] = std::string_view(texts_[count_].data(), length);
    ++count_;
  }

  std::array<NumberText, max_csv_columns> texts_;
  std::array<std::string_view, max_csv_columns> views_;
  std::size_t count_ = 0;
};

}  // namespace velnora
