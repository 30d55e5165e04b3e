#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/activity/gravity_calibration.hpp"
#include "core/activity/sample_feed.hpp"
#include "core/activity/window_median.hpp"
#include "core/activity/windowed_stage.hpp"
#include "core/base/cwa_error.hpp"

namespace velnora {

// The policy of a WindowedStage that puts out each axis's median over the
// window centred on the sample: `reach` samples either side, fewer at a
// stretch's ends, where a window of an even count takes the mean of its two
// middle values. Each axis's window is counted on the readings' grid
// (CountedWindow); a value off it (which the decoder never makes) turns that
// axis to the sorted form until the stretch ends. Both give the same bits.
class RollingMedianPolicy {
 public:
  // Allocates room for the window's values and reserves the counts' address space.
  explicit RollingMedianPolicy(std::size_t reach);

  std::size_t reach() const { return reach_; }
  void enter(const Axes& sample);
  void leave(const Axes& sample);
  void clear();
  Axes value(const SampleWindow&) const;
  void slide(const SlidingWindows& windows, std::span<Axes> values);

 private:
  struct AxisWindow {
    std::optional<CountedWindow> counted;
    SortedWindow sorted;
    bool counting;  // whether `counted` holds the window, else `sorted`

    // Moves the counted values to the sorted form.
    void sort();
  };

  std::size_t reach_;
  std::array<AxisWindow, 3> axes_;
};

// The samples of a window of `seconds` at the header's rate either side of
// the centre: half the window, rounded down, so that a window of 5 s at
// 100 Hz holds 501.
std::size_t median_reach(double window_seconds, double header_rate_hz);

// Sums per epoch the z angle (degrees) of the samples it is given (the axes'
// rolling medians), calibrated as the epoch metrics calibrate, in sample
// order and in float64. The samples must come in time order.
class AngleEpochSums {
 public:
  AngleEpochSums(std::int64_t epoch_us, const GravityCalibration& calibration)
      : epoch_us_(epoch_us), calibration_(calibration) {}

  // Errors: those of extend_grid. Allocates the epochs' sums as time goes on.
  Result<void> add(const SampleRun& run);
  // Takes over the sums of a later stretch of the same recording, which
  // begins on an epoch bound after this one's last sample. Errors: those of extend_grid.
  Result<void> append(AngleEpochSums&& later);
  // The mean angle of each epoch from `first_epoch` (an index since the
  // epoch), `count` of them; NaN where no sample fell. No errors.
  std::vector<double> means(std::int64_t first_epoch, std::size_t count) const;

 private:
  struct Sum {
    double angle = 0.0;  // radians
    std::uint64_t samples = 0;
  };
  std::int64_t epoch_us_;
  GravityCalibration calibration_;
  std::int64_t first_epoch_ = 0;
  std::int64_t epoch_end_us_ = std::numeric_limits<std::int64_t>::min();
  std::size_t row_ = 0;  // the epoch of the last sample
  std::vector<Sum> sums_;
};

}  // namespace velnora
