#include "core/resample/grid.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace velnora {

// The division puts the estimate within a point or two; the grid's own times
// settle it, so the count is that of the points the grid would produce.
std::uint64_t points_through(double t, double step_ms, double origin_ms) {
  if (!(grid_time(0, step_ms, origin_ms) <= t)) return 0;
  const double estimate = std::floor((t * 1000.0 - origin_ms) / step_ms);
  std::uint64_t k = estimate > 0.0 ? static_cast<std::uint64_t>(std::min(estimate, 0x1p62)) : 0;
  while (k > 0 && !(grid_time(k, step_ms, origin_ms) <= t)) --k;
  while (grid_time(k + 1, step_ms, origin_ms) <= t) ++k;
  return k + 1;
}

// The integer quotient is within a few points of the answer.
std::uint64_t unaffordable_points(std::uint64_t limit, std::uint64_t point_bytes) {
  const auto exceeds = [&](std::uint64_t points) {
    return static_cast<double>(points) * static_cast<double>(point_bytes) > static_cast<double>(limit);
  };
  std::uint64_t points = limit / point_bytes + 1;
  while (!exceeds(points)) ++points;
  while (points > 1 && exceeds(points - 1)) --points;
  return points;
}

std::uint64_t point_bytes(IncludeFlags include) {
  std::uint64_t bytes = sizeof(std::int64_t);
  for (const Channel& channel : channels) {
    if (is_included(channel, include)) bytes += sizeof(float);
  }
  return bytes;
}

// In four chains, as one chain of maxima would wait on itself.
std::int64_t latest_timestamp(std::span<const std::int64_t> timestamps) {
  std::array<std::int64_t, 4> chains;
  chains.fill(std::numeric_limits<std::int64_t>::min());
  std::size_t i = 0;
  for (; i + 4 <= timestamps.size(); i += 4) {
    for (std::size_t c = 0; c < 4; ++c) chains[c] = std::max(chains[c], timestamps[i + c]);
  }
  for (; i < timestamps.size(); ++i) chains[0] = std::max(chains[0], timestamps[i]);
  return std::ranges::max(chains);
}

namespace {

// "3.5 GiB", or MiB below one GiB.
std::string binary_size(double bytes) {
  const bool gib = bytes >= 0x1p30;
  char digits[64];
  const auto written = std::to_chars(digits, digits + sizeof digits, bytes / (gib ? 0x1p30 : 0x1p20),
                                     std::chars_format::fixed, 1);
  return std::string(digits, written.ptr) + (gib ? " GiB" : " MiB");
}

}  // namespace

[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> grid_too_large(std::uint64_t points, double bytes,
                                                                      const MemoryLimit& limit) {
  std::string text = "Resampling needs " + std::to_string(points) + " points (" + binary_size(bytes) + "), ";
  text += limit.address_space ? "more than this process's address-space limit leaves free ("
                              : "more than this machine's memory (";
  text += binary_size(static_cast<double>(limit.bytes)) + ")";
  return fail(CwaError::out_of_memory(std::move(text)));
}

}  // namespace velnora
