#include "core/read/damaged_blocks.hpp"

namespace velnora {

Result<std::optional<CwaDataBlock>> screen_past_damage(Sector sector, std::uint64_t position,
                                                       DamagedBlocks* damaged, BlockClock& clock) {
  auto block = screen_data_block(sector);
  if (block || damaged == nullptr) return block;
  damaged->push_back({position, block.error().text()});
  clock = BlockClock();
  return std::optional<CwaDataBlock>();
}

}  // namespace velnora
