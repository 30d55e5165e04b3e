#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/format/block_clock.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/decoded_block_stream.hpp"

namespace velnora {

// The data blocks of a planned range whose times agree with the blocks around
// them, for readers that must not let one block's clock stretch a recording
// over years or set the rest of it back. A block whose neighbours leave room
// for it where its clock does not put it (out_of_place_between; at either end
// of a run of blocks, out_of_place_first and out_of_place_last) is left out,
// listed with the samples it held, and the block after it keeps its natural
// start, as after damage. A block's neighbours are the nearest data blocks on
// either side, through filler sectors but not across damage, whatever their
// own verdicts: so the verdicts are local, and read also before and beyond the
// range (damage there only ends the look), a range's blocks are judged and
// timed as a read of the whole recording judges and times them.
class PlacedBlockStream {
 public:
  // Opens the planned range as DecodedBlockStream::open does (without the
  // magnetometer); with `damaged`, reads past damage into it. Blocks out of
  // place go to `left_out`, which may be the same list; both must outlive the
  // stream. Errors: those of DecodedBlockStream::open. Allocates the reader's
  // buffer.
  static Result<PlacedBlockStream> open(std::string_view path, std::optional<std::uint64_t> start_block,
                                        std::optional<std::uint64_t> block_count, DamagedBlocks* damaged,
                                        DamagedBlocks& left_out);

  // The next block of the range in place: its accelerometer alone, and its
  // timing without timestamps (timed_acceleration), valid until the next
  // call. Errors: those of DecodedBlockStream::next. No allocation but for
  // an entry of a list.
  Result<std::optional<DecodedBlock>> next();

 private:
  static constexpr std::size_t slot_count = 3;
  static constexpr std::size_t no_slot = slot_count;

  // A block read ahead of the one judged next, the first of them that one.
  struct Ahead {
    UntimedBlock block;
    std::size_t slot;  // where its samples lie; no_slot for a block before the range
  };

  PlacedBlockStream(DecodedBlockStream stream, std::uint64_t range_end, DamagedBlocks& left_out);

  // Reads blocks ahead until the front can be judged.
  Result<void> read_ahead();
  // Where the front block would lie if its time were in place; nothing when it is.
  std::optional<double> place_of_front() const;
  Ahead take_front();
  void leave_out(const UntimedBlock& block, double place);

  DecodedBlockStream stream_;
  std::uint64_t range_end_;
  DamagedBlocks& left_out_;
  // Damage past the range ends the look ahead without being listed or failing.
  DamagedBlocks beyond_range_;
  bool past_range_ = false;
  std::size_t blocks_beyond_ = 0;
  bool stream_ended_ = false;
  std::array<Ahead, slot_count> ahead_{};
  std::size_t ahead_count_ = 0;
  // The two data blocks before the front, the nearer last; none across damage.
  std::array<std::optional<BlockTiming>, 2> behind_{};
  BlockClock clock_;
  std::array<AccelerationBuffer, slot_count> slots_{};
  std::size_t released_slot_ = no_slot;
};

}  // namespace velnora
