#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "binding/entry_point.hpp"
#include "binding/py_objects.hpp"
#include "binding/read_options.hpp"
#include "core/format/channels.hpp"
#include "core/read/read_plan.hpp"

namespace velnora::py {

// The options every reading function takes after its paths, declared once in
// read_options.toml, from which read_options.hpp is made.
using OptionSlots = Slots<read_option::count>;
using ReadSlots = Slots<1 + read_option::count>;
using ExportSlots = Slots<2 + read_option::count>;

// The parameter lists of a read and of a CSV export, for each module's
// functions of either kind.
inline constexpr const char* read_parameters[] = {"file_path", VELNORA_READ_OPTION_NAMES};
inline constexpr const char* csv_parameters[] = {"file_path", "output_path", VELNORA_READ_OPTION_NAMES};

// What a read or an export was asked for, checked before any file is touched.
struct ReadRequest {
  IncludeFlags include;
  CutConfig cut;
  std::optional<double> resample_hz;  // absent: no resampling
};

// Every option is converted before the cut is parsed, and the cut before the
// resampling options are checked; the first failure is raised. A flag left
// out takes its value from `defaults`.
PyResult<ReadRequest> read_request(OptionSlots options, const IncludeFlags& defaults);

// A read's arguments (read_parameters) and an export's (csv_parameters),
// converted in parameter order; the paths view the caller's str objects.
struct ReadArguments {
  std::string_view path;
  ReadRequest request;
};
struct ExportArguments {
  std::string_view path;
  std::string_view output;
  ReadRequest request;
};
PyResult<ReadArguments> read_arguments(ReadSlots slots);
PyResult<ExportArguments> export_arguments(ExportSlots slots);

}  // namespace velnora::py
