#pragma once

#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/csv/csv_record_writer.hpp"
#include "core/format/include_flags.hpp"

namespace velnora {

// Creates or truncates the output file and writes the header record for the
// include flags. Errors: Io when the file cannot be created, those of
// CsvRecordWriter::write_record. Allocates the writer's buffer.
Result<CsvRecordWriter> create_csv_file(std::string_view output_path, IncludeFlags include);

}  // namespace velnora
