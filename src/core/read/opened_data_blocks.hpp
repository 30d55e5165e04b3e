#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/io/sector_reader.hpp"

namespace velnora {

// An input file checked and positioned at the first block of a planned range.
struct OpenedDataBlocks {
  SectorReader reader;  // positioned at data block `start_block`
  std::uint64_t start_block;
  std::uint64_t end_block;  // exclusive, never beyond the file's block count
  // Natural end of the nearest data block before `start_block`: the continuity
  // state a read of the range starts from, so a range gets the same timestamps
  // as a read of the whole file.
  std::optional<double> prev_end;
};

// Opens and checks the file, clamps the range to it and finds the previous
// block's end. Errors: the file check's, "Start block is beyond file size",
// "Unexpected end of CWA data", a malformed previous block's message, Io.
// Allocates the reader's buffer.
Result<OpenedDataBlocks> open_cwa_data_blocks(std::string_view path, std::optional<std::uint64_t> start_block,
                                              std::optional<std::uint64_t> block_count);

}  // namespace velnora
