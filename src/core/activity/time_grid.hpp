#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
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

// Cuts a run of sample times (µs, non-decreasing, as the feed gives them:
// a RunTimes or a span) at the ends of intervals of `length` aligned to
// multiples of it, so that a consumer handles each interval's share of a run
// at once rather than testing every sample. `end_us` is the end of the
// interval the consumer has open (INT64_MIN: none); where a piece starts at
// or past it, `open(index) -> Result<void>` is called with the new
// interval's index and `end_us` moves to that interval's end. Then
// `piece(from, to)` takes samples [from, to), which all lie in the open
// interval; a piece that ends inside the run is found by bisection. Errors:
// those of `open`.
template <class Times, class Open, class Piece>
Result<void> for_each_interval_piece(const Times& times, std::int64_t length, std::int64_t& end_us,
                                     Open&& open, Piece&& piece) {
  const std::size_t size = times.size();
  std::size_t from = 0;
  while (from < size) {
    if (times[from] >= end_us) {
      const std::int64_t index = interval_index(times[from], length);
      if (auto opened = open(index); !opened) return opened;
      end_us = (index + 1) * length;
    }
    std::size_t to = size;
    if (times.back() >= end_us) {
      // times[before] < end_us <= times[to].
      std::size_t before = from;
      to = size - 1;
      while (to - before > 1) {
        const std::size_t middle = before + (to - before) / 2;
        (times[middle] < end_us ? before : to) = middle;
      }
    }
    piece(from, to);
    from = to;
  }
  return {};
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
