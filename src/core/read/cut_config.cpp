#include "core/read/cut_config.hpp"

#include <cmath>

namespace velnora {

namespace {

Result<void> validate_seconds_value(std::optional<double> value) {
  if (!value) return {};
  if (!std::isfinite(*value)) return fail("seconds cut values must be finite");
  // -0.0 compares equal to zero and is accepted.
  if (*value < 0.0) return fail("seconds cut values must be >= 0");
  return {};
}

Result<void> validate_blocks(const CutConfig::Blocks& cut) {
  // A lone bound is always accepted; a start beyond the file is the read plan's concern.
  if (cut.start && cut.end && *cut.end <= *cut.start) return fail("blocks end must be greater than start");
  return {};
}

Result<void> validate_seconds(const CutConfig::Seconds& cut) {
  // start is checked completely before end, so its message wins when both are bad.
  if (auto valid = validate_seconds_value(cut.start); !valid) return valid;
  if (auto valid = validate_seconds_value(cut.end); !valid) return valid;
  if (cut.start && cut.end && *cut.start >= *cut.end) return fail("seconds end must be greater than start");
  return {};
}

}  // namespace

Result<void> CutConfig::validate() const {
  if (const auto* blocks = std::get_if<Blocks>(&range)) return validate_blocks(*blocks);
  if (const auto* seconds = std::get_if<Seconds>(&range)) return validate_seconds(*seconds);
  return {};
}

}  // namespace velnora
