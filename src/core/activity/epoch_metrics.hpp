#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "core/activity/epoch_samples.hpp"
#include "core/activity/gravity_calibration.hpp"
#include "core/activity/sample_feed.hpp"

namespace velnora {

// One epoch's metrics on calibrated values: the means of ENMO (g), of the
// deviation of the vector magnitude from its epoch mean (MAD, g) and of the
// z axis's angle to the horizontal plane (degrees). An epoch without
// samples keeps NaN metrics, so gaps show.
struct EpochRow {
  double enmo = std::numeric_limits<double>::quiet_NaN();
  double mad = std::numeric_limits<double>::quiet_NaN();
  double anglez = std::numeric_limits<double>::quiet_NaN();
  std::uint64_t samples = 0;
};

// Consecutive epochs from the first sample's to the last sample's, epochs
// aligned to multiples of their length.
struct EpochTable {
  std::int64_t first_start_us = 0;
  std::vector<EpochRow> rows;
};

// The longest epoch, so that an epoch's end stays far inside int64 microseconds.
inline constexpr std::int64_t max_epoch_us = std::int64_t{1} << 62;

// An epoch length given in seconds as whole microseconds: positive, at most
// max_epoch_us, and within a thousandth of a microsecond of the seconds.
// Errors: invalid_argument otherwise.
Result<std::int64_t> epoch_length_us(double seconds);

// Appends the epochs of a later stretch of the same recording, which begins
// after `earlier` ends, with empty epochs between. Errors: those of extend_grid.
Result<void> append_epochs(EpochTable& earlier, EpochTable&& later, std::int64_t epoch_us);

// Calibrates the samples and sums their metrics per epoch, in sample order
// and in float64, so the same samples give the same bits however they
// arrive; a run at a time, cut once at the ends of epochs (epoch_samples
// holds the per-sample stages). MAD needs the epoch's mean before the
// deviations: the epoch's magnitudes are kept until it closes.
class EpochMetrics {
 public:
  // `epoch_us` > 0. Allocates room for one epoch's magnitudes at the header's rate.
  EpochMetrics(std::int64_t epoch_us, const GravityCalibration& calibration, double header_rate_hz);

  // Errors: those of extend_grid. Allocates rows as time goes on, and more
  // room for magnitudes when an epoch holds more than the rate promises.
  Result<void> add(const SampleRun& run);
  // The table, the last epoch closed too. No errors.
  EpochTable finish() &&;

 private:
  Result<void> open_epoch(std::int64_t index);
  void close_epoch();

  std::int64_t epoch_us_;
  GravityCalibration calibration_;
  std::int64_t first_epoch_ = 0;
  std::int64_t open_epoch_ = 0;
  std::int64_t epoch_end_us_ = std::numeric_limits<std::int64_t>::min();
  CalibratedAxes axes_;  // the run being added
  MetricSums sums_;      // the open epoch's
  std::vector<double> magnitudes_;
  EpochTable table_;
};

}  // namespace velnora
