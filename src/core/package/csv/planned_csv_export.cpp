#include "core/package/csv/planned_csv_export.hpp"

#include "core/package/block_reader.hpp"
#include "core/package/csv/block_csv_export.hpp"
#include "core/package/csv/result_csv_export.hpp"
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

}  // namespace

Result<void> write_planned_csv(std::string_view file_path, std::string_view output_path, const ReadPlan& plan,
                               IncludeFlags include) {
  if (auto window = check_time_window(plan.range_start_time, plan.range_end_time); !window) return window;
  if (plan.range_start_time || plan.range_end_time) {
    return write_windowed_csv(file_path, output_path, plan, include);
  }
  return write_cwa_csv_data(file_path, output_path, plan.start_block, plan.block_count, include);
}

}  // namespace velnora
