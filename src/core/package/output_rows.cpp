#include "core/package/output_rows.hpp"

#include <cstdint>

#include "core/numeric.hpp"

namespace velnora {

namespace {

Column<float>* present(std::optional<Column<float>>& column) { return column ? &*column : nullptr; }

// The output's column of each channel, in channel order; null where the
// column is not wanted.
std::array<Column<float>*, channel_count> channel_columns(CwaDataResult& output) {
  return {&output.acc_x,         &output.acc_y,
          &output.acc_z,         &output.gyro_x,
          &output.gyro_y,        &output.gyro_z,
          present(output.mag_x), present(output.mag_y),
          present(output.mag_z), present(output.temperature),
          present(output.light), present(output.battery)};
}

}  // namespace

Result<void> OutputRows::flush_into(CwaDataResult& output) {
  const std::size_t rows = count_;
  if (rows == 0) return {};
  count_ = 0;
  auto stamps = output.timestamp.extend(rows);
  if (!stamps) return fail(stamps.error());
  std::int64_t* timestamps = stamps->data();
  for (std::size_t r = 0; r < rows; ++r) timestamps[r] = truncate_to_i64(times_[r] * 1000000.0);
  const auto columns = channel_columns(output);
  for (std::size_t k = 0; k < channel_count; ++k) {
    if (columns[k] == nullptr) continue;
    auto added = columns[k]->extend(rows);
    if (!added) return fail(added.error());
    const auto& pairs = pairs_[channel_lane[k] / 2];
    const std::size_t lane = channel_lane[k] % 2;
    float* values = added->data();
    for (std::size_t r = 0; r < rows; ++r) values[r] = pairs[r][lane];
  }
  return {};
}

}  // namespace velnora
