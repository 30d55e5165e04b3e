#include "core/ops/planned_read.hpp"

#include "core/read/direct_read.hpp"
#include "core/resample/resampled_read.hpp"

namespace velnora {

Result<CwaDataResult> read_planned_samples(std::string_view path, const ReadPlan& plan, IncludeFlags include,
                                           std::optional<double> resample_hz) {
  if (resample_hz) {
    return read_cwa_data_resampled_streaming(path, plan.start_block, plan.block_count, *resample_hz, include,
                                             plan.range_start_time, plan.range_end_time);
  }
  auto data = read_cwa_data(path, plan.start_block, plan.block_count, include);
  if (!data) return fail(std::move(data.error()));
  return filter_data_by_time_range(std::move(*data), plan.range_start_time, plan.range_end_time);
}

}  // namespace velnora
