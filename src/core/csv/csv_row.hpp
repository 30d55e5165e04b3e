#pragma once

#include <cstdint>
#include <optional>

#include "core/base/cwa_error.hpp"
#include "core/csv/csv_fields.hpp"
#include "core/csv/csv_record_writer.hpp"
#include "core/format/include_flags.hpp"
#include "core/format/sample_data.hpp"

namespace velnora {

// One sample, or one grid point, as a CSV row takes it.
struct CsvRow {
  std::int64_t timestamp;  // microseconds since 1970-01-01T00:00:00 UTC
  SampleData sample;       // magnetometer values 0.0 where there are none
  std::optional<float> temperature, light, battery;
};

// Formats `row` into `fields` (their storage reused) with the columns the
// include flags select, and writes them as one record. Errors: "Temperature
// requested but unavailable" (likewise "Light", "Battery") for a selected
// reading the row lacks, and those of CsvRecordWriter::write_record. No
// allocation beyond the writer's buffer.
Result<void> write_csv_row(CsvRecordWriter& writer, CsvFields& fields, IncludeFlags include,
                           const CsvRow& row);

}  // namespace velnora
