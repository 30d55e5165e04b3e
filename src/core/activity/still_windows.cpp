#include "core/activity/still_windows.hpp"

#include <cmath>

#include "core/activity/time_grid.hpp"

namespace velnora {

double AxisSums::sd(std::uint64_t count) const {
  const double n = static_cast<double>(count);
  return std::sqrt(std::max(squares - sum * sum / n, 0.0) / (n - 1.0));
}

void StillWindowFinder::add(const SampleRun& run) {
  constexpr std::int64_t window_us = window_seconds * us_per_second;
  for (std::size_t k = 0; k < run.timestamps.size(); ++k) {
    if (run.timestamps[k] >= window_end_us_) {
      close_window();
      window_end_us_ = (interval_index(run.timestamps[k], window_us) + 1) * window_us;
    }
    const SampleData& sample = run.samples[k];
    axes_[0].add(sample.acc_x);
    axes_[1].add(sample.acc_y);
    axes_[2].add(sample.acc_z);
    temperature_sum_ += run.temperature;
    ++count_;
  }
}

void StillWindowFinder::close_window() {
  const bool complete = count_ >= 2 && static_cast<double>(count_) >= min_samples_;
  const bool still = complete && axes_[0].sd(count_) < still_sd_g && axes_[1].sd(count_) < still_sd_g &&
                     axes_[2].sd(count_) < still_sd_g;
  if (still) {
    const double n = static_cast<double>(count_);
    still_.push_back({{axes_[0].sum / n, axes_[1].sum / n, axes_[2].sum / n}, temperature_sum_ / n});
  }
  count_ = 0;
  axes_ = {};
  temperature_sum_ = 0.0;
}

std::vector<StillWindow> StillWindowFinder::finish() && {
  close_window();
  return std::move(still_);
}

}  // namespace velnora
