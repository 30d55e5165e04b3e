#pragma once

#include <Python.h>

#include "binding/arguments.hpp"
#include "binding/entry_point.hpp"
#include "binding/py_objects.hpp"
#include "core/format/cwa_file.hpp"
#include "core/ops/recording_file.hpp"

namespace velnora::py {

// The shape of the functions that describe a file: a path in, a core value
// out as a Python object.
template <auto read, auto to_object>
PyResult<Ref> describe_file(Slots<1> slots) {
  auto path = str_argument(slots[0], "file_path");
  if (!path) return propagate(path);
  auto value = to_py_result(read(*path), PyExc_RuntimeError);
  if (!value) return propagate(value);
  return to_object(*value);
}

// The metadata block as the dict `read_header` returns.
PyResult<Ref> header_dict(const CwaHeader& header);

// The sampling report as the dict `sampling_consistency_report` returns, its
// keys in the report's order.
PyResult<Ref> report_dict(const SamplingReport& report);

}  // namespace velnora::py
