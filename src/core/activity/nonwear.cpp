#include "core/activity/nonwear.hpp"

#include "core/activity/time_grid.hpp"

namespace velnora {

namespace {

constexpr double still_range_g = 0.050;

}  // namespace

Result<void> NonwearDetector::add(const SampleRun& run) {
  const auto open = [&](std::int64_t index) -> Result<void> {
    if (stretches_.empty()) first_stretch_ = index;
    return extend_grid(stretches_, static_cast<std::uint64_t>(index - first_stretch_) + 1);
  };
  const auto piece = [&](std::size_t from, std::size_t to) {
    Stretch& open_stretch = stretches_.back();
    add_to_lanes<Extremes::kept>(run.acceleration.subspan(from, to - from), 0.0, open_stretch.sums);
    open_stretch.count += to - from;
  };
  return for_each_interval_piece(run.times, stretch_us, stretch_end_us_, open, piece);
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
    window.sums.merge(stretch.sums);
  }
  if (window.count < 2 || static_cast<double>(window.count) < min_window_samples_) return false;
  int still_axes = 0;
  for (std::size_t a = 0; a < 3; ++a) {
    const LaneSums& sums = window.sums;
    if (sums.sd(a, window.count) < still_sd_g && sums.max[a] - sums.min[a] < still_range_g) ++still_axes;
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
