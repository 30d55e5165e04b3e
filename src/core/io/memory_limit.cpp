#include "core/io/memory_limit.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <limits>

namespace velnora {

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

}  // namespace velnora
