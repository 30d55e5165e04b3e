#pragma once

#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"

namespace velnora {

// The rate to resample at, absent for no resampling; on error the message of
// the first rejected option (the rate before the method). Allocates only for
// that message.
Result<std::optional<double>> validate_resample_options(std::optional<double> resample_hz,
                                                        std::string_view resample_method);

}  // namespace velnora
