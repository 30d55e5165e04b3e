#include "core/csv/csv_file.hpp"

#include "core/csv/csv_header.hpp"

namespace velnora {

Result<CsvRecordWriter> create_csv_file(std::string_view output_path, IncludeFlags include) {
  auto writer = CsvRecordWriter::create(output_path);
  if (!writer) return writer;
  if (auto written = writer->write_record(csv_header(include).columns()); !written) {
    return fail(std::move(written.error()));
  }
  return writer;
}

}  // namespace velnora
