#include "binding/arguments.hpp"
#include "binding/errors.hpp"
#include "binding/functions.hpp"
#include "binding/read_options.hpp"
#include "binding/read_request.hpp"
#include "core/ops/planned_samples.hpp"
#include "core/read/read_plan.hpp"

namespace velnora::py {

namespace {
constexpr const char* parameters[] = {
    "file_path",     "output_path",     "cut",         "include_magnetometer", "include_temperature",
    "include_light", "include_battery", "resample_hz", "resample_method"};
constexpr Signature signature{"write_cwa_csv", parameters, 2};

ReadOptions csv_defaults() {
  ReadOptions defaults;
  defaults.include = {.magnetometer = true, .temperature = false, .light = false, .battery = false};
  return defaults;
}

PyObject* export_samples(const ReadOptions& options, std::string_view output_path,
                         const ReadRequest& request) {
  auto plan = resolve_read_plan(options.file_path, request.cut);
  if (!plan) return raise_cwa_error(plan.error(), PyExc_RuntimeError);
  auto written =
      write_planned_csv(options.file_path, output_path, *plan, options.include, request.resample_hz);
  if (!written) return raise_cwa_error(written.error(), PyExc_RuntimeError);
  Py_RETURN_NONE;
}

}  // namespace

VELNORA_ENTRY(write_cwa_csv) {
  (void)module;
  return guarded([&]() -> PyObject* {
    PyObject* slots[9];
    if (!bind_arguments(signature, args, nargsf, kwnames, slots)) return nullptr;
    // Parameter order: file_path, output_path, then the options read_cwa_file shares.
    auto path = str_argument(slots[0], "file_path");
    if (!path) return nullptr;
    auto output = str_argument(slots[1], "output_path");
    if (!output) return nullptr;
    auto options = convert_read_options(*path, std::span<PyObject* const, 7>(slots + 2, 7), csv_defaults());
    if (!options) return nullptr;
    auto request = parse_read_request(*options);
    if (!request) return nullptr;
    return export_samples(*options, *output, *request);
  });
}

}  // namespace velnora::py
