#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/csv/csv_fields.hpp"
#include "core/io/file.hpp"

namespace velnora {

// Text collected before it is handed to the file: one write per 16 MiB, and
// the point where a full disk shows. An export smaller than this reaches the
// file only at the final flush; a larger one fails while its rows are being
// written. One buffer of this size behaves, at the file, like a small record
// buffer feeding a 16 MiB file buffer.
inline constexpr std::size_t csv_flush_threshold = 16777216;

// Turns field texts into CSV records (comma-separated, line feed, never
// quoted) and writes them to one output file through one buffer of a
// threshold and a record.
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
  // the system's text alone; Io when the buffer cannot be allocated. Allocates
  // the buffer at the first record; its pages are touched as records fill it.
  Result<void> write_record(const CsvFields& fields);

  // Hands everything buffered to the file. Errors: Io. No allocation.
  Result<void> flush();

 private:
  explicit CsvRecordWriter(File file) : file_(std::move(file)) {}

  Result<void> hand_over();

  static constexpr std::size_t buffer_bytes = csv_flush_threshold + max_csv_record_bytes;

  File file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
  // Bytes at the buffer's start that the file already has: a hand-over that
  // failed halfway resumes after them instead of writing them twice.
  std::size_t handed_ = 0;
};

}  // namespace velnora
