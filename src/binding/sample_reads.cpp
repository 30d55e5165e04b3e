#include <optional>
#include <string_view>

#include "binding/arguments.hpp"
#include "binding/cuts.hpp"
#include "binding/entry_point.hpp"
#include "binding/numpy_arrays.hpp"
#include "core/format/channels.hpp"
#include "core/ops/planned_samples.hpp"
#include "core/read/read_plan.hpp"
#include "core/resample/resampled_read.hpp"

namespace velnora::py {

namespace {

constexpr const char* read_parameters[] = {
    "file_path",       "cut",         "include_magnetometer", "include_temperature", "include_light",
    "include_battery", "resample_hz", "resample_method"};
constexpr Signature read_signature{"read_cwa_file", read_parameters, 1};

constexpr const char* csv_parameters[] = {
    "file_path",     "output_path",     "cut",         "include_magnetometer", "include_temperature",
    "include_light", "include_battery", "resample_hz", "resample_method"};
constexpr Signature csv_signature{"write_cwa_csv", csv_parameters, 2};

constexpr IncludeFlags csv_defaults{
    .magnetometer = true, .temperature = false, .light = false, .battery = false};

// The parameters both functions share after their paths, in order: cut, the
// four flags, resample_hz, resample_method.
using OptionSlots = Slots<7>;

// What a read or an export was asked for, checked before any file is touched.
struct ReadRequest {
  IncludeFlags include;
  CutConfig cut;
  std::optional<double> resample_hz;  // absent: no resampling
};

PyResult<IncludeFlags> include_flags(OptionSlots options, const IncludeFlags& defaults) {
  auto magnetometer = flag_argument(options[1], "include_magnetometer", defaults.magnetometer);
  if (!magnetometer) return propagate(magnetometer);
  auto temperature = flag_argument(options[2], "include_temperature", defaults.temperature);
  if (!temperature) return propagate(temperature);
  auto light = flag_argument(options[3], "include_light", defaults.light);
  if (!light) return propagate(light);
  auto battery = flag_argument(options[4], "include_battery", defaults.battery);
  if (!battery) return propagate(battery);
  return IncludeFlags{*magnetometer, *temperature, *light, *battery};
}

// Every option is converted before the cut is parsed, and the cut before the
// resampling options are checked; the first failure is raised.
PyResult<ReadRequest> read_request(OptionSlots options, const IncludeFlags& defaults) {
  auto include = include_flags(options, defaults);
  if (!include) return propagate(include);
  auto rate = optional_f64_argument(options[5], "resample_hz");
  if (!rate) return propagate(rate);
  auto method = str_argument(options[6], "resample_method", "cubic");
  if (!method) return propagate(method);
  auto cut = parse_cut_config(options[0]);
  if (!cut) return propagate(cut);
  auto resample_hz = to_py_result(validate_resample_options(*rate, *method), PyExc_ValueError);
  if (!resample_hz) return propagate(resample_hz);
  return ReadRequest{*include, *cut, *resample_hz};
}

PyResult<ReadPlan> read_plan(std::string_view path, const ReadRequest& request) {
  return to_py_result(resolve_read_plan(path, request.cut), PyExc_RuntimeError);
}

PyResult<Ref> read_samples(Slots<8> slots) {
  auto path = str_argument(slots[0], "file_path");
  if (!path) return propagate(path);
  auto request = read_request(slots.subspan<1>(), IncludeFlags{});
  if (!request) return propagate(request);
  auto plan = read_plan(*path, *request);
  if (!plan) return propagate(plan);
  // Before the columns take memory, so that NumPy's start-up never meets a limit at peak.
  if (auto ready = ensure_numpy(); !ready) return propagate(ready);
  auto data = to_py_result(read_planned_samples(*path, *plan, request->include, request->resample_hz),
                           PyExc_RuntimeError);
  if (!data) return propagate(data);
  return result_to_dict(std::move(*data));
}

PyResult<Ref> export_samples(Slots<9> slots) {
  auto path = str_argument(slots[0], "file_path");
  if (!path) return propagate(path);
  auto output = str_argument(slots[1], "output_path");
  if (!output) return propagate(output);
  auto request = read_request(slots.subspan<2>(), csv_defaults);
  if (!request) return propagate(request);
  auto plan = read_plan(*path, *request);
  if (!plan) return propagate(plan);
  auto written = to_py_result(
      write_planned_csv(*path, *output, *plan, request->include, request->resample_hz), PyExc_RuntimeError);
  if (!written) return propagate(written);
  return Ref::borrow(Py_None);
}

}  // namespace

PyObject* read_cwa_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<read_signature, read_samples>(args, nargsf, kwnames);
}

PyObject* write_cwa_csv(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<csv_signature, export_samples>(args, nargsf, kwnames);
}

}  // namespace velnora::py
