#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/activity/epoch_metrics.hpp"
#include "core/activity/gravity_calibration.hpp"
#include "core/activity/nonwear.hpp"
#include "core/activity/sample_feed.hpp"
#include "core/base/cwa_error.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/read_plan.hpp"

namespace velnora {

// One pass over the samples a plan selects: the still 10 s windows, then
// the fit of the gravity calibration to them. Blocks whose time is out of
// place are left out into `left_out` (feed_samples), and with `past_damage`
// damaged blocks too. Errors: those of read_cwa_header, of reading
// (PlacedBlockStream), "No valid sample data found in the specified range"
// and those of the fit. Allocates a place per still window.
Result<CalibrationEstimate> estimate_gravity_calibration(std::string_view path, const ReadPlan& plan,
                                                         bool past_damage, DamagedBlocks& left_out);

// The epochs of a recording and, when asked for, its non-wear blocks, with
// what the pass fed and left out (samples timed before an earlier one).
struct EpochSummary {
  EpochTable epochs;
  std::optional<NonwearBlocks> nonwear;
  FeedOutcome fed;
  // The first and last sample fed as RFC 3339 text, as the sampling report gives times.
  std::optional<std::string> first_sample;
  std::optional<std::string> last_sample;
  // Per epoch, the mean z angle (degrees) of the axes' rolling medians over 5 s, when asked for.
  std::optional<std::vector<double>> anglez_median;
};

// One pass over the samples a plan selects: epochs of `epoch_us` (> 0) on
// values calibrated by `calibration`, and, with a `nonwear` rule, non-wear
// on the readings as they are, which it judges on spreads of tens of mg that
// a calibration barely changes; with `lowpass_hz`, the metrics on axes
// low-passed first (ZeroPhaseLowpass), on one thread; with `anglez_median`,
// also the z angle of the axes' rolling medians over 5 s (the sleep
// methods'), on one thread; `past_damage` and
// `left_out` as estimate_gravity_calibration's.
// Errors: those of read_cwa_header, of ZeroPhaseLowpass::design, of
// reading, "No valid sample data found in the specified range" and those of
// the grids. Allocates the rows and one
// epoch's magnitudes; nothing per sample.
Result<EpochSummary> summarise_epochs(std::string_view path, const ReadPlan& plan, std::int64_t epoch_us,
                                      const GravityCalibration& calibration,
                                      const std::optional<NonwearRule>& nonwear,
                                      std::optional<double> lowpass_hz, bool anglez_median, bool past_damage,
                                      DamagedBlocks& left_out);

}  // namespace velnora
