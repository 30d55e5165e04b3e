#include "binding/read_request.hpp"

#include "binding/arguments.hpp"
#include "binding/cuts.hpp"
#include "core/ops/planned_samples.hpp"

namespace velnora::py {

namespace {

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

}  // namespace

PyResult<ReadRequest> read_request(OptionSlots options, const IncludeFlags& defaults) {
  auto include = include_flags(options, defaults);
  if (!include) return propagate(include);
  auto rate = optional_f64_argument(options[5], "resample_hz");
  if (!rate) return propagate(rate);
  auto method = str_argument(options[6], "resample_method", "cubic");
  if (!method) return propagate(method);
  auto cut = parse_cut_config(options[0]);
  if (!cut) return propagate(cut);
  auto resample_hz = to_py_result(resample_rate(*rate, *method), PyExc_ValueError);
  if (!resample_hz) return propagate(resample_hz);
  return ReadRequest{*include, *cut, *resample_hz};
}

PyResult<ReadArguments> read_arguments(Slots<8> slots) {
  auto path = str_argument(slots[0], "file_path");
  if (!path) return propagate(path);
  auto request = read_request(slots.subspan<1>(), IncludeFlags{});
  if (!request) return propagate(request);
  return ReadArguments{*path, std::move(*request)};
}

PyResult<ExportArguments> export_arguments(Slots<9> slots) {
  auto path = str_argument(slots[0], "file_path");
  if (!path) return propagate(path);
  auto output = str_argument(slots[1], "output_path");
  if (!output) return propagate(output);
  auto request = read_request(slots.subspan<2>(), csv_defaults);
  if (!request) return propagate(request);
  return ExportArguments{*path, *output, std::move(*request)};
}

}  // namespace velnora::py
