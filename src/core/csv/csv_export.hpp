#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"
#include "core/csv/csv_fields.hpp"
#include "core/csv/csv_record_writer.hpp"
#include "core/format/include_flags.hpp"
#include "core/format/sample_data.hpp"

namespace velnora {

// The column names of a CSV file, in file order.
struct CsvHeader {
  std::array<std::string_view, max_csv_columns> names{};
  std::size_t count = 0;

  std::span<const std::string_view> columns() const { return {names.data(), count}; }
};

// The columns for the include flags; they never depend on the recording. No
// errors, no allocation.
CsvHeader csv_header(IncludeFlags include);

// Creates or truncates the output file and writes the header record for the
// include flags. Errors: Io when the file cannot be created, those of
// CsvRecordWriter::write_record. Allocates the writer's buffer.
Result<CsvRecordWriter> create_csv_file(std::string_view output_path, IncludeFlags include);

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

// Writes the samples of a planned range of blocks as CSV, each block's rows as
// soon as it is decoded. The output is created once the input was opened and
// checked; a later failure leaves the header and the rows of every block
// before the failing one in it. A range without data blocks gives the header
// alone. Errors: those of opening the range and of every block, Io for the
// output's creation and final flush, a failed record write's system text.
// Memory: one block and the writer's buffer, whatever the range's length.
Result<void> write_cwa_csv_data(std::string_view file_path, std::string_view output_path,
                                std::optional<std::uint64_t> start_block,
                                std::optional<std::uint64_t> block_count, IncludeFlags include);

// Writes every row of a finished store as CSV; the output is created only
// here, so whatever failed before leaves an existing file untouched. Errors:
// Io for the output's creation and final flush, a failed record write's system
// text, a reading the flags select but the store lacks. Allocates the writer's
// buffer.
Result<void> write_data_result_csv(std::string_view output_path, const CwaDataResult& result,
                                   IncludeFlags include);

}  // namespace velnora
