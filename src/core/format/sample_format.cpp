#include "core/format/sample_format.hpp"

#include <string>

namespace velnora {

std::unexpected<CwaError> unsupported_sample_format(std::uint8_t sample_format) {
  return fail("Unsupported sample format: " + std::to_string(sample_format >> 4) + " axes, packing " +
              std::to_string(sample_format & 0x0F));
}

}  // namespace velnora
