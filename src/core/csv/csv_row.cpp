#include "core/csv/csv_row.hpp"

namespace velnora {

namespace {

// The block readings after the magnetometer, or the message of the first one
// selected but missing.
Result<void> add_readings(CsvFields& fields, IncludeFlags include, const CsvRow& row) {
  const struct {
    bool selected;
    const std::optional<float>& value;
    const char* missing;
  } readings[] = {
      {include.temperature, row.temperature, "Temperature requested but unavailable"},
      {include.light, row.light, "Light requested but unavailable"},
      {include.battery, row.battery, "Battery requested but unavailable"},
  };
  for (const auto& reading : readings) {
    if (!reading.selected) continue;
    if (!reading.value) return fail(reading.missing);
    fields.add_value(*reading.value);
  }
  return {};
}

}  // namespace

Result<void> write_csv_row(CsvRecordWriter& writer, CsvFields& fields, IncludeFlags include,
                           const CsvRow& row) {
  fields.clear();
  fields.add_time(row.timestamp);
  const SampleData& sample = row.sample;
  for (float value :
       {sample.acc_x, sample.acc_y, sample.acc_z, sample.gyro_x, sample.gyro_y, sample.gyro_z}) {
    fields.add_value(value);
  }
  if (include.magnetometer) {
    for (float value : {sample.mag_x, sample.mag_y, sample.mag_z}) fields.add_value(value);
  }
  if (auto added = add_readings(fields, include, row); !added) return added;
  return writer.write_record(fields.views());
}

}  // namespace velnora
