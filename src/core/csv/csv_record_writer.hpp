#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/column.hpp"
#include "core/io/file.hpp"

namespace velnora {

// Text collected before it is handed to the file: one write per 16 MiB, and
// the point where a full disk shows. An export smaller than this reaches the
// file only at the final flush; a larger one fails while its rows are being
// written. One buffer of this size behaves, at the file, like a small record
// buffer feeding a 16 MiB file buffer.
inline constexpr std::size_t csv_flush_threshold = 16777216;

// Turns field texts into CSV records (comma-separated, line feed, never
// quoted) and writes them to one output file through one growable buffer.
// Destroying a writer hands what it still holds to the file, ignoring errors,
// so a failed export keeps every record written before the failure.
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
  // the system's text alone; Io when the buffer cannot grow. Grows the buffer
  // geometrically, up to one threshold and one record.
  Result<void> write_record(std::span<const std::string_view> fields);

  // Hands everything buffered to the file. Errors: Io. No allocation.
  Result<void> flush();

 private:
  explicit CsvRecordWriter(File file) : file_(std::move(file)) {}

  Result<void> hand_over();

  File file_;
  Column<char> buffer_;
  // Bytes at the buffer's start that the file already has: a hand-over that
  // failed halfway resumes after them instead of writing them twice.
  std::size_t handed_ = 0;
};

}  // namespace velnora
