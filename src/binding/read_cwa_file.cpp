#include "binding/arguments.hpp"
#include "binding/errors.hpp"
#include "binding/functions.hpp"
#include "binding/numpy_arrays.hpp"
#include "binding/read_options.hpp"
#include "binding/read_request.hpp"
#include "core/ops/planned_samples.hpp"
#include "core/read/read_plan.hpp"

namespace velnora::py {

namespace {

constexpr const char* parameters[] = {
    "file_path",       "cut",         "include_magnetometer", "include_temperature", "include_light",
    "include_battery", "resample_hz", "resample_method"};
constexpr Signature signature{"read_cwa_file", parameters, 1};

PyObject* read_samples(const ReadOptions& options, const ReadRequest& request) {
  auto plan = resolve_read_plan(options.file_path, request.cut);
  if (!plan) return raise_cwa_error(plan.error(), PyExc_RuntimeError);
  auto data = read_planned_samples(options.file_path, *plan, options.include, request.resample_hz);
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
