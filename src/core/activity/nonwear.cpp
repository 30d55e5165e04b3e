#include "core/activity/nonwear.hpp"

#include "core/activity/time_grid.hpp"

namespace velnora {

namespace {

constexpr double still_range_g = 0.050;

}  // namespace

Result<void> NonwearDetector::add(const SampleRun& run) {
  Stretch* open = stretches_.empty() ? nullptr : &stretches_.back();
  for (std::size_t k = 0; k < run.timestamps.size(); ++k) {
    if (run.timestamps[k] >= stretch_end_us_) {
      const std::int64_t index = interval_index(run.timestamps[k], stretch_us);
      if (stretches_.empty()) first_stretch_ = index;
      auto grown = extend_grid(stretches_, static_cast<std::uint64_t>(index - first_stretch_) + 1);
      if (!grown) return grown;
      open = &stretches_.back();
      stretch_end_us_ = (index + 1) * stretch_us;
    }
    const SampleData& sample = run.samples[k];
    open->axes[0].add(sample.acc_x);
    open->axes[1].add(sample.acc_y);
    open->axes[2].add(sample.acc_z);
    ++open->count;
  }
  return {};
}

Result<void> NonwearDetector::append(NonwearDetector&& later) {
  if (later.stretches_.empty()) return {};
  if (stretches_.empty()) {
    *this = std::move(later);
    return {};
  }
  const auto offset = static_cast<std::uint64_t>(later.first_stretch_ - first_stretch_);
  if (auto grown = extend_grid(stretches_, offset + later.stretches_.size()); !grown) return grown;
  std::copy(later.stretches_.begin(), later.stretches_.end(),
            stretches_.begin() + static_cast<std::ptrdiff_t>(offset));
  stretch_end_us_ = later.stretch_end_us_;
  return {};
}

bool NonwearDetector::not_worn(std::int64_t block) const {
  // Block b is stretches 2b and 2b + 1; its window reaches three stretches
  // before and three after.
  const std::int64_t first = std::max(2 * block - 3, first_stretch_);
  const std::int64_t end =
      std::min(2 * block + 5, first_stretch_ + static_cast<std::int64_t>(stretches_.size()));
  Stretch window;
  for (std::int64_t s = first; s < end; ++s) {
    const Stretch& stretch = stretches_[static_cast<std::size_t>(s - first_stretch_)];
    window.count += stretch.count;
    for (std::size_t a = 0; a < 3; ++a) {
      window.axes[a].sums.sum += stretch.axes[a].sums.sum;
      window.axes[a].sums.squares += stretch.axes[a].sums.squares;
      window.axes[a].min = std::min(window.axes[a].min, stretch.axes[a].min);
      window.axes[a].max = std::max(window.axes[a].max, stretch.axes[a].max);
    }
  }
  if (window.count < 2 || static_cast<double>(window.count) < min_window_samples_) return false;
  int still_axes = 0;
  for (const AxisSpread& axis : window.axes) {
    if (axis.sums.sd(window.count) < still_sd_g && axis.max - axis.min < still_range_g) ++still_axes;
  }
  return still_axes >= 2;
}

NonwearBlocks NonwearDetector::finish() const {
  NonwearBlocks blocks;
  if (stretches_.empty()) return blocks;
  const std::int64_t first_block = interval_index(first_stretch_, 2);
  const std::int64_t last_block =
      interval_index(first_stretch_ + static_cast<std::int64_t>(stretches_.size()) - 1, 2);
  blocks.first_start_us = first_block * block_seconds * us_per_second;
  blocks.nonwear.reserve(static_cast<std::size_t>(last_block - first_block + 1));
  for (std::int64_t b = first_block; b <= last_block; ++b) blocks.nonwear.push_back(not_worn(b) ? 1 : 0);
  return blocks;
}

}  // namespace velnora
