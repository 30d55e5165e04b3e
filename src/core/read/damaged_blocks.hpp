#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/base/cwa_error.hpp"
#include "core/format/block_clock.hpp"
#include "core/format/data_block.hpp"
#include "core/io/sector_reader.hpp"

namespace velnora {

// Why a read left a data block out.
enum class LeftOut : std::uint8_t {
  damaged,            // malformed: a plain read fails there
  time_out_of_place,  // well formed, but its clock puts it away from its neighbours
};

// The reason's text, as the companion names it: "damaged", "time out of place".
const char* left_out_text(LeftOut reason);

// A data block that a read passed over: its data-block position, the message
// a plain read fails with there (or what is wrong with its time), whether it
// lay outside the range read (the block before it, searched for timing, or
// any block of the scan that placed a seconds cut), where a plain read of
// the range meets it all the same, the samples it may have held
// (refused_block_sample_count; all it held, for a block out of place) and
// why it was left out.
struct DamagedBlock {
  std::uint64_t block;
  std::string message;
  bool outside_range = false;
  std::uint64_t sample_count = 0;
  LeftOut reason = LeftOut::damaged;
};

// The damaged blocks a read passed over, in file order.
using DamagedBlocks = std::vector<DamagedBlock>;

// The entry of the block in `sector` at `position`, refused with `error`.
DamagedBlock damaged_entry(const CwaError& error, Sector sector, std::uint64_t position, bool outside_range);

// Sorts a list gathered in parts (a plan's scan, then the read) into file
// order, each block once, the first listing kept. No allocation.
void put_in_file_order(DamagedBlocks& damaged);

// The damaged block's way through screen_past_damage, kept out of line: with
// a list, lists `error` at `position` with the samples `sector` may have
// held, starts `clock` afresh and answers "no data block"; without, fails
// with `error` marked as that block's (at_damaged_block).
Result<std::optional<CwaDataBlock>> pass_over_damage(CwaError error, Sector sector, std::uint64_t position,
                                                     DamagedBlocks* damaged, BlockClock& clock);

// screen_data_block for the readers that can pass over damage. Without a
// list a malformed block is its error, marked with its position. With one it is listed there
// at `position` and comes back as no data block, and `clock` starts afresh:
// the damaged block's end is unknown, so the next data block keeps its
// natural start, as the first block of a recording does. Inline, so that
// screening a sector costs what screen_data_block costs; allocates only for a
// damaged block.
inline Result<std::optional<CwaDataBlock>> screen_past_damage(Sector sector, std::uint64_t position,
                                                              DamagedBlocks* damaged, BlockClock& clock) {
  // One named result, built in the caller's place: a copy of it would be read
  // back wider than it was written, which stalls every block.
  auto block = screen_data_block(sector);
  if (!block) [[unlikely]]
    block = pass_over_damage(std::move(block.error()), sector, position, damaged, clock);
  return block;
}

}  // namespace velnora
