#pragma once

#include <cstdint>
#include <vector>

#include "core/activity/axis_sums.hpp"
#include "core/activity/gravity_calibration.hpp"
#include "core/activity/sample_feed.hpp"

namespace velnora {

// The standard deviation (g) under which an axis counts as still, both for
// the calibration's windows and for non-wear.
inline constexpr double still_sd_g = 0.013;

// Cuts the samples into 10 s windows aligned to multiples of 10 s and keeps
// the means of those in which the device lay still: windows holding at
// least 80 % of the samples the header's rate promises whose three axes each
// have an SD under 13 mg. Fed a run at a time, so a window may span any
// number of blocks; the sums run in sample order.
class StillWindowFinder {
 public:
  explicit StillWindowFinder(double header_rate_hz) : min_samples_(0.8 * window_seconds * header_rate_hz) {}

  // No errors; allocates a place for each still window.
  void add(const SampleRun& run);
  // The still windows in time order, the last window closed too.
  std::vector<StillWindow> finish() &&;

  static constexpr std::int64_t window_seconds = 10;

 private:
  void close_window();

  double min_samples_;
  std::int64_t window_end_us_ = INT64_MIN;
  std::uint64_t count_ = 0;
  LaneSums sums_;  // the axes, and the temperature in lane 3
  std::vector<StillWindow> still_;
};

}  // namespace velnora
