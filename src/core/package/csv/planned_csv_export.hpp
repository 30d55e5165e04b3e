#pragma once

#include <string_view>

#include "core/errors/cwa_error.hpp"
#include "core/package/include_flags.hpp"
#include "core/package/read_plan.hpp"

namespace velnora {

// Writes the samples a read plan selects as CSV. With a time window they are
// read whole and cut to it before the output is touched; without one they
// stream block by block. Errors: the window's messages (before any reading),
// then those of reading, filtering and writing. Allocates the whole selection
// with a window, one block's worth without.
Result<void> write_planned_csv(std::string_view file_path, std::string_view output_path, const ReadPlan& plan,
                               IncludeFlags include);

}  // namespace velnora
