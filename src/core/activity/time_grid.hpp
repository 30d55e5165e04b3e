#pragma once

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

}  // namespace velnora
