#include "core/csv/result_csv_export.hpp"

#include "core/csv/csv_file.hpp"
#include "core/csv/csv_row.hpp"

namespace velnora {

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
