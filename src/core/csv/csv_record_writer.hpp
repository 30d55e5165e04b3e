#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/format/channels.hpp"
#include "core/io/file.hpp"

namespace velnora {

// Room for the longest number text: a float widened to double lies below
// 3.5e38, so a sign, 39 integer digits, a point and 6 fraction digits; a
// microsecond timestamp in seconds needs far less.
inline constexpr std::size_t max_number_chars = 48;

// Writes a microsecond timestamp as seconds, micros / 1000000.0 in double
// precision, with 4 fraction digits; returns the text's length. No errors, no
// allocation.
std::size_t format_time(std::int64_t micros, std::span<char, max_number_chars> out);

// Writes a channel value widened to double with 6 fraction digits ("NaN",
// "inf", "-inf" for the special values); returns the text's length. No errors,
// no allocation.
std::size_t format_value(float value, std::span<char, max_number_chars> out);

// The time and every channel.
inline constexpr std::size_t max_csv_columns = 1 + channel_count;

// The longest record: every field at its longest, each with a comma or the
// line feed after it.
inline constexpr std::size_t max_csv_record_bytes = max_csv_columns * (max_number_chars + 1);

// The text of one row, each field followed by a comma: made once per file and
// cleared, never freed, between rows, so a row costs no allocation and its
// fields are written where the record takes them from.
class CsvFields {
 public:
  void clear() { size_ = 0; }
  // Appends the next field; a row holds at most max_csv_columns of them.
  void add_time(std::int64_t micros) { add(format_time(micros, next())); }
  void add_value(float value) { add(format_value(value, next())); }
  // A text of its own, such as a column name; cut at max_number_chars.
  void add_text(std::string_view text) {
    const std::size_t length = std::min(text.size(), max_number_chars);
    std::memcpy(next().data(), text.data(), length);
    add(length);
  }

  // The fields, each followed by a comma.
  std::string_view text() const { return {text_.data(), size_}; }

 private:
  std::span<char, max_number_chars> next() {
    return std::span<char, max_number_chars>(text_.data() + size_, max_number_chars);
  }
  void add(std::size_t length) {
    text_[size_ + length] = ',';
    size_ += length + 1;
  }

  std::array<char, max_csv_record_bytes> text_;
  std::size_t size_ = 0;
};

// Text collected before it is handed to the file: one write per 16 MiB, and
// the point where a full disk shows. An export smaller than this reaches the
// file only at the final flush; a larger one fails while its rows are being
// written. One buffer of this size behaves, at the file, like a small record
// buffer feeding a 16 MiB file buffer.
inline constexpr std::size_t csv_flush_threshold = 16777216;

// Turns field texts into CSV records (comma-separated, line feed, never
// quoted) and writes them to one output file through one buffer, a threshold
// and a record long, of its own. Destroying a writer hands what it still holds to the file, ignoring errors,
// so a failed export keeps every record written before the failure. A file
// that could not take everything ends at its last complete record.
class CsvRecordWriter {
 public:
  // Creates or truncates `path` with mode 0o666 less the umask. Errors: Io. No
  // allocation until the first record.
  static Result<CsvRecordWriter> create(std::string_view path);

  CsvRecordWriter(CsvRecordWriter&& other) noexcept;
  CsvRecordWriter& operator=(CsvRecordWriter&&) = delete;
  ~CsvRecordWriter();

  // Appends one record; hands the buffer to the file once it holds
  // csv_flush_threshold bytes. Errors: a failed hand-over as a message holding
  // the system's text alone; Io when the buffer cannot be allocated. Allocates
  // the buffer at the first record; its pages are touched as records fill it.
  Result<void> write_record(const CsvFields& fields);

  // Hands everything buffered to the file. Errors: Io. No allocation.
  Result<void> flush();

 private:
  explicit CsvRecordWriter(File file) : file_(std::move(file)) {}

  Result<void> hand_over();
  void cut_back_to_last_record();

  static constexpr std::size_t buffer_bytes = csv_flush_threshold + max_csv_record_bytes;

  File file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
  // Bytes at the buffer's start that the file already has: a hand-over that
  // failed halfway resumes after them instead of writing them twice.
  std::size_t handed_ = 0;
  // Bytes of earlier buffers the file holds, where this buffer's start lies.
  std::uint64_t file_bytes_ = 0;
};

}  // namespace velnora
