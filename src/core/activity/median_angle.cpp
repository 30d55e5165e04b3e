#include "core/activity/median_angle.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "core/activity/elevation.hpp"
#include "core/activity/time_grid.hpp"

namespace velnora {

RollingMedianPolicy::RollingMedianPolicy(std::size_t reach) : reach_(reach) {
  for (auto& values : sorted_) values.reserve(2 * reach + 1);
}

void RollingMedianPolicy::enter(const Axes& sample) {
  for (std::size_t a = 0; a < 3; ++a) {
    std::vector<float>& values = sorted_[a];
    values.insert(std::upper_bound(values.begin(), values.end(), sample[a]), sample[a]);
  }
}

void RollingMedianPolicy::leave(const Axes& sample) {
  for (std::size_t a = 0; a < 3; ++a) {
    std::vector<float>& values = sorted_[a];
    values.erase(std::lower_bound(values.begin(), values.end(), sample[a]));
  }
}

void RollingMedianPolicy::replace(const Axes& leaving, const Axes& entering) {
  for (std::size_t a = 0; a < 3; ++a) {
    std::vector<float>& values = sorted_[a];
    const float old = leaving[a];
    const float value = entering[a];
    auto at = std::lower_bound(values.begin(), values.end(), old);
    // Slide the values ranked between the two over the leaving one's place.
    if (value > old) {
      const auto end = std::upper_bound(at + 1, values.end(), value);
      std::move(at + 1, end, at);
      *(end - 1) = value;
    } else {
      const auto begin = std::upper_bound(values.begin(), at, value);
      std::move_backward(begin, at, at + 1);
      *begin = value;
    }
  }
}

void RollingMedianPolicy::clear() {
  for (auto& values : sorted_) values.clear();
}

Axes RollingMedianPolicy::value(const SampleWindow&) const {
  Axes medians{};
  for (std::size_t a = 0; a < 3; ++a) {
    const std::vector<float>& values = sorted_[a];
    const std::size_t n = values.size();
    medians[a] = n % 2 == 1
                     ? values[n / 2]
                     : static_cast<float>((static_cast<double>(values[n / 2 - 1]) + values[n / 2]) / 2.0);
  }
  return medians;
}

std::size_t median_reach(double window_seconds, double header_rate_hz) {
  return static_cast<std::size_t>(std::max(window_seconds * header_rate_hz, 0.0) / 2.0);
}

Result<void> AngleEpochSums::add(const SampleRun& run) {
  const AxisValues added = calibration_.block_offset(run.temperature);
  const AxisValues& scale = calibration_.scale;
  const AccelerationSpans& acc = run.acceleration;
  for (std::size_t k = 0; k < run.times.size(); ++k) {
    const std::int64_t epoch = interval_index(run.times[k], epoch_us_);
    if (sums_.empty()) first_epoch_ = epoch;
    const auto row = static_cast<std::uint64_t>(epoch - first_epoch_);
    if (row >= sums_.size()) {
      if (auto grown = extend_grid(sums_, row + 1); !grown) return grown;
    }
    const double x = added[0] + scale[0] * acc.x[k];
    const double y = added[1] + scale[1] * acc.y[k];
    const double z = added[2] + scale[2] * acc.z[k];
    sums_[row].angle += elevation(z, std::sqrt(x * x + y * y));
    ++sums_[row].samples;
  }
  return {};
}

std::vector<double> AngleEpochSums::means(std::int64_t first_epoch, std::size_t count) const {
  std::vector<double> means(count, std::numeric_limits<double>::quiet_NaN());
  for (std::size_t row = 0; row < sums_.size(); ++row) {
    const std::int64_t at = first_epoch_ + static_cast<std::int64_t>(row) - first_epoch;
    if (sums_[row].samples == 0 || at < 0 || at >= static_cast<std::int64_t>(count)) continue;
    means[static_cast<std::size_t>(at)] =
        sums_[row].angle / static_cast<double>(sums_[row].samples) * (180.0 / std::numbers::pi);
  }
  return means;
}

}  // namespace velnora
