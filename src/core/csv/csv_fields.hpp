#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "core/format/channels.hpp"

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

// The time and every channel.
inline constexpr std::size_t max_csv_columns = 1 + channel_count;

// The longest record: every field at its longest, each with a comma or the
// line feed after it.
inline constexpr std::size_t max_csv_record_bytes = max_csv_columns * (max_number_chars + 1);

// The field texts of one row, one fixed text per column: made once per file
// and cleared, never freed, between rows, so a row costs no allocation.
class CsvFields {
 public:
  void clear() { count_ = 0; }
  // Appends the next field; a row holds at most max_csv_columns of them.
  void add_time(std::int64_t micros) { add(format_time(micros, texts_[count_])); }
  void add_value(float value) { add(format_value(value, texts_[count_])); }
  // A text of its own, such as a column name; cut at max_number_chars.
  void add_text(std::string_view text) {
    const std::size_t length = std::min(text.size(), max_number_chars);
    std::memcpy(texts_[count_].data(), text.data(), length);
    add(length);
  }

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
