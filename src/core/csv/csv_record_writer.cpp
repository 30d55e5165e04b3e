#include "core/csv/csv_record_writer.hpp"

#include <cstring>
#include <utility>

namespace velnora {

Result<CsvRecordWriter> CsvRecordWriter::create(std::string_view path) {
  auto file = File::create_write(path);
  if (!file) return fail(std::move(file.error()));
  return CsvRecordWriter(std::move(*file));
}

CsvRecordWriter::CsvRecordWriter(CsvRecordWriter&& other) noexcept
    : file_(std::move(other.file_)),
      buffer_(std::move(other.buffer_)),
      handed_(std::exchange(other.handed_, 0)) {}

CsvRecordWriter::~CsvRecordWriter() { (void)hand_over(); }

Result<void> CsvRecordWriter::write_record(std::span<const std::string_view> fields) {
  std::size_t length = fields.size();  // a comma or the line feed after each field
  for (std::string_view field : fields) length += field.size();
  auto record = buffer_.extend(length);
  if (!record) return fail(std::move(record.error()));
  char* out = record->data();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::memcpy(out, fields[i].data(), fields[i].size());
    out += fields[i].size();
    *out++ = i + 1 == fields.size() ? '\n' : ',';
  }
  if (buffer_.size() - handed_ < csv_flush_threshold) return {};
  // A record that cannot be handed over reports the system's text without the
  // I/O prefix; only the final flush reports it as an I/O error.
  if (auto handed = hand_over(); !handed) return fail(handed.error().detail());
  return {};
}

Result<void> CsvRecordWriter::flush() { return hand_over(); }

Result<void> CsvRecordWriter::hand_over() {
  while (handed_ < buffer_.size()) {
    auto put = file_.write_some(std::as_bytes(buffer_.values().subspan(handed_)));
    if (!put) return fail(std::move(put.error()));
    if (*put == 0) return fail(CwaError::io_text("failed to write the buffered data"));
    handed_ += *put;
  }
  buffer_.truncate(0);
  handed_ = 0;
  return {};
}

}  // namespace velnora
