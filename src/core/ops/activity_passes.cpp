#include "core/ops/activity_passes.hpp"

#include <algorithm>
#include <memory>
#include <numeric>

#include "core/activity/lowpass.hpp"
#include "core/activity/median_angle.hpp"
#include "core/activity/split_feed.hpp"
#include "core/activity/still_windows.hpp"
#include "core/format/cwa_file.hpp"
#include "core/time/date_time.hpp"

namespace velnora {

namespace {

// The rate the metadata block promises, against which windows count as full.
Result<double> header_rate_hz(std::string_view path) {
  auto header = read_cwa_header(path);
  if (!header) return fail(std::move(header.error()));
  return header->sample_rate_hz;
}

constexpr std::int64_t window_us = StillWindowFinder::window_seconds * us_per_second;
// Half a non-wear block: the bound every non-wear window and block has.
constexpr std::int64_t stretch_us = NonwearDetector::block_seconds * us_per_second / 2;
// The sleep methods' z angle comes from the axes' medians over 5 s.
constexpr double median_window_s = 5.0;
// Split runs are not worth a seam further than this past the middle.
constexpr std::int64_t max_seam_interval_us = 6 * 3600 * us_per_second;

struct WindowSums {
  StillWindowFinder windows;
  Result<void> add(const SampleRun& run) {
    windows.add(run);
    return {};
  }
};

using MedianAngleStage = WindowedStage<RollingMedianPolicy, AngleEpochSums>;

// The epoch sums, on the samples as read or low-passed first; the non-wear
// sums; and, when asked for, the z angle of the axes' rolling medians.
struct EpochSums {
  std::optional<EpochMetrics> metrics;
  std::unique_ptr<LowpassStage<EpochMetrics>> lowpassed;
  NonwearDetector nonwear;
  bool with_nonwear;
  std::unique_ptr<MedianAngleStage> median_angle;

  Result<void> add(const SampleRun& run) {
    if (with_nonwear) {
      if (auto added = nonwear.add(run); !added) return added;
    }
    if (median_angle) {
      if (auto added = median_angle->add(run); !added) return added;
    }
    return lowpassed ? lowpassed->add(run) : metrics->add(run);
  }
  // Samples the other half sums, which the windows of this half's reach.
  Result<void> add_context(const SampleRun& run) {
    if (median_angle) {
      if (auto added = median_angle->add_context(run); !added) return added;
    }
    return lowpassed ? lowpassed->add_context(run) : Result<void>{};
  }

  // The epochs' table, what a low-pass still held passed on first.
  Result<EpochTable> finish_epochs() {
    if (!lowpassed) return std::move(*metrics).finish();
    if (auto flushed = lowpassed->finish(); !flushed) return fail(std::move(flushed.error()));
    return std::move(lowpassed->next()).finish();
  }
};

// A bound of every epoch and, with non-wear, of every 7.5-minute stretch;
// 0 (never split) when that lies too far apart.
std::int64_t seam_interval(std::int64_t epoch_us, bool with_nonwear) {
  if (!with_nonwear) return epoch_us <= max_seam_interval_us ? epoch_us : 0;
  const std::int64_t common = std::gcd(epoch_us, stretch_us);
  const std::int64_t factor = epoch_us / common;
  return factor <= max_seam_interval_us / stretch_us ? factor * stretch_us : 0;
}

}  // namespace

Result<CalibrationEstimate> estimate_gravity_calibration(std::string_view path, const ReadPlan& plan,
                                                         bool past_damage, DamagedBlocks& left_out) {
  auto header = read_cwa_header(path);
  if (!header) return fail(std::move(header.error()));
  const double rate = header->sample_rate_hz;
  auto fed = feed_in_halves<WindowSums>(path, plan, past_damage, left_out, window_us, 0,
                                        [&] { return WindowSums{StillWindowFinder(rate)}; });
  if (!fed) return fail(std::move(fed.error()));
  put_in_file_order(left_out);
  std::vector<StillWindow> still = std::move(fed->earlier.windows).finish();
  if (fed->later) {
    const std::vector<StillWindow> later = std::move(fed->later->windows).finish();
    still.insert(still.end(), later.begin(), later.end());
  }
  return fit_calibration(still, header->accel_range);
}

Result<EpochSummary> summarise_epochs(std::string_view path, const ReadPlan& plan, std::int64_t epoch_us,
                                      const GravityCalibration& calibration,
                                      const std::optional<NonwearRule>& nonwear,
                                      std::optional<double> lowpass_hz, bool anglez_median, bool past_damage,
                                      DamagedBlocks& left_out) {
  if (epoch_us <= 0 || epoch_us > max_epoch_us)
    return fail(CwaError::invalid_argument("epoch_us must be positive and at most 2**62"));
  const bool with_nonwear = nonwear.has_value();
  auto rate = header_rate_hz(path);
  if (!rate) return fail(std::move(rate.error()));
  std::optional<ZeroPhaseLowpass> lowpass;
  if (lowpass_hz) {
    auto designed = ZeroPhaseLowpass::design(*lowpass_hz, *rate);
    if (!designed) return fail(std::move(designed.error()));
    lowpass = std::move(*designed);
  }
  // A low-pass or a rolling median reaches across the seam: each half is fed that far past it.
  const std::size_t median = anglez_median ? median_reach(median_window_s, *rate) : 0;
  const std::size_t context = std::max(lowpass ? lowpass->reach() : 0, median);
  const auto make = [&] {
    EpochSums sums{std::nullopt, nullptr, NonwearDetector(*rate), with_nonwear, nullptr};
    EpochMetrics metrics(epoch_us, calibration, *rate);
    if (lowpass) {
      sums.lowpassed =
          std::make_unique<LowpassStage<EpochMetrics>>(LowpassPolicy(*lowpass), std::move(metrics));
    } else {
      sums.metrics.emplace(std::move(metrics));
    }
    if (anglez_median) {
      sums.median_angle = std::make_unique<MedianAngleStage>(RollingMedianPolicy(median),
                                                             AngleEpochSums(epoch_us, calibration));
    }
    return sums;
  };
  auto fed = feed_in_halves<EpochSums>(path, plan, past_damage, left_out,
                                       seam_interval(epoch_us, with_nonwear), context, make);
  if (!fed) return fail(std::move(fed.error()));
  put_in_file_order(left_out);
  EpochSums& sums = fed->earlier;
  const FeedOutcome& outcome = fed->outcome;
  auto table = sums.finish_epochs();
  if (!table) return fail(std::move(table.error()));
  EpochSummary summary{std::move(*table),
                       std::nullopt,
                       outcome,
                       timestamp_us_to_rfc3339(outcome.first_fed_us),
                       timestamp_us_to_rfc3339(outcome.last_fed_us),
                       std::nullopt};
  if (fed->later) {
    auto later = fed->later->finish_epochs();
    if (!later) return fail(std::move(later.error()));
    auto joined = append_epochs(summary.epochs, std::move(*later), epoch_us);
    if (!joined) return fail(std::move(joined.error()));
    if (auto appended = sums.nonwear.append(std::move(fed->later->nonwear)); !appended)
      return fail(std::move(appended.error()));
  }
  if (nonwear) summary.nonwear = sums.nonwear.finish(*nonwear);
  if (sums.median_angle) {
    if (auto flushed = sums.median_angle->finish(); !flushed) return fail(std::move(flushed.error()));
    AngleEpochSums& angles = sums.median_angle->next();
    if (fed->later) {
      MedianAngleStage& later = *fed->later->median_angle;
      if (auto flushed = later.finish(); !flushed) return fail(std::move(flushed.error()));
      if (auto appended = angles.append(std::move(later.next())); !appended)
        return fail(std::move(appended.error()));
    }
    summary.anglez_median =
        angles.means(summary.epochs.first_start_us / epoch_us, summary.epochs.rows.size());
  }
  return summary;
}

}  // namespace velnora
