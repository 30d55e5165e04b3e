#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "core/base/cwa_error.hpp"

namespace velnora {

// An owned POSIX file descriptor, closed by the destructor on every path.
class File {
 public:
  File() = default;
  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Opens read-only, never waiting (a FIFO opens at once, writer or not).
  // Errors: Io (including a path holding a NUL byte). No allocation.
  static Result<File> open_read(std::string_view path);
  // Creates or truncates for writing with mode 0o666 less the umask. A FIFO
  // is opened once a reader comes. Errors: Io, Interrupted while waiting for
  // that reader. Other threads of the caller may run while it waits.
  static Result<File> create_write(std::string_view path);

  // One read(2) of at most buffer.size() bytes; 0 means end of file.
  // `retry_interrupted` decides whether EINTR is retried. Errors: Io.
  Result<std::size_t> read_some(std::span<std::byte> buffer, bool retry_interrupted) const;
  // Fills the whole buffer, retrying interrupted reads; a short file gives
  // "failed to fill whole buffer". Errors: Io.
  Result<void> read_exact(std::span<std::byte> buffer) const;
  // Reads until the buffer is full or the file ends; returns the byte count. Errors: Io.
  Result<std::size_t> read_up_to(std::span<std::byte> buffer) const;
  // Absolute positioning. Errors: Io.
  Result<void> seek(std::uint64_t offset) const;
  // Whether [offset, offset + length) may hold data: false only when the file
  // system reports the range as a hole of a sparse file, which reads as zeros.
  // A file system that cannot tell, or any failure, answers true.
  bool may_hold_data(std::uint64_t offset, std::uint64_t length) const;
  // Whether the file can be positioned: not a FIFO, pipe or terminal.
  bool seekable() const;
  // Size from fstat. Errors: Io.
  Result<std::uint64_t> size() const;
  // One write(2) of at most data.size() bytes, retrying interrupted writes
  // and waiting for a full pipe to drain, asking meanwhile whether to stop
  // (other threads of the caller may run then); returns the count written, so
  // a caller can resume after a failure without writing anything twice.
  // Errors: Io, Interrupted. No allocation.
  Result<std::size_t> write_some(std::span<const std::byte> data) const;
  // Cuts the file to `size` bytes and positions it there. Errors: Io (EINVAL
  // for a FIFO, pipe or terminal, which cannot be cut).
  Result<void> truncate(std::uint64_t size) const;

  int fd() const { return fd_; }

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace velnora
