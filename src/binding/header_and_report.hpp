#pragma once

#include <Python.h>

#include "binding/py_objects.hpp"
#include "core/ops/sampling_report.hpp"

namespace velnora::py {

// The sampling report as the dict `sampling_consistency_report` returns, its
// keys in the report's order.
PyResult<Ref> report_dict(const SamplingReport& report);

}  // namespace velnora::py
