#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "core/format/include_flags.hpp"

namespace velnora {

// time, three accelerometer and three gyroscope columns, and six optional ones.
inline constexpr std::size_t max_csv_columns = 13;

// The column names of a CSV file, in file order.
struct CsvHeader {
  std::array<std::string_view, max_csv_columns> names{};
  std::size_t count = 0;

  std::span<const std::string_view> columns() const { return {names.data(), count}; }
};

// The columns for the include flags; they never depend on the recording. No
// errors, no allocation.
CsvHeader csv_header(IncludeFlags include);

}  // namespace velnora
