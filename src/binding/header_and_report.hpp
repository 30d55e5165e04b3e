#pragma once

#include <Python.h>

#include "binding/py_objects.hpp"
#include "core/format/cwa_file.hpp"
#include "core/ops/sampling_report.hpp"

namespace velnora::py {

// The metadata block as the dict `read_header` returns.
PyResult<Ref> header_dict(const CwaHeader& header);

// The sampling report as the dict `sampling_consistency_report` returns, its
// keys in the report's order.
PyResult<Ref> report_dict(const SamplingReport& report);

}  // namespace velnora::py
