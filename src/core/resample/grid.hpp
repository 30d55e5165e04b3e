#pragma once

#include <cstdint>
#include <span>

#include "core/base/cwa_error.hpp"
#include "core/format/channels.hpp"
#include "core/io/memory_limit.hpp"

// The resampling grid as numbers: where its points lie, how many fall before
// a time, and what they cost in memory.

namespace velnora {

// The time in seconds of grid point k, for a step and an origin in
// milliseconds. Each time from k directly: adding a step to the previous time
// would let rounding errors accumulate along a week of grid points. Forced
// inline, as the emission loop is compiled once per quad form and the AVX2
// form must carry its own copy.
[[gnu::always_inline]] inline double grid_time(std::uint64_t k, double step_ms, double origin_ms) {
  // Through int64, which converts in one instruction: k stays far below 2^63,
  // as a grid that large is refused for memory long before.
  return (static_cast<double>(static_cast<std::int64_t>(k)) * step_ms + origin_ms) / 1000.0;
}

// The number of grid points no later than t: the k from 0 up whose
// grid_time(k) <= t, none when point 0 is later or t is NaN.
std::uint64_t points_through(double t, double step_ms, double origin_ms);

// The fewest points of `point_bytes` each whose bytes exceed `limit`,
// compared in float64 as a grid's size is checked.
std::uint64_t unaffordable_points(std::uint64_t limit, std::uint64_t point_bytes);

// Bytes per grid point in the output: a timestamp and each included channel.
std::uint64_t point_bytes(IncludeFlags include);

// The latest of a block's timestamps, which need not be in order in a
// hostile file. `timestamps` must not be empty.
std::int64_t latest_timestamp(std::span<const std::int64_t> timestamps);

// The OutOfMemory error of a grid of `points` needing `bytes`, past `limit`.
std::unexpected<CwaError> grid_too_large(std::uint64_t points, double bytes, const MemoryLimit& limit);

}  // namespace velnora
