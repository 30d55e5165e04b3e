#pragma once

#include <optional>
#include <string_view>

#include "binding/arguments.hpp"

namespace velnora::py {

// The rate to resample at (absent for none), or ValueError for a rejected rate
// or method.
PyResult<std::optional<double>> parse_resample_options(std::optional<double> resample_hz,
                                                       std::string_view resample_method);

}  // namespace velnora::py
