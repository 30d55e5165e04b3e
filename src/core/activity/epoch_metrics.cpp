#include "core/activity/epoch_metrics.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <numbers>
#include <string>

#include "core/activity/elevation.hpp"
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
  const AxisValues added = calibration_.block_offset(run.temperature);
  const AxisValues& scale = calibration_.scale;
  for (std::size_t k = 0; k < run.timestamps.size(); ++k) {
    if (run.timestamps[k] >= epoch_end_us_) {
      if (auto opened = open_epoch(run.timestamps[k]); !opened) return opened;
    }
    const SampleData& sample = run.samples[k];
    const double x = added[0] + scale[0] * sample.acc_x;
    const double y = added[1] + scale[1] * sample.acc_y;
    const double z = added[2] + scale[2] * sample.acc_z;
    const double horizontal = x * x + y * y;
    const double magnitude = std::sqrt(horizontal + z * z);
    enmo_sum_ += std::max(magnitude - 1.0, 0.0);
    angle_sum_ += elevation(z, std::sqrt(horizontal));
    magnitudes_.push_back(magnitude);
  }
  return {};
}

Result<void> EpochMetrics::open_epoch(std::int64_t t) {
  if (!magnitudes_.empty()) close_epoch();
  const std::int64_t index = interval_index(t, epoch_us_);
  if (table_.rows.empty()) {
    first_epoch_ = index;
    table_.first_start_us = index * epoch_us_;
  }
  auto grown = extend_grid(table_.rows, static_cast<std::uint64_t>(index - first_epoch_) + 1, epoch_row_cost);
  if (!grown) return grown;
  open_epoch_ = index;
  epoch_end_us_ = (index + 1) * epoch_us_;
  return {};
}

void EpochMetrics::close_epoch() {
  const double n = static_cast<double>(magnitudes_.size());
  double sum = 0.0;
  for (const double magnitude : magnitudes_) sum += magnitude;
  const double mean = sum / n;
  double deviations = 0.0;
  for (const double magnitude : magnitudes_) deviations += std::abs(magnitude - mean);
  EpochRow& row = table_.rows[static_cast<std::size_t>(open_epoch_ - first_epoch_)];
  row.enmo = enmo_sum_ / n;
  row.mad = deviations / n;
  row.anglez = angle_sum_ / n * (180.0 / std::numbers::pi);
  row.samples = magnitudes_.size();
  enmo_sum_ = 0.0;
  angle_sum_ = 0.0;
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
