#pragma once

#include "core/format/data_block.hpp"

namespace velnora {

// A block's temperature (degrees Celsius), light (lux) and battery (volts)
// readings; every sample of the block shares them.
struct BlockReadings {
  float temperature;
  float light;
  float battery;
};

// The converted readings, in single precision in the format's order of
// operations. No errors, no allocation.
BlockReadings block_readings(const CwaDataBlock& block);

}  // namespace velnora
