#include "core/activity/still_windows.hpp"

#include "core/activity/time_grid.hpp"

namespace velnora {

void StillWindowFinder::add(const SampleRun& run) {
  constexpr std::int64_t window_us = window_seconds * us_per_second;
  const auto open = [&](std::int64_t) -> Result<void> {
    close_window();
    return {};
  };
  const auto piece = [&](std::size_t from, std::size_t to) {
    add_to_lanes<Extremes::skipped>(run.acceleration.subspan(from, to - from), run.temperature, sums_);
    count_ += to - from;
  };
  // Opening a window cannot fail.
  static_cast<void>(for_each_interval_piece(run.times, window_us, window_end_us_, open, piece));
}

void StillWindowFinder::close_window() {
  const bool complete = count_ >= 2 && static_cast<double>(count_) >= min_samples_;
  const bool still = complete && sums_.sd(0, count_) < still_sd_g && sums_.sd(1, count_) < still_sd_g &&
                     sums_.sd(2, count_) < still_sd_g;
  if (still) {
    const double n = static_cast<double>(count_);
    still_.push_back({{sums_.sum[0] / n, sums_.sum[1] / n, sums_.sum[2] / n}, sums_.sum[3] / n});
  }
  count_ = 0;
  sums_ = {};
}

std::vector<StillWindow> StillWindowFinder::finish() && {
  close_window();
  return std::move(still_);
}

}  // namespace velnora
