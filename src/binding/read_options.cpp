#include "binding/read_options.hpp"

namespace velnora::py {

PyResult<ReadOptions> convert_read_options(std::string_view file_path, std::span<PyObject* const, 7> rest,
                                           const ReadOptions& defaults) {
  ReadOptions options = defaults;
  options.file_path = file_path;
  options.cut = rest[0] == Py_None ? nullptr : rest[0];
  auto magnetometer = flag_argument(rest[1], "include_magnetometer", defaults.include.magnetometer);
  if (!magnetometer) return raised();
  auto temperature = flag_argument(rest[2], "include_temperature", defaults.include.temperature);
  if (!temperature) return raised();
  auto light = flag_argument(rest[3], "include_light", defaults.include.light);
  if (!light) return raised();
  auto battery = flag_argument(rest[4], "include_battery", defaults.include.battery);
  if (!battery) return raised();
  auto rate = optional_f64_argument(rest[5], "resample_hz");
  if (!rate) return raised();
  auto method = str_argument(rest[6], "resample_method", "cubic");
  if (!method) return raised();
  options.include = {*magnetometer, *temperature, *light, *battery};
  options.resample_hz = *rate;
  options.resample_method = *method;
  return options;
}

}  // namespace velnora::py
