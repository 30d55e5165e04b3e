#include "core/ops/activity_passes.hpp"

#include "core/activity/sample_feed.hpp"
#include "core/activity/still_windows.hpp"
#include "core/format/cwa_file.hpp"

namespace velnora {

namespace {

// The rate the metadata block promises, against which windows count as full.
Result<double> header_rate_hz(std::string_view path) {
  auto header = read_cwa_header(path);
  if (!header) return fail(std::move(header.error()));
  return header->sample_rate_hz;
}

}  // namespace

Result<CalibrationEstimate> estimate_gravity_calibration(std::string_view path, const ReadPlan& plan,
                                                         DamagedBlocks* damaged) {
  auto rate = header_rate_hz(path);
  if (!rate) return fail(std::move(rate.error()));
  StillWindowFinder windows(*rate);
  auto fed = feed_samples(path, plan, damaged, [&](const SampleRun& run) -> Result<void> {
    windows.add(run);
    return {};
  });
  if (!fed) return fail(std::move(fed.error()));
  const std::vector<StillWindow> still = std::move(windows).finish();
  return fit_calibration(still);
}

Result<EpochSummary> summarise_epochs(std::string_view path, const ReadPlan& plan, std::int64_t epoch_us,
                                      const GravityCalibration& calibration, bool with_nonwear,
                                      DamagedBlocks* damaged) {
  auto rate = header_rate_hz(path);
  if (!rate) return fail(std::move(rate.error()));
  EpochMetrics epochs(epoch_us, calibration, *rate);
  NonwearDetector nonwear(*rate);
  auto fed = feed_samples(path, plan, damaged, [&](const SampleRun& run) -> Result<void> {
    if (with_nonwear) {
      if (auto added = nonwear.add(run); !added) return added;
    }
    return epochs.add(run);
  });
  if (!fed) return fail(std::move(fed.error()));
  EpochSummary summary{std::move(epochs).finish(), std::nullopt, *fed};
  if (with_nonwear) summary.nonwear = nonwear.finish();
  return summary;
}

}  // namespace velnora
