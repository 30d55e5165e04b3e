#include "core/csv/block_csv_export.hpp"

#include "core/csv/csv_file.hpp"
#include "core/csv/csv_row.hpp"
#include "core/read/decoded_block_stream.hpp"

namespace velnora {

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

}  // namespace velnora
