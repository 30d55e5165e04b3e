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

// memory_limit(), where an address-space limit is the bound, less what the
// process maps already and room for a call's fixed buffers (sector reads,
// the CSV writer's 16 MiB): what a grid may still take. Reads /proc once,
// so it is asked once per call, not per row. No errors; allocates a path's
// text.
MemoryLimit memory_room();

}  // namespace velnora
