#include "core/ops/timestamp_scan.hpp"

#include "core/read/timestamp_read.hpp"

namespace velnora {

Result<std::optional<Column<std::int64_t>>> read_timestamps(std::string_view path,
                                                            const CutConfig::Blocks& blocks,
                                                            DamagedBlocks* damaged) {
  auto plan = resolve_read_plan(path, CutConfig{blocks}, damaged);
  if (!plan) return fail(std::move(plan.error()));
  return read_block_timestamps(path, plan->start_block, plan->block_count, damaged);
}

}  // namespace velnora
