#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "core/base/cwa_error.hpp"
#include "core/read/damaged_blocks.hpp"

namespace velnora {

// Which part of a recording a read covers. A plain value, copied freely.
struct CutConfig {
  // The whole recording.
  struct NoCut {};
  // Data-block positions [start, end); absent start is 0, absent end the last block.
  struct Blocks {
    std::optional<std::uint64_t> start;
    std::optional<std::uint64_t> end;
  };
  // Seconds [start, end) from the first data block's start; absent is unbounded.
  struct Seconds {
    std::optional<double> start;
    std::optional<double> end;
  };

  std::variant<NoCut, Blocks, Seconds> range;

  // The message of the first rule the cut breaks; allocates only for that message.
  Result<void> validate() const;
};

// The blocks to read and the time window to keep, in absolute terms.
struct ReadPlan {
  std::optional<std::uint64_t> start_block;  // absent: 0
  std::optional<std::uint64_t> block_count;  // absent: to the end of the file
  std::optional<double> range_start_time;    // seconds since the epoch, inclusive
  std::optional<double> range_end_time;      // seconds since the epoch, exclusive
};

// Checks a time window [start, end) in seconds, each bound optional: the
// finiteness of both before their order. Errors: "time range values must be
// finite", "range_end_time must be greater than range_start_time". No
// allocation except for an error.
Result<void> check_time_window(std::optional<double> start, std::optional<double> end);

// Turns a cut into a plan; a seconds cut scans the timing of every block,
// with `damaged` passing over malformed blocks as a read past damage does
// (DecodedBlockStream), so that both time every block alike, and listing
// there, as outside the range, those outside the planned blocks; the read
// lists the others. The plan's
// window has passed check_time_window: the reads it drives take it as it is.
// Errors: the cut's validation message, the file check's, "Start block is
// beyond file size", "Unexpected end of CWA data", "No valid sample data
// found", "No samples remain after applying seconds cut", those of
// check_time_window (bounds that meet once the recording's start is added),
// a malformed block's message, Io, Interrupted. Allocates one span per data
// block for a seconds cut.
Result<ReadPlan> resolve_read_plan(std::string_view path, const CutConfig& cut,
                                   DamagedBlocks* damaged = nullptr);

}  // namespace velnora
