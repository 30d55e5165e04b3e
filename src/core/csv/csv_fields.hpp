#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/csv/csv_header.hpp"
#include "core/csv/csv_number.hpp"

namespace velnora {

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
