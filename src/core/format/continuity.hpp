#pragma once

namespace velnora {

// Where a data block really starts, given the natural end of the data block
// before it. A device's clock stamps whole seconds and drifts, so consecutive
// blocks overlap or leave small gaps; the continuity correction closes gaps
// under one second (and overlaps) by starting the block where the previous one
// ended. A gap of a second or more is a real pause in the recording and keeps
// the natural start, and so does a NaN difference. No errors, no allocation.
inline double continuous_start(double natural_start, double previous_end) {
  return natural_start - previous_end < 1.0 ? previous_end : natural_start;
}

}  // namespace velnora
