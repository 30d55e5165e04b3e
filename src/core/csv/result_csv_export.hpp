#pragma once

#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"
#include "core/format/include_flags.hpp"

namespace velnora {

// Writes every row of a finished store as CSV; the output is created only
// here, so whatever failed before leaves an existing file untouched. Errors:
// Io for the output's creation and final flush, a failed record write's system
// text, a reading the flags select but the store lacks. Allocates the writer's
// buffer.
Result<void> write_data_result_csv(std::string_view output_path, const CwaDataResult& result,
                                   IncludeFlags include);

}  // namespace velnora
