#include "core/read/damaged_blocks.hpp"

namespace velnora {

Result<std::optional<CwaDataBlock>> pass_over_damage(const CwaError& error, std::uint64_t position,
                                                     DamagedBlocks& damaged, BlockClock& clock) {
  damaged.push_back({position, error.text()});
  clock = BlockClock();
  return std::optional<CwaDataBlock>();
}

}  // namespace velnora
