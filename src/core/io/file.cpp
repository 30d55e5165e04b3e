#include "core/io/file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/base/interruption.hpp"

namespace velnora {

namespace {

// open(2) needs a NUL-terminated path; a path with an interior NUL cannot be
// passed on and would silently name a different file.
Result<std::string> c_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return fail(CwaError::io_text("file name contained an unexpected NUL byte"));
  }
  return std::string(path);
}

int open_without_waiting(const std::string& name, int flags) {
  int fd;
  do {
    fd = ::open(name.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opened without waiting, a descriptor goes back to blocking reads and writes.
Result<void> clear_non_blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) return fail(CwaError::io_errno(errno));
  return {};
}

// ENXIO from opening a FIFO for writing means that it has no reader yet; from
// a socket or a device without a driver it is final.
bool is_fifo_without_reader(const std::string& name, int open_errno) {
  struct stat info;
  return open_errno == ENXIO && ::stat(name.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

// A wait on the outside world lasts at most this long before the caller is
// asked whether to stop: well inside the second a stop may take.
constexpr int wait_slice_ms = 20;

// Between attempts to open a FIFO that has no reader yet.
void wait_for_reader() {
  constexpr timespec pause{0, wait_slice_ms * 1'000'000};
  OutsideWait outside;
  ::nanosleep(&pause, nullptr);
}

// One slice of waiting until a descriptor that would block can take more: a
// full pipe whose reader is slow or has stopped reading.
Result<void> wait_until_writable(int fd) {
  pollfd watched{fd, POLLOUT, 0};
  int ready;
  {
    OutsideWait outside;
    ready = ::poll(&watched, 1, wait_slice_ms);
  }
  if (ready < 0 && errno != EINTR) return fail(CwaError::io_errno(errno));
  return interruption_point();
}

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

// Opening a FIFO for reading would block until a writer came.
Result<File> File::open_read(std::string_view path) {
  auto name = c_path(path);
  if (!name) return fail(std::move(name.error()));
  const int fd = open_without_waiting(*name, O_RDONLY);
  if (fd < 0) return fail(CwaError::io_errno(errno));
  File file(fd);
  if (auto blocking = clear_non_blocking(fd); !blocking) return fail(std::move(blocking.error()));
  return file;
}

// Writing into a FIFO is legitimate, but opening one blocks until a reader
// comes: the open is retried instead, so that the caller can stop the wait.
// The descriptor stays non-blocking (which a regular file ignores), so that a
// full pipe is waited for in slices too.
Result<File> File::create_write(std::string_view path) {
  auto name = c_path(path);
  if (!name) return fail(std::move(name.error()));
  int fd;
  while ((fd = open_without_waiting(*name, O_WRONLY | O_CREAT | O_TRUNC)) < 0) {
    const int open_errno = errno;
    if (!is_fifo_without_reader(*name, open_errno)) return fail(CwaError::io_errno(open_errno));
    if (auto going_on = interruption_point(); !going_on) return fail(std::move(going_on.error()));
    wait_for_reader();
  }
  return File(fd);
}

Result<std::size_t> File::read_some(std::span<std::byte> buffer, bool retry_interrupted) const {
  for (;;) {
    ssize_t got = ::read(fd_, buffer.data(), buffer.size());
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == EINTR && retry_interrupted) continue;
    return fail(CwaError::io_errno(errno));
  }
}

Result<std::size_t> File::read_up_to(std::span<std::byte> buffer) const {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    auto got = read_some(buffer.subspan(filled), true);
    if (!got) return fail(std::move(got.error()));
    if (*got == 0) break;
    filled += *got;
  }
  return filled;
}

Result<void> File::read_exact(std::span<std::byte> buffer) const {
  auto filled = read_up_to(buffer);
  if (!filled) return fail(std::move(filled.error()));
  if (*filled < buffer.size()) return fail(CwaError::unexpected_eof());
  return {};
}

Result<void> File::seek(std::uint64_t offset) const {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return fail(CwaError::io_errno(EINVAL));
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return fail(CwaError::io_errno(errno));
  return {};
}

bool File::may_hold_data(std::uint64_t offset, std::uint64_t length) const {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return true;
  const off_t data = ::lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
  // No data after the offset (ENXIO) may also mean the file shrank: reading
  // is what tells those apart.
  return data < 0 || static_cast<std::uint64_t>(data) - offset < length;
}

bool File::seekable() const { return ::lseek(fd_, 0, SEEK_CUR) >= 0; }

Result<std::uint64_t> File::size() const {
  struct stat info;
  if (::fstat(fd_, &info) != 0) return fail(CwaError::io_errno(errno));
  return static_cast<std::uint64_t>(info.st_size);
}

Result<std::size_t> File::write_some(std::span<const std::byte> data) const {
  for (;;) {
    ssize_t put = ::write(fd_, data.data(), data.size());
    if (put >= 0) return static_cast<std::size_t>(put);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (auto waited = wait_until_writable(fd_); !waited) return fail(std::move(waited.error()));
    } else if (errno != EINTR) {
      return fail(CwaError::io_errno(errno));
    }
  }
}

Result<void> File::truncate(std::uint64_t size) const {
  if (size > static_cast<std::uint64_t>(INT64_MAX)) return fail(CwaError::io_errno(EINVAL));
  int done;
  do {
    done = ::ftruncate(fd_, static_cast<off_t>(size));
  } while (done != 0 && errno == EINTR);
  if (done != 0) return fail(CwaError::io_errno(errno));
  return seek(size);
}

}  // namespace velnora
