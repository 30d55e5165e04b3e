#pragma once

namespace velnora {

// Which optional columns a read produces.
struct IncludeFlags {
  bool magnetometer = true;
  bool temperature = true;
  bool light = true;
  bool battery = true;
};

}  // namespace velnora
