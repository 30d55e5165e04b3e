#include "core/io/memory_limit.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <limits>

namespace velnora {

namespace {

// A call's buffers besides its grid: the CSV writer's 16 MiB and a few
// 1 MiB sector buffers, with room to spare.
constexpr std::uint64_t fixed_buffers_bytes = 64 << 20;

// The address space the process maps now (the first field of statm, in
// pages), or 0 when it cannot be read.
std::uint64_t mapped_bytes(std::uint64_t page_size) {
  const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[64];
  const ssize_t got = ::read(fd, text, sizeof text);
  ::close(fd);
  std::uint64_t pages = 0;
  if (got > 0) std::from_chars(text, text + got, pages);
  return pages * page_size;
}

}  // namespace

MemoryLimit memory_limit() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  // A system that cannot tell bounds nothing.
  MemoryLimit limit{std::numeric_limits<std::uint64_t>::max(), false};
  if (pages > 0 && page_size > 0) {
    limit.bytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
  }
  rlimit address_space{};
  if (getrlimit(RLIMIT_AS, &address_space) != 0 || address_space.rlim_cur == RLIM_INFINITY) return limit;
  const std::uint64_t taken = mapped_bytes(page_size > 0 ? static_cast<std::uint64_t>(page_size) : 0);
  const std::uint64_t total = address_space.rlim_cur;
  const std::uint64_t left = total - std::min(total, taken + fixed_buffers_bytes);
  if (left < limit.bytes) limit = {left, true};
  return limit;
}

}  // namespace velnora
