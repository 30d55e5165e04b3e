#include "core/io/memory_limit.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <span>
#include <system_error>

#include "core/io/file.hpp"

namespace velnora {

namespace {

// A call's buffers besides its grid: the CSV writer's 16 MiB and a few
// 1 MiB sector buffers, with room to spare.
constexpr std::uint64_t fixed_buffers_bytes = 64 << 20;

// The address space the process maps now (the first field of statm, in
// pages), or 0 when it cannot be read.
std::uint64_t mapped_bytes(std::uint64_t page_size) {
  auto statm = File::open_read("/proc/self/statm");
  if (!statm) return 0;
  std::array<char, 64> text;
  auto got = statm->read_up_to(std::as_writable_bytes(std::span(text)));
  std::uint64_t pages = 0;
  if (!got || std::from_chars(text.data(), text.data() + *got, pages).ec != std::errc()) return 0;
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
  if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY &&
      address_space.rlim_cur < limit.bytes) {
    limit = {static_cast<std::uint64_t>(address_space.rlim_cur), true};
  }
  return limit;
}

MemoryLimit memory_room() {
  MemoryLimit room = memory_limit();
  if (!room.address_space) return room;
  const long page_size = sysconf(_SC_PAGESIZE);
  const std::uint64_t taken = mapped_bytes(page_size > 0 ? static_cast<std::uint64_t>(page_size) : 0);
  room.bytes -= std::min(room.bytes, taken + fixed_buffers_bytes);
  return room;
}

}  // namespace velnora
