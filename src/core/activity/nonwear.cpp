#include "core/activity/nonwear.hpp"

#include <algorithm>

#include "core/activity/time_grid.hpp"

namespace velnora {

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
  if (auto placed = place_later_rows(stretches_, offset, later.stretches_); !placed) return placed;
  stretch_end_us_ = later.stretch_end_us_;
  return {};
}

bool NonwearDetector::still_window(std::int64_t first, const NonwearRule& rule) const {
  const std::int64_t begin = std::max(first, first_stretch_);
  const std::int64_t end = std::min(first + 8, first_stretch_ + static_cast<std::int64_t>(stretches_.size()));
  Stretch window;
  for (std::int64_t s = begin; s < end; ++s) {
    const Stretch& stretch = stretches_[static_cast<std::size_t>(s - first_stretch_)];
    window.count += stretch.count;
    window.sums.merge(stretch.sums);
  }
  if (window.count < 2 || static_cast<double>(window.count) < min_window_samples_) return false;
  int still_axes = 0;
  for (std::size_t a = 0; a < 3; ++a) {
    const LaneSums& sums = window.sums;
    if (sums.sd(a, window.count) < rule.still_sd_g && sums.max[a] - sums.min[a] < rule.still_range_g)
      ++still_axes;
  }
  return still_axes >= rule.still_axes;
}

NonwearBlocks NonwearDetector::finish(const NonwearRule& rule) const {
  NonwearBlocks blocks;
  if (stretches_.empty()) return blocks;
  const std::int64_t first_block = interval_index(first_stretch_, 2);
  const std::int64_t last_block =
      interval_index(first_stretch_ + static_cast<std::int64_t>(stretches_.size()) - 1, 2);
  blocks.first_start_us = first_block * block_seconds * us_per_second;
  blocks.nonwear.assign(static_cast<std::size_t>(last_block - first_block + 1), 0);
  if (rule.windows == NonwearRule::Windows::centred) {
    // Block b is stretches 2b and 2b + 1; its window reaches three stretches
    // before and three after.
    for (std::int64_t b = first_block; b <= last_block; ++b)
      blocks.nonwear[static_cast<std::size_t>(b - first_block)] = still_window(2 * b - 3, rule) ? 1 : 0;
  } else {
    // Every window meeting the recording, from the one ending with its first block.
    for (std::int64_t w = first_block - blocks_per_window + 1; w <= last_block; ++w) {
      if (!still_window(2 * w, rule)) continue;
      const std::int64_t end = std::min(w + blocks_per_window, last_block + 1);
      for (std::int64_t b = std::max(w, first_block); b < end; ++b)
        blocks.nonwear[static_cast<std::size_t>(b - first_block)] = 1;
    }
  }
  if (rule.rescore) rescore_nonwear(blocks.nonwear);
  return blocks;
}

bool rescored_as_nonwear(std::size_t worn_blocks, std::size_t nonwear_blocks_around) {
  constexpr std::size_t blocks_per_hour = 4;
  // Compared in whole numbers: worn < 30 % of around is 10 worn < 3 around.
  return (worn_blocks < 6 * blocks_per_hour && 10 * worn_blocks < 3 * nonwear_blocks_around) ||
         (worn_blocks < 3 * blocks_per_hour && 10 * worn_blocks < 8 * nonwear_blocks_around);
}

void rescore_nonwear(std::vector<std::uint8_t>& nonwear) {
  constexpr int passes = 3;
  struct Run {
    std::size_t begin;
    std::size_t end;
    std::size_t length() const { return end - begin; }
  };
  std::vector<Run> runs;
  std::vector<std::size_t> turned;
  for (int pass = 0; pass < passes; ++pass) {
    // The runs of equal verdicts, worn and not in turn.
    runs.clear();
    for (std::size_t b = 0; b < nonwear.size(); ++b) {
      if (b == 0 || nonwear[b] != nonwear[b - 1]) runs.push_back({b, b});
      runs.back().end = b + 1;
    }
    turned.clear();
    for (std::size_t r = 1; r + 1 < runs.size(); ++r) {
      if (nonwear[runs[r].begin] == 0 &&
          rescored_as_nonwear(runs[r].length(), runs[r - 1].length() + runs[r + 1].length()))
        turned.push_back(r);
    }
    if (turned.empty()) return;
    for (const std::size_t r : turned)
      std::fill(nonwear.begin() + static_cast<std::ptrdiff_t>(runs[r].begin),
                nonwear.begin() + static_cast<std::ptrdiff_t>(runs[r].end), 1);
  }
}

}  // namespace velnora
