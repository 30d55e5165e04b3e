#include "core/csv/csv_record_writer.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "core/base/numeric.hpp"

namespace velnora {

namespace {

// std::to_chars in fixed notation rounds the exact binary value, ties to even,
// so its digits are those of printf's "%.*f"; a negative value that rounds to
// zero keeps its sign there too.
std::size_t format_fixed(double value, int precision, NumberText& out) {
  if (std::isnan(value)) [[unlikely]] {
    // to_chars writes "nan" or "-nan"; the file's spelling has no sign.
    std::memcpy(out.data(), "NaN", 3);
    return 3;
  }
  const auto written =
      std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed, precision);
  return static_cast<std::size_t>(written.ptr - out.data());
}

}  // namespace

std::size_t format_time(std::int64_t micros, NumberText& out) {
  return format_fixed(seconds_from_us(micros), 4, out);
}

std::size_t format_value(float value, NumberText& out) {
  return format_fixed(static_cast<double>(value), 6, out);
}

Result<CsvRecordWriter> CsvRecordWriter::create(std::string_view path) {
  auto file = File::create_write(path);
  if (!file) return fail(std::move(file.error()));
  return CsvRecordWriter(std::move(*file));
}

CsvRecordWriter::CsvRecordWriter(CsvRecordWriter&& other) noexcept
    : file_(std::move(other.file_)),
      buffer_(std::move(other.buffer_)),
      size_(std::exchange(other.size_, 0)),
      handed_(std::exchange(other.handed_, 0)) {}

CsvRecordWriter::~CsvRecordWriter() { (void)hand_over(); }

Result<void> CsvRecordWriter::write_record(const CsvFields& record) {
  if (!buffer_) [[unlikely]] {
    buffer_.reset(new (std::nothrow) char[buffer_bytes]);
    if (!buffer_) return fail(CwaError::io_errno(ENOMEM));
  }
  // The buffer is handed over once it holds a threshold, so a record fits,
  // unless a hand-over failed and the caller writes on: that one is retried.
  if (buffer_bytes - size_ < max_csv_record_bytes) [[unlikely]] {
    if (auto handed = hand_over(); !handed) return fail(handed.error().detail());
  }
  const std::span<const std::string_view> fields = record.views();
  char* const start = buffer_.get() + size_;
  char* out = start;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::memcpy(out, fields[i].data(), fields[i].size());
    out += fields[i].size();
    *out++ = i + 1 == fields.size() ? '\n' : ',';
  }
  size_ += static_cast<std::size_t>(out - start);
  if (size_ - handed_ < csv_flush_threshold) return {};
  // A record that cannot be handed over reports the system's text without the
  // I/O prefix; only the final flush reports it as an I/O error.
  if (auto handed = hand_over(); !handed) return fail(handed.error().detail());
  return {};
}

Result<void> CsvRecordWriter::flush() { return hand_over(); }

Result<void> CsvRecordWriter::hand_over() {
  while (handed_ < size_) {
    auto put = file_.write_some(std::as_bytes(std::span(buffer_.get() + handed_, size_ - handed_)));
    if (!put) return fail(std::move(put.error()));
    if (*put == 0) return fail(CwaError::io_text("failed to write the buffered data"));
    handed_ += *put;
  }
  size_ = 0;
  handed_ = 0;
  return {};
}

}  // namespace velnora
