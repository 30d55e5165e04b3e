#include "core/columns/data_result.hpp"

namespace velnora {

namespace {

// One channel of the block's samples into its column: a strided read of the
// small, cache-resident sample buffer and a sequential write to the column.
template <float SampleData::*Field>
Result<void> append_channel(Column<float>& column, std::span<const SampleData> samples) {
  auto added = column.extend(samples.size());
  if (!added) return fail(added.error());
  float* out = added->data();
  for (std::size_t i = 0; i < samples.size(); ++i) out[i] = samples[i].*Field;
  return {};
}

template <float SampleData::*Field>
Result<void> append_optional_channel(std::optional<Column<float>>& column,
                                     std::span<const SampleData> samples) {
  if (!column) return {};
  return append_channel<Field>(*column, samples);
}

// A caller's fault, but one that would silently break the equal lengths of
// the columns; it surfaces as an error rather than as a corrupt result.
[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> unequal_lengths() {
  return fail("velnora internal error: a block's timestamps and samples differ in count");
}

// Runs the steps in order up to the first error, and returns that error.
template <class... Steps>
Result<void> in_order(Steps&&... steps) {
  Result<void> result;
  ((result = steps(), result.has_value()) && ...);
  return result;
}

Result<void> append_reading(std::optional<Column<float>>& column, float value, std::size_t count) {
  if (!column) return {};
  return column->append_copies(value, count);
}

}  // namespace

Result<CwaDataResult> CwaDataResult::create(IncludeFlags include, std::size_t capacity_hint) {
  CwaDataResult result;
  if (include.magnetometer) {
    result.mag_x.emplace();
    result.mag_y.emplace();
    result.mag_z.emplace();
  }
  if (include.temperature) result.temperature.emplace();
  if (include.light) result.light.emplace();
  if (include.battery) result.battery.emplace();
  std::optional<CwaError> error;
  result.for_each_column([&](std::string_view, auto& column) {
    auto reserved = column.reserve(capacity_hint);
    if (!reserved) error = reserved.error();
    return reserved.has_value();
  });
  if (error) return fail(std::move(*error));
  return result;
}

Result<void> CwaDataResult::append_block(std::span<const std::int64_t> timestamps,
                                         std::span<const SampleData> samples, const BlockReadings& readings) {
  const std::size_t count = samples.size();
  if (timestamps.size() != count) return unequal_lengths();
  return in_order([&] { return timestamp.append(timestamps); },
                  [&] { return append_channel<&SampleData::acc_x>(acc_x, samples); },
                  [&] { return append_channel<&SampleData::acc_y>(acc_y, samples); },
                  [&] { return append_channel<&SampleData::acc_z>(acc_z, samples); },
                  [&] { return append_channel<&SampleData::gyro_x>(gyro_x, samples); },
                  [&] { return append_channel<&SampleData::gyro_y>(gyro_y, samples); },
                  [&] { return append_channel<&SampleData::gyro_z>(gyro_z, samples); },
                  [&] { return append_optional_channel<&SampleData::mag_x>(mag_x, samples); },
                  [&] { return append_optional_channel<&SampleData::mag_y>(mag_y, samples); },
                  [&] { return append_optional_channel<&SampleData::mag_z>(mag_z, samples); },
                  [&] { return append_reading(temperature, readings.temperature, count); },
                  [&] { return append_reading(light, readings.light, count); },
                  [&] { return append_reading(battery, readings.battery, count); });
}

}  // namespace velnora
