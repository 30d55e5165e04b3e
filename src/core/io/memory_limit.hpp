#pragma once

#include <cstdint>

namespace velnora {

// The most memory this process can ever hold: the machine's physical memory,
// or the process's address-space limit when that is lower. Work that would
// need more is refused up front instead of running until the kernel ends the
// process.
struct MemoryLimit {
  std::uint64_t bytes;
  bool address_space;  // the address-space limit, not the physical memory, is the bound
};

// Asks the system afresh, so a limit set while the module is loaded counts.
// No errors, no allocation.
MemoryLimit memory_limit();

}  // namespace velnora
