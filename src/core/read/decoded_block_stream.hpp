#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/format/block_clock.hpp"
#include "core/format/data_block.hpp"
#include "core/io/sector_reader.hpp"
#include "core/read/damaged_blocks.hpp"

namespace velnora {

// A data block before a range: its position and natural timing.
struct PreviousBlock {
  std::uint64_t position;
  BlockTiming natural;
};

// The data blocks nearest before a range, nearest first, with no damage
// between them and the range.
struct PreviousBlocks {
  std::array<PreviousBlock, 2> nearest_first{};
  std::size_t count = 0;
};

// An input file checked and positioned at the first block of a planned range.
struct OpenedDataBlocks {
  SectorReader reader;  // positioned at data block `start_block`
  std::uint64_t start_block;
  std::uint64_t end_block;  // exclusive, never beyond the file's block count
  // Starts from the natural end of the nearest data block before
  // `start_block`, so a range gets the same timestamps as a read of the whole
  // file; from NaN, which keeps the first block's natural start, when a read
  // past damage meets a damaged block first.
  BlockClock clock;
  std::uint64_t file_blocks;  // the file's data block positions
  // Those the search for the previous block's end met: one, or two when asked.
  PreviousBlocks before;
};

// What every reader of a range says when the range holds no sample.
inline constexpr char no_samples_in_range[] = "No valid sample data found in the specified range";

// How far back a range's start may look for the data block before it.
inline constexpr std::uint64_t unlimited_look_back = UINT64_MAX;

// Opens and checks the file, clamps the range to it and finds the previous
// block's end, no more than `look_back` positions back: past that, the first
// block is timed as if it had none before it. With `damaged`, a malformed
// block before the range stands for a previous block of unknown end instead
// of failing, and is listed there as lying outside the range; with
// `blocks_before` 2, the search goes on to the second data block before the
// range, and damage there only ends it. Errors: the file check's, "Start
// block is beyond file size", "Unexpected end of CWA data", a malformed
// previous block's message, Io. Allocates the reader's buffer.
Result<OpenedDataBlocks> open_cwa_data_blocks(std::string_view path, std::optional<std::uint64_t> start_block,
                                              std::optional<std::uint64_t> block_count,
                                              DamagedBlocks* damaged = nullptr,
                                              std::uint64_t look_back = unlimited_look_back,
                                              std::size_t blocks_before = 1);

// One data block, decoded and timed. The spans point into the stream and
// stay valid until its next call. A block decoded into an
// AccelerationBuffer has its `acceleration`, its `timing` and its
// temperature alone: no samples, no other readings (0.0), and no
// timestamps, which a reader then takes from the timing where it needs them.
struct DecodedBlock {
  std::span<const std::int64_t> timestamps;
  std::span<const SampleData> samples;
  bool has_magnetometer;
  BlockReadings readings;
  std::uint64_t position;
  BlockTiming timing;
  AccelerationSpans acceleration;
};

// One data block decoded but not yet timed, for a reader that must see the
// blocks after it first; its samples (or its acceleration alone) are a view
// into the buffer it was decoded into.
struct UntimedBlock {
  std::uint64_t position;
  BlockTiming natural;
  std::span<const SampleData> samples;
  bool has_magnetometer;
  BlockReadings readings;
  bool after_damage;  // a damaged block lies between it and the data block before it
  AccelerationSpans acceleration{};
};

// The block timed by `timing`, its timestamps written into `timestamps`. No errors, no allocation.
DecodedBlock timed(const UntimedBlock& block, const BlockTiming& timing,
                   std::array<std::int64_t, max_samples_per_block>& timestamps);
// The block, decoded into an AccelerationBuffer, timed by `timing` alone. No errors, no allocation.
DecodedBlock timed_acceleration(const UntimedBlock& block, const BlockTiming& timing);

// The per-block sequence every reading path shares: read a planned block
// position, screen it, decode it, timestamp its samples against the previous
// data block, convert its readings. Sectors that are not data blocks are
// skipped; a malformed block ends the read, or, for a stream given a list of
// damaged blocks, is listed there and passed over (see screen_past_damage).
class DecodedBlockStream {
 public:
  // Opens the planned range; with `damaged`, reads past damage into that list,
  // which must outlive the stream, the block before the range among it;
  // `look_back` as open_cwa_data_blocks'.
  // Errors: those of open_cwa_data_blocks. Allocates the reader's buffer.
  static Result<DecodedBlockStream> open(std::string_view path, std::optional<std::uint64_t> start_block,
                                         std::optional<std::uint64_t> block_count, bool include_magnetometer,
                                         DamagedBlocks* damaged = nullptr,
                                         std::uint64_t look_back = unlimited_look_back,
                                         std::size_t blocks_before = 1);

  // The next data block, or nothing when the range is exhausted. Errors:
  // "Unexpected end of CWA data", Io, a malformed block's message, Interrupted
  // (asked at every block position). No allocation except for an error or a
  // listed damaged block.
  Result<std::optional<DecodedBlock>> next();
  // The next data block decoded into `into` and left untimed; the stream's
  // own clock is left as it was. Into an AccelerationBuffer, the
  // accelerometer alone. Errors and allocation as next's.
  Result<std::optional<UntimedBlock>> next_untimed(SampleBuffer& into);
  Result<std::optional<UntimedBlock>> next_untimed(AccelerationBuffer& into);

  // Block positions in the range, data or not: a bound for capacity planning.
  std::uint64_t planned_blocks() const { return opened_.end_block - opened_.start_block; }

  // The position of the next block to read, and the end of the range.
  std::uint64_t position() const { return position_; }
  std::uint64_t end_position() const { return opened_.end_block; }
  // Moves the end of the range to `end` (no earlier than position(), no
  // later than the file's block count); reading on to a later end takes the
  // blocks up to it as if the range had always reached there. No errors.
  void end_at(std::uint64_t end) { opened_.end_block = end; }
  // Lists the damage met from now on into `damaged` (which must outlive the
  // stream) instead; a reader past damage only.
  void list_damage_into(DamagedBlocks* damaged) { damaged_ = damaged; }
  // The file's data block positions, and the data blocks found before the range.
  std::uint64_t file_blocks() const { return opened_.file_blocks; }
  const PreviousBlocks& blocks_before() const { return opened_.before; }
  // The clock that times the first block: from the end of the block before the range.
  const BlockClock& clock() const { return opened_.clock; }

 private:
  DecodedBlockStream(OpenedDataBlocks opened, bool include_magnetometer, DamagedBlocks* damaged)
      : opened_(std::move(opened)),
        position_(opened_.start_block),
        include_magnetometer_(include_magnetometer),
        damaged_(damaged) {}

  // The next data block screened, its samples decoded by `decode(const
  // CwaDataBlock&, UntimedBlock&)`.
  template <class Decode>
  Result<std::optional<UntimedBlock>> next_screened(Decode&& decode);

  OpenedDataBlocks opened_;
  std::uint64_t position_;
  bool include_magnetometer_;
  DamagedBlocks* damaged_;
  SampleBuffer samples_{};
  std::array<std::int64_t, max_samples_per_block> timestamps_{};
};

}  // namespace velnora
