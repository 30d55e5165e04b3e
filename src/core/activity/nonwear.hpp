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

// How non-wear is judged. A 60-minute window is still when at least
// `still_axes` axes have an SD under `still_sd_g` and a range under
// `still_range_g` in it. With whole windows, the windows start every 15
// minutes and a still one marks all four blocks it covers; centred (van
// Hees et al. 2013), block b is judged on the window centred on it alone.
// Re-scoring (rescore_nonwear) then turns short worn stretches between
// non-wear into non-wear.
struct NonwearRule {
  enum class Windows : std::uint8_t { whole, centred };
  Windows windows = Windows::whole;
  double still_sd_g = 0.013;
  double still_range_g = 0.050;
  int still_axes = 2;
  bool rescore = true;
};

// Non-wear on 60-minute windows of the readings (NonwearRule). A window
// with under half the samples the header's rate promises is not judged: it
// marks nothing, and a centred window's block counts as worn. The centred
// windows reach half a block beyond the neighbouring blocks, so the samples
// are summed per 7.5 minutes and a window merges eight of those sums, in
// time order: the same samples give the same bits however they arrive.
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
  // The verdicts under `rule`, re-scored when it says so. No errors;
  // allocates a few bytes per block.
  NonwearBlocks finish(const NonwearRule& rule) const;

  static constexpr std::int64_t block_seconds = 900;
  static constexpr std::int64_t window_seconds = 3600;
  static constexpr std::int64_t blocks_per_window = window_seconds / block_seconds;

 private:
  struct Stretch {
    std::uint64_t count = 0;
    LaneSums sums;  // the axes; lane 3 unused
  };
  static constexpr std::int64_t stretch_us = block_seconds * us_per_second / 2;

  // Whether the window of the eight stretches from `first` is still.
  bool still_window(std::int64_t first, const NonwearRule& rule) const;

  double min_window_samples_;
  std::int64_t first_stretch_ = 0;  // the index of stretches_[0] since the epoch
  std::vector<Stretch> stretches_;
  std::int64_t stretch_end_us_ = std::numeric_limits<std::int64_t>::min();
};

// Re-scoring after van Hees et al. 2011 (PLoS ONE 6:e22922), in three
// passes: a run of worn blocks between two runs of non-wear becomes non-wear
// when it is shorter than 6 hours and under 30 % of the non-wear of the two
// runs around it, or shorter than 3 hours and under 80 % of it. A worn run
// at either end of the recording has no non-wear on one side and stays.
// Each pass judges on the verdicts it started from. No errors; allocates the
// runs.
void rescore_nonwear(std::vector<std::uint8_t>& nonwear);

// The rule of one re-scoring: whether `worn_blocks` 15-minute blocks between
// `nonwear_blocks_around` of non-wear become non-wear.
bool rescored_as_nonwear(std::size_t worn_blocks, std::size_t nonwear_blocks_around);

}  // namespace velnora
