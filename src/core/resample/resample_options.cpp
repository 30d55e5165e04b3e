#include "core/resample/resample_options.hpp"

#include <charconv>
#include <cmath>
#include <string>

namespace velnora {

namespace {

constexpr double max_resample_hz = 10000.0;

[[gnu::cold]] std::unexpected<CwaError> rate_too_high() {
  // Shortest round-trip form, so the limit reads "10000", not "10000.0".
  char digits[32];
  auto written = std::to_chars(digits, digits + sizeof digits, max_resample_hz);
  return fail("resample_hz must be <= " + std::string(digits, written.ptr));
}

[[gnu::cold]] std::unexpected<CwaError> unsupported_method(std::string_view method) {
  std::string text = "Unsupported resample_method '";
  text += method;
  text += "'. Supported: cubic";
  return fail(std::move(text));
}

}  // namespace

Result<std::optional<double>> validate_resample_options(std::optional<double> resample_hz,
                                                        std::string_view resample_method) {
  // Without a rate the method is never looked at, so any text passes.
  if (!resample_hz) return std::optional<double>();
  double rate = *resample_hz;
  // Written so that NaN fails too; positive subnormals pass.
  if (!(std::isfinite(rate) && rate > 0.0)) return fail("resample_hz must be a finite value > 0");
  if (rate > max_resample_hz) return rate_too_high();
  if (resample_method != "cubic") return unsupported_method(resample_method);
  return resample_hz;
}

}  // namespace velnora
