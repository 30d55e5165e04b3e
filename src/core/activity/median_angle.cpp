#include "core/activity/median_angle.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>

#include "core/activity/elevation.hpp"
#include "core/activity/time_grid.hpp"

namespace velnora {

RollingMedianPolicy::RollingMedianPolicy(std::size_t reach)
    : reach_(reach),
      axes_{AxisWindow{CountedWindow::reserve(2 * reach + 1), SortedWindow(2 * reach + 1), false},
            AxisWindow{CountedWindow::reserve(2 * reach + 1), SortedWindow(2 * reach + 1), false},
            AxisWindow{CountedWindow::reserve(2 * reach + 1), SortedWindow(2 * reach + 1), false}} {
  clear();
}

void RollingMedianPolicy::AxisWindow::sort() {
  counted->drain_into(sorted);
  counting = false;
}

void RollingMedianPolicy::enter(const Axes& sample) {
  for (std::size_t a = 0; a < 3; ++a) {
    AxisWindow& axis = axes_[a];
    const CountedWindow::Key key = CountedWindow::key_of(sample[a]);
    if (axis.counting && key.on_grid) {
      axis.counted->push(key.key);
    } else {
      if (axis.counting) axis.sort();
      axis.sorted.insert(sample[a]);
    }
  }
}

void RollingMedianPolicy::leave(const Axes& sample) {
  for (std::size_t a = 0; a < 3; ++a) {
    AxisWindow& axis = axes_[a];
    if (axis.counting) {
      axis.counted->pop();
    } else {
      axis.sorted.erase(sample[a]);
    }
  }
}

void RollingMedianPolicy::clear() {
  for (AxisWindow& axis : axes_) {
    if (axis.counted) axis.counted->clear();
    axis.sorted.clear();
    axis.counting = axis.counted.has_value();
  }
}

Axes RollingMedianPolicy::value(const SampleWindow&) const {
  Axes medians{};
  for (std::size_t a = 0; a < 3; ++a) {
    medians[a] = axes_[a].counting ? axes_[a].counted->median() : axes_[a].sorted.median();
  }
  return medians;
}

void RollingMedianPolicy::slide(const SlidingWindows& windows, std::span<Axes> values) {
  constexpr std::size_t chunk = 64;
  for (std::size_t from = 0; from < windows.count(); from += chunk) {
    const std::size_t n = std::min(chunk, windows.count() - from);
    // The entering samples' keys, read in place from the ring (a copy's
    // narrow stores would stall the wide loads) in a loop free of branches.
    std::array<AxisKeys, chunk> keys;
    CountedWindow::Keys made{true, 0};
    for (std::size_t done = 0; done < n;) {
      const std::span<const Axes> row = windows.entering_row(from + done, n - done);
      const CountedWindow::Keys row_made =
          CountedWindow::keys_of(row, std::span(keys).subspan(done, row.size()));
      made = {made.on_grid && row_made.on_grid, made.bits | row_made.bits};
      done += row.size();
    }
    for (std::size_t a = 0; a < 3; ++a) {
      // The first value off the grid, where the axis turns to the sorted form.
      std::size_t on_grid = n;
      if (!made.on_grid) {
        on_grid = 0;
        while (on_grid < n && CountedWindow::key_of(windows.entering(from + on_grid)[a]).on_grid) ++on_grid;
      }
      AxisWindow& axis = axes_[a];
      std::size_t i = 0;
      if (axis.counting) {
        axis.counted->admit(made.bits);
        axis.counted->slide(std::span(keys).first(on_grid), values.subspan(from), a);
        i = on_grid;
        if (i < n) axis.sort();
      }
      for (; i < n; ++i) {
        axis.sorted.replace(windows.leaving(from + i)[a], windows.entering(from + i)[a]);
        values[from + i][a] = axis.sorted.median();
      }
    }
  }
}

std::size_t median_reach(double window_seconds, double header_rate_hz) {
  return static_cast<std::size_t>(std::max(window_seconds * header_rate_hz, 0.0) / 2.0);
}

Result<void> AngleEpochSums::add(const SampleRun& run) {
  const AxisValues added = calibration_.block_offset(run.temperature);
  const AxisValues& scale = calibration_.scale;
  const float* const xs = run.acceleration.x.data();
  const float* const ys = run.acceleration.y.data();
  const float* const zs = run.acceleration.z.data();
  std::array<std::int64_t, max_samples_per_block> room;
  const std::span<const std::int64_t> times = run.times.all(room);
  std::array<std::uint32_t, 3> last_bits{};
  double angle = 0.0;
  // Locals in the loop: a store of a count could otherwise alias the members.
  // The epoch's sums are kept in registers, stored back as it is left: the
  // same additions in the same order, without a store and load per sample.
  std::int64_t epoch_end_us = epoch_end_us_;
  Sum* sum = sums_.empty() ? nullptr : &sums_[row_];
  Sum held = sum != nullptr ? *sum : Sum{};
  for (std::size_t k = 0; k < times.size(); ++k) {
    // Samples come in time order: an epoch once left is never met again.
    if (const std::int64_t time = times[k]; time >= epoch_end_us) {
      if (sum != nullptr) *sum = held;
      const std::int64_t epoch = interval_index(time, epoch_us_);
      if (sums_.empty()) first_epoch_ = epoch;
      row_ = static_cast<std::size_t>(epoch - first_epoch_);
      if (auto grown = extend_grid(sums_, std::uint64_t{row_} + 1); !grown) return grown;
      epoch_end_us = epoch_end_us_ = (epoch + 1) * epoch_us_;
      sum = &sums_[row_];
      held = *sum;
    }
    // Medians change seldom from one sample to the next: the angle of the
    // same medians in the same run is the one just made. Their bits are
    // compared in registers: through memory the loads would wait on the stores.
    const Axes medians{xs[k], ys[k], zs[k]};
    const auto bits = std::bit_cast<std::array<std::uint32_t, 3>>(medians);
    if (k == 0 || ((bits[0] ^ last_bits[0]) | (bits[1] ^ last_bits[1]) | (bits[2] ^ last_bits[2])) != 0) {
      const double x = added[0] + scale[0] * medians[0];
      const double y = added[1] + scale[1] * medians[1];
      const double z = added[2] + scale[2] * medians[2];
      angle = elevation(z, std::sqrt(x * x + y * y));
      last_bits = bits;
    }
    held.angle += angle;
    ++held.samples;
  }
  if (sum != nullptr) *sum = held;
  return {};
}

Result<void> AngleEpochSums::append(AngleEpochSums&& later) {
  if (later.sums_.empty()) return {};
  if (sums_.empty()) {
    *this = std::move(later);
    return {};
  }
  return place_later_rows(sums_, static_cast<std::uint64_t>(later.first_epoch_ - first_epoch_), later.sums_);
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
