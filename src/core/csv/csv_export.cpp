#include "core/csv/csv_export.hpp"

#include "core/read/decoded_block_stream.hpp"

namespace velnora {

CsvHeader csv_header(IncludeFlags include) {
  CsvHeader header;
  auto add = [&header](std::string_view name) { header.names[header.count++] = name; };
  for (std::string_view name : {"time", "acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z"}) add(name);
  if (include.magnetometer) {
    for (std::string_view name : {"mag_x", "mag_y", "mag_z"}) add(name);
  }
  if (include.temperature) add("temperature");
  if (include.light) add("light");
  if (include.battery) add("battery");
  return header;
}

Result<CsvRecordWriter> create_csv_file(std::string_view output_path, IncludeFlags include) {
  auto writer = CsvRecordWriter::create(output_path);
  if (!writer) return writer;
  if (auto written = writer->write_record(csv_header(include).columns()); !written) {
    return fail(std::move(written.error()));
  }
  return writer;
}

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

namespace {

Result<void> write_block_rows(CsvRecordWriter& writer, CsvFields& fields, IncludeFlags include,
                              const DecodedBlock& block) {
  // Every reading is present: the flags alone decide which ones are written.
  const BlockReadings& readings = block.readings;
  for (std::size_t i = 0; i < block.samples.size(); ++i) {
    auto written = write_csv_row(writer, fields, include,
                                 CsvRow{block.timestamps[i], block.samples[i], readings.temperature,
                                        readings.light, readings.battery});
    if (!written) return written;
  }
  return {};
}

}  // namespace

Result<void> write_cwa_csv_data(std::string_view file_path, std::string_view output_path,
                                std::optional<std::uint64_t> start_block,
                                std::optional<std::uint64_t> block_count, IncludeFlags include) {
  auto stream = DecodedBlockStream::open(file_path, start_block, block_count, include.magnetometer);
  if (!stream) return fail(std::move(stream.error()));
  auto writer = create_csv_file(output_path, include);
  if (!writer) return fail(std::move(writer.error()));
  CsvFields fields;
  for (;;) {
    auto block = stream->next();
    if (!block) return fail(std::move(block.error()));
    if (!*block) break;
    if (auto written = write_block_rows(*writer, fields, include, **block); !written) return written;
  }
  return writer->flush();
}

namespace {

std::optional<float> entry(const std::optional<Column<float>>& column, std::size_t row) {
  if (!column) return std::nullopt;
  return column->data()[row];
}

CsvRow row_of(const CwaDataResult& result, std::size_t row) {
  auto at = [row](const Column<float>& column) { return column.data()[row]; };
  auto mag = [row](const std::optional<Column<float>>& column) { return entry(column, row).value_or(0.0f); };
  const SampleData sample{at(result.acc_x),  at(result.acc_y),  at(result.acc_z),
                          at(result.gyro_x), at(result.gyro_y), at(result.gyro_z),
                          mag(result.mag_x), mag(result.mag_y), mag(result.mag_z)};
  return CsvRow{result.timestamp.data()[row], sample, entry(result.temperature, row),
                entry(result.light, row), entry(result.battery, row)};
}

}  // namespace

Result<void> write_data_result_csv(std::string_view output_path, const CwaDataResult& result,
                                   IncludeFlags include) {
  auto writer = create_csv_file(output_path, include);
  if (!writer) return fail(std::move(writer.error()));
  CsvFields fields;
  for (std::size_t r = 0; r < result.size(); ++r) {
    if (auto written = write_csv_row(*writer, fields, include, row_of(result, r)); !written) return written;
  }
  return writer->flush();
}

}  // namespace velnora
