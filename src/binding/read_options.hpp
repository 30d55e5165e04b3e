#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>

#include "binding/arguments.hpp"
#include "core/format/channels.hpp"

namespace velnora::py {

// The converted arguments that read_cwa_file and write_cwa_csv share.
// The cut object is borrowed and converted later, by the cut parser.
struct ReadOptions {
  std::string_view file_path;
  PyObject* cut = nullptr;  // NULL when left out or None
  IncludeFlags include;
  std::optional<double> resample_hz;
  std::string_view resample_method;
};

// Converts the shared parameters from their slots, in order: cut, the four
// flags, resample_hz, resample_method; `file_path` is already converted.
// `defaults` supplies the flags' defaults.
PyResult<ReadOptions> convert_read_options(std::string_view file_path, std::span<PyObject* const, 7> rest,
                                           const ReadOptions& defaults);

}  // namespace velnora::py
