#include "core/format/block_clock.hpp"

#include <cmath>

#include "core/base/numeric.hpp"

namespace velnora {

namespace {

// 3200 Hz halved (15 - nibble) times. Dividing by a power of two is exact, so
// this is the nominal rate itself, a float for every code.
float nominal_rate(std::uint8_t rate_code) {
  return 3200.0f / static_cast<float>(1u << (15 - (rate_code & 0x0F)));
}

}  // namespace

// Sample timestamps are truncated to whole microseconds, so the last bit of
// these doubles shows in the output: the precision of every step (float for the
// offset and the duration, double for the sums) and the order of the additions
// are part of the result. The build passes -ffp-contract=off (g++ fuses
// multiply-adds by default even in ISO C++ mode) and never -ffast-math, so
// nothing here is fused or reassociated.
BlockTiming natural_timing(const CwaDataBlock& block) {
  const float rate = nominal_rate(block.rate_code);
  // A positive offset places the first sample before the stamped second.
  const float offset_s = -static_cast<float>(block.timestampOffset) / rate;
  const float whole = std::floor(offset_s);
  const float fraction = offset_s - whole;
  const double start = (static_cast<double>(whole) + static_cast<double>(block.stamped_second)) +
                       static_cast<double>(fraction);
  const float duration = static_cast<float>(block.sample_count) / rate;
  return {start, start + static_cast<double>(duration), block.sample_count};
}

BlockTiming BlockClock::next(const CwaDataBlock& block) {
  BlockTiming timing = natural_timing(block);
  if (previous_end_ && timing.start - *previous_end_ < 1.0) timing.start = *previous_end_;
  previous_end_ = timing.end;
  return timing;
}

void BlockTiming::sample_timestamps(std::span<std::int64_t> out) const {
  // The span uses the natural end, so a corrected block is stretched or
  // squeezed to join its predecessor without a gap or an overlap.
  const double span = end - start;
  const auto count = static_cast<double>(sample_count);
  for (std::size_t i = 0; i < sample_count; ++i) {
    // Order fixed: the timestamps must agree to the microsecond with every
    // other reader of the same block.
    out[i] = truncated_us((static_cast<double>(i) * span) / count + start);
  }
}

std::int64_t BlockTiming::report_last_sample_us() const {
  // The report divides the span first, then scales by n - 1 and offsets by
  // start: its own order, kept because a different one can move the last bit
  // and, after truncation, the reported time by a microsecond.
  const double step = (end - start) / static_cast<double>(sample_count);
  return truncated_us(static_cast<double>(sample_count - 1) * step + start);
}

}  // namespace velnora
