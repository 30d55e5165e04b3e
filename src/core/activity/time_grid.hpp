#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/base/cwa_error.hpp"
#include "core/io/memory_limit.hpp"

namespace velnora {

// The index of the interval of length `length` that holds `t`, intervals
// aligned to multiples of `length` (negative times round down too).
constexpr std::int64_t interval_index(std::int64_t t, std::int64_t length) {
  const std::int64_t quotient = t / length;
  return quotient - ((t % length) < 0 ? 1 : 0);
}

// Grows `rows` to hold `count` entries, the new ones value-initialised. A
// recording's grid spans its first to its last sample, so a clock far off
// could ask for more than the machine holds: a grid whose rows, at
// `row_cost` bytes each (the row and what its caller makes of it), would not
// fit is refused as soon as it is asked for.
// Errors: OutOfMemory "The recording's time span needs a grid larger than this machine's memory".
template <class Row>
Result<void> extend_grid(std::vector<Row>& rows, std::uint64_t count, std::size_t row_cost = sizeof(Row)) {
  if (count <= rows.size()) return {};
  if (count > memory_limit().bytes / row_cost) {
    return fail(
        CwaError::out_of_memory("The recording's time span needs a grid larger than this machine's memory"));
  }
  rows.resize(count);
  return {};
}

// Copies the rows of a later stretch of the same grid into place, its first
// row `offset` rows past the first of `rows`, the rows between
// value-initialised. Errors: those of extend_grid.
template <class Row>
Result<void> place_later_rows(std::vector<Row>& rows, std::uint64_t offset, const std::vector<Row>& later,
                              std::size_t row_cost = sizeof(Row)) {
  if (auto grown = extend_grid(rows, offset + later.size(), row_cost); !grown) return grown;
  std::copy(later.begin(), later.end(), rows.begin() + static_cast<std::ptrdiff_t>(offset));
  return {};
}

}  // namespace velnora
