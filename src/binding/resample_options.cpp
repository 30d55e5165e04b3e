#include "binding/resample_options.hpp"

#include "binding/errors.hpp"
#include "core/resample/resampled_read.hpp"

namespace velnora::py {

PyResult<std::optional<double>> parse_resample_options(std::optional<double> resample_hz,
                                                       std::string_view resample_method) {
  auto rate = validate_resample_options(resample_hz, resample_method);
  if (!rate) {
    // The method text is UTF-8 and may hold any character; the error text is
    // decoded as UTF-8 so it comes back unchanged.
    raise_cwa_error(rate.error(), PyExc_ValueError);
    return raised();
  }
  return *rate;
}

}  // namespace velnora::py
