#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/column.hpp"
#include "core/read/damaged_blocks.hpp"

namespace velnora {

// The timestamp column alone of read_cwa_data over the same range, for a scan
// of a recording's timing that needs none of its values; nothing when the
// range holds no data block, which a scan in chunks meets at a stretch of
// filler sectors. With `damaged`, past damage into that list
// (DecodedBlockStream). Errors: those of opening the range and of every block
// read; no partial result. Allocates the column (address space for the whole
// range up front, every block as full as the first).
Result<std::optional<Column<std::int64_t>>> read_block_timestamps(std::string_view path,
                                                                  std::optional<std::uint64_t> start_block,
                                                                  std::optional<std::uint64_t> block_count,
                                                                  DamagedBlocks* damaged = nullptr);

}  // namespace velnora
