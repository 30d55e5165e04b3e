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
// recording's grid spans its first to its last sample, so one far-off block
// time could ask for more than the machine holds: such a grid is refused.
// Errors: "The recording spans too long a time for its grid".
template <class Row>
Result<void> extend_grid(std::vector<Row>& rows, std::uint64_t count) {
  if (count <= rows.size()) return {};
  if (count > memory_limit().bytes / sizeof(Row))
    return fail("The recording spans too long a time for its grid");
  rows.resize(count);
  return {};
}

}  // namespace velnora
