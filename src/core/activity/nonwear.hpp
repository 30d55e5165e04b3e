#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "core/activity/axis_sums.hpp"
#include "core/activity/sample_feed.hpp"
#include "core/activity/still_windows.hpp"

namespace velnora {

// The verdicts on the 15-minute blocks from the first sample's to the last
// sample's, blocks aligned to multiples of 15 minutes.
struct NonwearBlocks {
  std::int64_t first_start_us = 0;
  std::vector<std::uint8_t> nonwear;  // 1: not worn
};

// Non-wear after van Hees et al. 2013: block b is judged on the 60 minutes
// centred on it, 22.5 minutes either side; an axis is still there when its
// SD is under 13 mg and its range under 50 mg, and the block is not worn
// when two axes or three are still. A window with under half the samples
// the header's rate promises is not judged: its block counts as worn. The
// windows overlap by halves of blocks, so the samples are summed per 7.5
// minutes and a window merges eight of those sums, in time order: the same
// samples give the same bits however they arrive.
class NonwearDetector {
 public:
  explicit NonwearDetector(double header_rate_hz)
      : min_window_samples_(0.5 * static_cast<double>(window_seconds) * header_rate_hz) {}

  // Errors: those of extend_grid. Allocates the 7.5-minute sums as time goes on.
  Result<void> add(const SampleRun& run);
  // Takes over the sums of a later stretch of the same recording, which
  // begins on a 7.5-minute bound after this one's last sample. Errors: those
  // of extend_grid.
  Result<void> append(NonwearDetector&& later);
  // The verdicts. No errors; allocates one byte per block.
  NonwearBlocks finish() const;

  static constexpr std::int64_t block_seconds = 900;
  static constexpr std::int64_t window_seconds = 3600;

 private:
  struct Stretch {
    std::uint64_t count = 0;
    LaneSums sums;  // the axes; lane 3 unused
  };
  static constexpr std::int64_t stretch_us = block_seconds * us_per_second / 2;

  bool not_worn(std::int64_t block) const;

  double min_window_samples_;
  std::int64_t first_stretch_ = 0;  // the index of stretches_[0] since the epoch
  std::vector<Stretch> stretches_;
  std::int64_t stretch_end_us_ = std::numeric_limits<std::int64_t>::min();
};

}  // namespace velnora
