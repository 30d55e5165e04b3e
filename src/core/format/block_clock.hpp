#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/base/wide_vectors.hpp"
#include "core/format/data_block.hpp"

namespace velnora {

// Where a data block's samples lie, in seconds since the epoch.
struct BlockTiming {
  double start;  // the first sample, after the continuity correction
  double end;    // the natural end: one nominal period after the last sample
  std::uint64_t sample_count;

  // The samples' timestamps in whole microseconds, spread evenly over
  // [start, end); `out` must hold sample_count. No errors, no allocation.
  // Takes 256-bit vectors where the processor has AVX2.
  void sample_timestamps(std::span<std::int64_t> out) const;
  // The two ways sample_timestamps works, with the same results: one sample
  // at a time (from sample `from` on), and, on x86-64 processors with AVX2
  // only, four.
  void sample_timestamps_one_by_one(std::span<std::int64_t> out, std::size_t from = 0) const;
#if defined(VELNORA_WIDE_VECTORS)
  void sample_timestamps_in_vectors(std::span<std::int64_t> out) const;
#endif
  // Sample i's timestamp alone, as sample_timestamps gives it. Where the span
  // end − start is not negative, the timestamps never decrease with i: each
  // step of their arithmetic is correctly rounded, and so keeps the order of
  // its operand. No errors, no allocation.
  std::int64_t sample_timestamp(std::size_t i) const;
  // The last sample's time in whole microseconds as the sampling report takes
  // it, which may differ by one from the last of sample_timestamps.
  std::int64_t report_last_sample_us() const;
};

// Start of the first sample and one nominal period after the last, in seconds
// since the epoch, from the block's own header. No errors, no allocation.
BlockTiming natural_timing(const CwaDataBlock& block);

// Times consecutive data blocks in file order. A device's clock stamps whole
// seconds and drifts, so consecutive blocks overlap or leave small gaps; the
// continuity correction closes gaps under one second (and overlaps) by starting
// a block where the one before it naturally ended. A gap of a second or more is
// a real pause in the recording and keeps the natural start, and so does a NaN
// difference. Every reader of the blocks, the span scan and the report time them
// with this one clock, so they all agree on every block's start.
class BlockClock {
 public:
  // `previous_end` is the natural end of the data block before the first one
  // to be timed, if there is one.
  explicit BlockClock(std::optional<double> previous_end = std::nullopt) : previous_end_(previous_end) {}

  // The next block's timing; its natural end becomes the state for the block
  // after it, so a correction never carries over. No errors, no allocation.
  BlockTiming next(const CwaDataBlock& block) { return next(natural_timing(block)); }
  // The same from the block's natural timing.
  BlockTiming next(BlockTiming natural);

 private:
  std::optional<double> previous_end_;
};

// A block's clock may put it anywhere: one bit of a time stamp moves it by
// years. Its time is out of place when the data blocks around it agree with
// each other and leave room for it where its clock does not put it. The
// tolerance is the clock's own: a step under a second between blocks is a
// device clock's jitter, which the continuity correction closes; and a block
// must lie more than its own duration beyond that from its place, so that a
// block merely squeezed against its neighbours is never judged. On natural
// timings. No errors, no allocation.
inline constexpr double place_tolerance_s = 1.0;

// `block` between `before` and `after`: they leave its duration between them,
// give or take the tolerance, and it starts elsewhere.
bool out_of_place_between(const BlockTiming& before, const BlockTiming& block, const BlockTiming& after);
// `block` with nothing before it: the two blocks after it follow each other,
// and it does not end where the first of them starts.
bool out_of_place_first(const BlockTiming& block, const BlockTiming& next, const BlockTiming& after_next);
// `block` with nothing after it: the two blocks before it follow each other,
// and it does not start where the later of them ends.
bool out_of_place_last(const BlockTiming& before_previous, const BlockTiming& previous,
                       const BlockTiming& block);

}  // namespace velnora
