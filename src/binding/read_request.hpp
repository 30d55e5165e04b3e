#pragma once

#include <optional>

#include "binding/arguments.hpp"
#include "binding/read_options.hpp"
#include "core/read/read_plan.hpp"

namespace velnora::py {

// What read_cwa_file and write_cwa_csv were asked to read, checked before any
// file is touched.
struct ReadRequest {
  CutConfig cut;
  std::optional<double> resample_hz;  // absent: no resampling
};

// The cut first, then the resampling options; the first rejection is raised
// (ValueError, or a cut value's conversion error).
PyResult<ReadRequest> parse_read_request(const ReadOptions& options);

}  // namespace velnora::py
