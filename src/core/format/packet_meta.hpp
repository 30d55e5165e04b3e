#pragma once

#include <cstdint>
#include <optional>

#include "core/base/cwa_error.hpp"
#include "core/io/sector.hpp"

namespace velnora {

// The timing view of one accepted data block.
struct PacketMeta {
  std::uint64_t sample_count;
  std::uint32_t timestamp;  // packed date-time, known to decode
  std::int16_t timestampOffset;
  std::uint8_t rate_code;  // non-zero

  struct Bounds {
    double start;
    double end;
  };
  // Start of the first sample and one nominal period after the last, in seconds
  // since the epoch. No errors, no allocation. Defined for records made by
  // packet_meta; one whose timestamp does not decode gets NaN bounds.
  Bounds natural_bounds() const;
};

// Screens one sector: nothing for a sector that is not a data block, the block's
// timing, or the malformed block's message. Reads only the 30-byte header;
// allocates only for an error message.
Result<std::optional<PacketMeta>> packet_meta(Sector sector);

}  // namespace velnora
