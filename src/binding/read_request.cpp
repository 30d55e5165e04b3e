#include "binding/read_request.hpp"

#include "binding/arguments.hpp"
#include "binding/cuts.hpp"
#include "core/ops/planned_samples.hpp"

namespace velnora::py {

namespace {

PyResult<IncludeFlags> include_flags(OptionSlots options, const IncludeFlags& defaults) {
  IncludeFlags include = defaults;
  for (const FlagOption& flag : flag_options) {
    auto value = flag_argument(options[flag.slot], read_option_names[flag.slot], defaults.*flag.member);
    if (!value) return propagate(value);
    include.*flag.member = *value;
  }
  return include;
}

}  // namespace

PyResult<ReadRequest> read_request(OptionSlots options, const IncludeFlags& defaults) {
  auto include = include_flags(options, defaults);
  if (!include) return propagate(include);
  constexpr std::size_t rate_slot = read_option::resample_hz, method_slot = read_option::resample_method;
  auto rate = optional_f64_argument(options[rate_slot], read_option_names[rate_slot]);
  if (!rate) return propagate(rate);
  auto method = str_argument(options[method_slot], read_option_names[method_slot], default_resample_method);
  if (!method) return propagate(method);
  auto cut = parse_cut_config(options[read_option::cut]);
  if (!cut) return propagate(cut);
  auto resample_hz = to_py_result(validate_resample_options(*rate, *method), PyExc_ValueError);
  if (!resample_hz) return propagate(resample_hz);
  return ReadRequest{*include, *cut, *resample_hz};
}

PyResult<ReadArguments> read_arguments(ReadSlots slots) {
  auto path = str_argument(slots[0], "file_path");
  if (!path) return propagate(path);
  auto request = read_request(slots.subspan<1>(), read_defaults);
  if (!request) return propagate(request);
  return ReadArguments{*path, std::move(*request)};
}

PyResult<ExportArguments> export_arguments(ExportSlots slots) {
  auto path = str_argument(slots[0], "file_path");
  if (!path) return propagate(path);
  auto output = str_argument(slots[1], "output_path");
  if (!output) return propagate(output);
  auto request = read_request(slots.subspan<2>(), export_defaults);
  if (!request) return propagate(request);
  return ExportArguments{*path, *output, std::move(*request)};
}

}  // namespace velnora::py
