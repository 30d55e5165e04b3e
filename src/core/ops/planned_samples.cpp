#include "core/ops/planned_samples.hpp"

#include "core/csv/csv_export.hpp"
#include "core/read/direct_read.hpp"
#include "core/resample/resampled_read.hpp"

namespace velnora {

Result<CwaDataResult> read_planned_samples(std::string_view path, const ReadPlan& plan, IncludeFlags include,
                                           std::optional<double> resample_hz, DamagedBlocks* damaged) {
  if (resample_hz) {
    return read_cwa_data_resampled_streaming(path, plan.start_block, plan.block_count, *resample_hz, include,
                                             plan.range_start_time, plan.range_end_time, damaged);
  }
  auto data = read_cwa_data(path, plan.start_block, plan.block_count, include, damaged);
  if (!data) return fail(std::move(data.error()));
  return filter_data_by_time_range(std::move(*data), plan.range_start_time, plan.range_end_time);
}

Result<void> write_planned_csv(std::string_view file_path, std::string_view output_path, const ReadPlan& plan,
                               IncludeFlags include, std::optional<double> resample_hz,
                               DamagedBlocks* damaged) {
  if (auto distinct = check_output_is_not_input(file_path, output_path); !distinct) return distinct;
  // Without a rate or a window every row can be written as its block is
  // decoded; otherwise all reading finishes before the output is touched.
  if (!resample_hz && !plan.range_start_time && !plan.range_end_time) {
    return write_cwa_csv_data(file_path, output_path, plan.start_block, plan.block_count, include, damaged);
  }
  auto data = read_planned_samples(file_path, plan, include, resample_hz, damaged);
  if (!data) return fail(std::move(data.error()));
  return write_data_result_csv(output_path, *data, include);
}

Result<CwaDataResult> read_cut_samples(std::string_view path, const CutConfig& cut, IncludeFlags include,
                                       std::optional<double> resample_hz, DamagedBlocks* damaged) {
  auto plan = resolve_read_plan(path, cut, damaged);
  if (!plan) return fail(std::move(plan.error()));
  auto data = read_planned_samples(path, *plan, include, resample_hz, damaged);
  if (damaged != nullptr) put_in_file_order(*damaged);
  return data;
}

Result<void> write_cut_csv(std::string_view file_path, std::string_view output_path, const CutConfig& cut,
                           IncludeFlags include, std::optional<double> resample_hz, DamagedBlocks* damaged) {
  auto plan = resolve_read_plan(file_path, cut, damaged);
  if (!plan) return fail(std::move(plan.error()));
  auto written = write_planned_csv(file_path, output_path, *plan, include, resample_hz, damaged);
  if (damaged != nullptr) put_in_file_order(*damaged);
  return written;
}

}  // namespace velnora
