#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/activity/epoch_metrics.hpp"
#include "core/activity/gravity_calibration.hpp"
#include "core/activity/nonwear.hpp"
#include "core/base/cwa_error.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/read_plan.hpp"

namespace velnora {

// One pass over the samples a plan selects: the still 10 s windows, then
// the fit of the gravity calibration to them. With `damaged`, read past
// damage into it. Errors: those of read_cwa_header, of reading
// (DecodedBlockStream) and of the fit. Allocates a place per still window.
Result<CalibrationEstimate> estimate_gravity_calibration(std::string_view path, const ReadPlan& plan,
                                                         DamagedBlocks* damaged = nullptr);

// The epochs of a recording and, when asked for, its non-wear blocks.
struct EpochSummary {
  EpochTable epochs;
  std::optional<NonwearBlocks> nonwear;
  std::uint64_t samples_out_of_order;  // timed before an earlier sample, left out
};

// One pass over the samples a plan selects: epochs of `epoch_us` (> 0) on
// values calibrated by `calibration`, and non-wear on the readings as they
// are, which it judges on spreads of tens of mg that a calibration barely
// changes. Errors: those of read_cwa_header, of reading and of the grids.
// Allocates the rows and one epoch's magnitudes; nothing per sample.
Result<EpochSummary> summarise_epochs(std::string_view path, const ReadPlan& plan, std::int64_t epoch_us,
                                      const GravityCalibration& calibration, bool with_nonwear,
                                      DamagedBlocks* damaged = nullptr);

}  // namespace velnora
