#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>

namespace velnora {

// The one error value of the system. `Io` carries an operating-system error
// (an errno) or the I/O layer's own text; `Message` carries a fixed text;
// `OutOfMemory` says what could not be had; `Interrupted` means the caller's
// interruption hook asked to stop, and the caller knows why.
class CwaError {
 public:
  enum class Kind { Io, Message, OutOfMemory, Interrupted };

  // An I/O error with an operating-system error number; ENOMEM is OutOfMemory
  // with the same text.
  static CwaError io_errno(int error_number);
  // An I/O error without an error number ("failed to fill whole buffer", ...).
  static CwaError io_text(std::string text);
  static CwaError message(std::string text);
  static CwaError out_of_memory(std::string text);
  static CwaError interrupted();

  // The read that hit the end of the file before the buffer was full.
  static CwaError unexpected_eof();

  Kind kind() const { return kind_; }
  // Marks the error as saying that the file is no recording at all (another
  // kind of file, or one too short to hold a metadata block); the text stays.
  CwaError marked_not_a_recording() && {
    not_a_recording_ = true;
    return std::move(*this);
  }
  bool not_a_recording() const { return not_a_recording_; }
  // Marks the error as the refusal of the malformed data block at `position`
  // (a data-block position, as a blocks cut counts them); the text stays.
  CwaError at_damaged_block(std::uint64_t position) && {
    damaged_block_ = position;
    return std::move(*this);
  }
  std::optional<std::uint64_t> damaged_block() const { return damaged_block_; }
  // "IO error: ..." for Io, the message itself otherwise.
  std::string text() const;
  // The message, or the I/O error's own text without the "IO error: " prefix.
  const std::string& detail() const { return detail_; }

 private:
  CwaError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  Kind kind_;
  std::string detail_;
  bool not_a_recording_ = false;
  std::optional<std::uint64_t> damaged_block_;
};

template <class T>
using Result = std::expected<T, CwaError>;

// Shorthand for `return fail("...")` in functions returning Result<T>.
inline std::unexpected<CwaError> fail(std::string text) {
  return std::unexpected(CwaError::message(std::move(text)));
}
inline std::unexpected<CwaError> fail(CwaError error) { return std::unexpected(std::move(error)); }

}  // namespace velnora
