#pragma once

#include <cstdint>

namespace velnora {

// The most memory a call may still take for what grows with its work: the
// machine's physical memory or, when that is lower, what the process's
// address-space limit leaves beside what the process already maps, less
// room for the call's fixed buffers (sector reads, the CSV writer's 16 MiB).
// Work that would need more is refused up front instead of running until an
// allocation fails or the kernel ends the process.
struct MemoryLimit {
  std::uint64_t bytes;
  bool address_space;  // the address-space limit, not the physical memory, is the bound
};

// Asks the system afresh, so a limit set while the module is loaded counts;
// what the process maps is read from /proc (nothing where it cannot be).
// No errors; allocates a path's text.
MemoryLimit memory_limit();

}  // namespace velnora
