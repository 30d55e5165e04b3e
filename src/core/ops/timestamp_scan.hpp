#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/column.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/read_plan.hpp"

namespace velnora {

// The timestamps a read of a blocks cut gives, nothing when its range holds
// no data block; with `damaged`, past damage (read_block_timestamps). Errors:
// the plan's, then the read's.
Result<std::optional<Column<std::int64_t>>> read_timestamps(std::string_view path,
                                                            const CutConfig::Blocks& blocks,
                                                            DamagedBlocks* damaged = nullptr);

}  // namespace velnora
