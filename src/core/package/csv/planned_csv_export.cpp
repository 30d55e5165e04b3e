#include "core/package/csv/planned_csv_export.hpp"

#include "core/package/block_reader.hpp"
#include "core/package/csv/block_csv_export.hpp"
#include "core/package/csv/result_csv_export.hpp"
#include "core/package/resampled_read.hpp"
#include "core/package/time_filter.hpp"
#include "core/package/time_window.hpp"

namespace velnora {

namespace {

Result<void> write_windowed_csv(std::string_view file_path, std::string_view output_path,
                                const ReadPlan& plan, IncludeFlags include) {
  auto data = read_cwa_data(file_path, plan.start_block, plan.block_count, include);
  if (!data) return fail(std::move(data.error()));
  auto kept = filter_data_by_time_range(std::move(*data), plan.range_start_time, plan.range_end_time);
  if (!kept) return fail(std::move(kept.error()));
  return write_data_result_csv(output_path, *kept, include);
}

Result<void> write_resampled_csv(std::string_view file_path, std::string_view output_path,
                                 const ReadPlan& plan, IncludeFlags include, double resample_hz) {
  auto grid = read_cwa_data_resampled_streaming(file_path, plan.start_block, plan.block_count, resample_hz,
                                                include, plan.range_start_time, plan.range_end_time);
  if (!grid) return fail(std::move(grid.error()));
  return write_data_result_csv(output_path, *grid, include);
}

}  // namespace

Result<void> write_planned_csv(std::string_view file_path, std::string_view output_path, const ReadPlan& plan,
                               IncludeFlags include, std::optional<double> resample_hz) {
  if (auto window = check_time_window(plan.range_start_time, plan.range_end_time); !window) return window;
  if (resample_hz) return write_resampled_csv(file_path, output_path, plan, include, *resample_hz);
  if (plan.range_start_time || plan.range_end_time) {
    return write_windowed_csv(file_path, output_path, plan, include);
  }
  return write_cwa_csv_data(file_path, output_path, plan.start_block, plan.block_count, include);
}

}  // namespace velnora
