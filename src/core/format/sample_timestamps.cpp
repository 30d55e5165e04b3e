#include "core/format/sample_timestamps.hpp"

#include "core/base/numeric.hpp"
#include "core/format/continuity.hpp"
#include "core/format/data_block.hpp"
#include "core/time/packed_datetime.hpp"

namespace velnora {

Result<double> calculate_sample_timestamps_with_prev_end(const CwaDataBlock& block, std::size_t sample_count,
                                                         std::optional<double> prev_end,
                                                         std::span<std::int64_t> out) {
  if (sample_count == 0) return prev_end.value_or(0.0);
  if (!cwa_timestamp(block.timestamp)) return fail("Invalid block timestamp");
  const PacketMeta meta{sample_count, block.timestamp, block.timestampOffset, block.rate_code};
  auto [start, end] = meta.natural_bounds();
  if (prev_end) start = continuous_start(start, *prev_end);
  // The span uses the natural end, so a corrected block is stretched or
  // squeezed to join its predecessor without a gap or an overlap.
  const double span = end - start;
  const auto count = static_cast<double>(sample_count);
  for (std::size_t i = 0; i < sample_count; ++i) {
    // Order fixed: the timestamps must agree to the microsecond with every
    // other reader of the same block.
    out[i] = truncate_to_i64(((static_cast<double>(i) * span) / count + start) * 1000000.0);
  }
  return end;
}

}  // namespace velnora
