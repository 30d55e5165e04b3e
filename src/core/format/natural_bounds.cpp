#include <cmath>
#include <limits>

#include "core/time/packed_datetime.hpp"
#include "core/format/packet_meta.hpp"

namespace velnora {

namespace {

// 3200 Hz halved (15 - nibble) times. Dividing by a power of two is exact, so
// this is the nominal rate itself, a float for every code.
float nominal_rate(std::uint8_t rate_code) {
  return 3200.0f / static_cast<float>(1u << (15 - (rate_code & 0x0F)));
}

}  // namespace

// Sample timestamps are truncated to whole microseconds downstream, so the
// last bit of these doubles shows in the output: the precision of every step
// (float for the offset and the duration, double for the sums) and the order
// of the additions are part of the result. The build passes -ffp-contract=off
// (g++ fuses multiply-adds by default even in ISO C++ mode) and never
// -ffast-math, so nothing here is fused or reassociated.
PacketMeta::Bounds PacketMeta::natural_bounds() const {
  const std::optional<UnixSeconds> seconds = cwa_timestamp(timestamp);
  // Only packet_meta makes these records and it rejects such a timestamp; a
  // hand-made record that breaks the invariant gets NaN bounds, which every
  // caller's comparisons treat as "no continuity" and truncation turns into 0.
  if (!seconds) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan};
  }
  const float rate = nominal_rate(rate_code);
  // A positive offset places the first sample before the stamped second.
  const float offset_s = -static_cast<float>(timestampOffset) / rate;
  const float whole = std::floor(offset_s);
  const float fraction = offset_s - whole;
  const double start =
      (static_cast<double>(whole) + static_cast<double>(*seconds)) + static_cast<double>(fraction);
  const float duration = static_cast<float>(sample_count) / rate;
  return {start, start + static_cast<double>(duration)};
}

}  // namespace velnora
