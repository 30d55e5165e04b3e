#include "core/csv/csv_export.hpp"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <utility>

#include "core/base/interruption.hpp"
#include "core/csv/csv_record_writer.hpp"
#include "core/read/decoded_block_stream.hpp"

namespace velnora {

namespace {

// The device and inode a path names after following links, or nothing when it
// cannot be examined (missing, or holding a NUL byte).
std::optional<std::pair<dev_t, ino_t>> file_identity(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  struct stat info;
  if (::stat(std::string(path).c_str(), &info) != 0) return std::nullopt;
  return std::pair(info.st_dev, info.st_ino);
}

// Creates or truncates the output file and writes the header record: the
// time, then the names of the channels the include flags select.
Result<CsvRecordWriter> create_csv_file(std::string_view output_path, IncludeFlags include) {
  auto writer = CsvRecordWriter::create(output_path);
  if (!writer) return writer;
  CsvFields header;
  header.add_text("time");
  for (const Channel& channel : channels) {
    if (is_included(channel, include)) header.add_text(channel.name);
  }
  if (auto written = writer->write_record(header); !written) return fail(std::move(written.error()));
  return writer;
}

// "Temperature requested but unavailable" for the temperature channel. The
// names are lower-case ASCII; no locale is asked.
[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> unavailable(std::string_view name) {
  std::string text(name);
  text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return fail(text + " requested but unavailable");
}

// Formats one row into `fields` (their storage reused): the time, then each
// channel the flags select, in column order, and writes it as one record.
// value(c) gives channel c's value, or nothing when the row lacks it, which
// fails the row with the first such channel's message.
template <class Value>
[[gnu::always_inline]] inline Result<void> write_row(CsvRecordWriter& writer, CsvFields& fields,
                                                     IncludeFlags include, std::int64_t timestamp,
                                                     Value&& value) {
  fields.clear();
  fields.add_time(timestamp);
  std::size_t lacking = channel_count;
  const bool complete = for_each_channel([&](auto c) {
    constexpr Channel channel = channels[decltype(c)::value];
    if (!is_included(channel, include)) return true;
    const std::optional<float> present = value(c);
    if (!present) {
      lacking = c;
      return false;
    }
    fields.add_value(*present);
    return true;
  });
  if (!complete) return unavailable(channels[lacking].name);
  return writer.write_record(fields);
}

Result<void> write_block_rows(CsvRecordWriter& writer, CsvFields& fields, IncludeFlags include,
                              const DecodedBlock& block) {
  // Every reading is present: the flags alone decide which ones are written.
  for (std::size_t i = 0; i < block.samples.size(); ++i) {
    auto written = write_row(writer, fields, include, block.timestamps[i], [&](auto c) {
      constexpr Channel channel = channels[decltype(c)::value];
      return std::optional(channel_value(channel, block.samples[i], block.readings));
    });
    if (!written) return written;
  }
  return {};
}

// A row costs well under a microsecond: asking per batch keeps the check off
// the profile and a stop request still answered within milliseconds.
constexpr std::size_t rows_between_polls = 1024;

// A channel of row `row`; a sample channel the store lacks is 0.0, as the
// magnetometer of data without one, while a missing reading has no stand-in.
std::optional<float> stored_value(const CwaDataResult& result, std::size_t c, std::size_t row) {
  const std::optional<Column<float>>& column = result.columns[c];
  if (column) return column->data()[row];
  if (channels[c].sample_field != nullptr) return 0.0f;
  return std::nullopt;
}

}  // namespace

Result<void> check_output_is_not_input(std::string_view input_path, std::string_view output_path) {
  const auto output = file_identity(output_path);
  if (!output || output != file_identity(input_path)) return {};
  return fail("Output path '" + std::string(output_path) + "' is the input recording '" +
              std::string(input_path) + "'; refusing to overwrite it");
}

Result<void> write_cwa_csv_data(std::string_view file_path, std::string_view output_path,
                                std::optional<std::uint64_t> start_block,
                                std::optional<std::uint64_t> block_count, IncludeFlags include,
                                DamagedBlocks* damaged) {
  auto stream = DecodedBlockStream::open(file_path, start_block, block_count, include.magnetometer, damaged);
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

Result<void> write_data_result_csv(std::string_view output_path, const CwaDataResult& result,
                                   IncludeFlags include) {
  auto writer = create_csv_file(output_path, include);
  if (!writer) return fail(std::move(writer.error()));
  CsvFields fields;
  for (std::size_t r = 0; r < result.size(); ++r) {
    if (r % rows_between_polls == 0) {
      if (auto going_on = interruption_point(); !going_on) return going_on;
    }
    auto written = write_row(*writer, fields, include, result.timestamp.data()[r],
                             [&](std::size_t c) { return stored_value(result, c, r); });
    if (!written) return written;
  }
  return writer->flush();
}

}  // namespace velnora
