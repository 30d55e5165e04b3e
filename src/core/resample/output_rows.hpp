#pragma once

#include <array>
#include <cstddef>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"
#include "core/resample/interpolation.hpp"

namespace velnora {

// Grid points on their way into the output columns. Written straight into
// thirteen columns, one value each per point, the stores scatter over as many
// streams of fresh memory and stall on them; gathered here column by column,
// a few hundred rows at a time, they reach each column as one sequential
// copy, as a block's samples do on the direct path.
class OutputRows {
 public:
  // Small enough that the stage stays in the first-level cache.
  static constexpr std::size_t capacity = 256;

  bool full() const { return count_ == capacity; }

  // Stages one row at grid time `time` (seconds); there must be room (not
  // full()). No errors, no allocation.
  void add(double time, const PointValues& values) {
    times_[count_] = time;
    for (std::size_t q = 0; q < channel_quads; ++q) quads_[q][count_] = values.quads[q];
    ++count_;
  }

  // Appends the staged rows to the present columns of `output` and empties
  // the stage. Errors: Io when a column cannot grow; the output must then be
  // discarded. Maps memory only past the columns' reservation.
  Result<void> flush_into(CwaDataResult& output);

 private:
  std::size_t count_ = 0;
  // Times stay float64 until the flush turns a whole run into timestamps.
  std::array<double, capacity> times_;
  std::array<std::array<FloatQuad, capacity>, channel_quads> quads_;
};

}  // namespace velnora
