#include "core/read/damaged_blocks.hpp"

#include <algorithm>

namespace velnora {

const char* left_out_text(LeftOut reason) {
  return reason == LeftOut::time_out_of_place ? "time out of place" : "damaged";
}

void put_in_file_order(DamagedBlocks& damaged) {
  const auto position = [](const DamagedBlock& entry) { return entry.block; };
  std::ranges::stable_sort(damaged, {}, position);
  const auto repeated = std::ranges::unique(damaged, {}, position);
  damaged.erase(repeated.begin(), repeated.end());
}

DamagedBlock damaged_entry(const CwaError& error, Sector sector, std::uint64_t position, bool outside_range) {
  return {position, error.text(), outside_range, refused_block_sample_count(sector)};
}

Result<std::optional<CwaDataBlock>> pass_over_damage(CwaError error, Sector sector, std::uint64_t position,
                                                     DamagedBlocks* damaged, BlockClock& clock) {
  if (damaged == nullptr) return fail(std::move(error).at_damaged_block(position));
  damaged->push_back(damaged_entry(error, sector, position, false));
  clock = BlockClock();
  return std::optional<CwaDataBlock>();
}

}  // namespace velnora
