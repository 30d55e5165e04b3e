#include "binding/arguments.hpp"
#include "binding/errors.hpp"
#include "binding/functions.hpp"
#include "binding/numpy_arrays.hpp"
#include "binding/read_options.hpp"
#include "binding/read_request.hpp"
#include "core/package/block_reader.hpp"
#include "core/package/read_plan.hpp"
#include "core/package/resampled_read.hpp"
#include "core/package/time_filter.hpp"

namespace velnora::py {

namespace {

constexpr const char* parameters[] = {
    "file_path",       "cut",         "include_magnetometer", "include_temperature", "include_light",
    "include_battery", "resample_hz", "resample_method"};
constexpr Signature signature{"read_cwa_file", parameters, 1};

// With a rate, the resampler reads the planned blocks and applies the window
// through its grid. Otherwise every sample of the planned blocks is read, then
// cut to the window.
Result<CwaDataResult> read_planned_samples(const ReadOptions& options, const ReadPlan& plan,
                                           std::optional<double> resample_hz) {
  if (resample_hz) {
    return read_cwa_data_resampled_streaming(options.file_path, plan.start_block, plan.block_count,
                                             *resample_hz, options.include, plan.range_start_time,
                                             plan.range_end_time);
  }
  auto data = read_cwa_data(options.file_path, plan.start_block, plan.block_count, options.include);
  if (!data) return fail(std::move(data.error()));
  return filter_data_by_time_range(std::move(*data), plan.range_start_time, plan.range_end_time);
}

PyObject* read_samples(const ReadOptions& options, const ReadRequest& request) {
  auto plan = resolve_read_plan(options.file_path, request.cut);
  if (!plan) return raise_cwa_error(plan.error(), PyExc_RuntimeError);
  auto data = read_planned_samples(options, *plan, request.resample_hz);
  if (!data) return raise_cwa_error(data.error(), PyExc_RuntimeError);
  return result_to_dict(std::move(*data));
}

}  // namespace

VELNORA_ENTRY(read_cwa_file) {
  (void)module;
  return guarded([&]() -> PyObject* {
    PyObject* slots[8];
    if (!bind_arguments(signature, args, nargsf, kwnames, slots)) return nullptr;
    auto path = str_argument(slots[0], "file_path");
    if (!path) return nullptr;
    auto options = convert_read_options(*path, std::span<PyObject* const, 7>(slots + 1, 7), ReadOptions{});
    if (!options) return nullptr;
    auto request = parse_read_request(*options);
    if (!request) return nullptr;
    return read_samples(*options, *request);
  });
}

}  // namespace velnora::py
