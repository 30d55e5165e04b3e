#include "core/activity/epoch_metrics.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <numbers>
#include <string>

#include "core/activity/time_grid.hpp"

namespace velnora {

namespace {

// Room kept for one epoch's magnitudes up front; a longer epoch grows it once.
constexpr double max_reserved_magnitudes = 1 << 20;

// What an epoch costs by the time a caller holds it as a table: the row, its
// columns handed over and the frame made of them, about six rows' worth.
constexpr std::size_t epoch_row_cost = 6 * sizeof(EpochRow);

// The shortest text that reads back as `value`, as Python writes a float
// ("5.0", "1e-07", "nan").
std::string float_text(double value) {
  std::array<char, 32> digits;
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  std::string text(digits.data(), end);
  if (text.find_first_of(".ein") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

Result<std::int64_t> epoch_length_us(double seconds) {
  const double us = seconds * 1e6;
  const bool whole = std::isfinite(us) && us > 0.5 && us <= static_cast<double>(max_epoch_us) &&
                     std::abs(us - std::round(us)) < 1e-3;
  if (!whole) {
    return fail(CwaError::invalid_argument(
        "epoch_seconds must be a positive whole number of microseconds, not " + float_text(seconds)));
  }
  return static_cast<std::int64_t>(std::round(us));
}

EpochMetrics::EpochMetrics(std::int64_t epoch_us, const GravityCalibration& calibration,
                           double header_rate_hz)
    : epoch_us_(epoch_us), calibration_(calibration) {
  const double expected = seconds_from_us(epoch_us) * header_rate_hz * 1.25 + 1.0;
  magnitudes_.reserve(static_cast<std::size_t>(std::clamp(expected, 1.0, max_reserved_magnitudes)));
}

Result<void> EpochMetrics::add(const SampleRun& run) {
  // The feed's runs are a block's samples at most; a stage before may join
  // blocks: a block's worth at a time.
  const AxisValues added = calibration_.block_offset(run.temperature);
  for (std::size_t first = 0; first < run.times.size(); first += max_samples_per_block) {
    const std::size_t count = std::min(max_samples_per_block, run.times.size() - first);
    calibrate_axes(run.acceleration.subspan(first, count), added, calibration_.scale, axes_);
    const auto piece = [&](std::size_t from, std::size_t to) {
      const std::size_t kept = magnitudes_.size();
      magnitudes_.resize(kept + (to - from));
      add_epoch_samples(axes_, from, to, sums_, magnitudes_.data() + kept);
    };
    const auto open = [&](std::int64_t index) { return open_epoch(index); };
    if (auto added_up =
            for_each_interval_piece(run.times.sub(first, count), epoch_us_, epoch_end_us_, open, piece);
        !added_up)
      return added_up;
  }
  return {};
}

Result<void> EpochMetrics::open_epoch(std::int64_t index) {
  if (!magnitudes_.empty()) close_epoch();
  if (table_.rows.empty()) {
    first_epoch_ = index;
    table_.first_start_us = index * epoch_us_;
  }
  auto grown = extend_grid(table_.rows, static_cast<std::uint64_t>(index - first_epoch_) + 1, epoch_row_cost);
  if (!grown) return grown;
  open_epoch_ = index;
  return {};
}

void EpochMetrics::close_epoch() {
  const double n = static_cast<double>(magnitudes_.size());
  const double mean = sums_.magnitude / n;
  double deviations = 0.0;
  for (const double magnitude : magnitudes_) deviations += std::abs(magnitude - mean);
  EpochRow& row = table_.rows[static_cast<std::size_t>(open_epoch_ - first_epoch_)];
  row.enmo = sums_.enmo / n;
  row.mad = deviations / n;
  row.anglez = sums_.angle / n * (180.0 / std::numbers::pi);
  row.samples = magnitudes_.size();
  sums_ = {};
  magnitudes_.clear();
}

Result<void> append_epochs(EpochTable& earlier, EpochTable&& later, std::int64_t epoch_us) {
  if (later.rows.empty()) return {};
  if (earlier.rows.empty()) {
    earlier = std::move(later);
    return {};
  }
  const auto offset = static_cast<std::uint64_t>((later.first_start_us - earlier.first_start_us) / epoch_us);
  if (auto grown = extend_grid(earlier.rows, offset + later.rows.size(), epoch_row_cost); !grown)
    return grown;
  std::copy(later.rows.begin(), later.rows.end(), earlier.rows.begin() + static_cast<std::ptrdiff_t>(offset));
  return {};
}

EpochTable EpochMetrics::finish() && {
  if (!magnitudes_.empty()) close_epoch();
  return std::move(table_);
}

}  // namespace velnora
