#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"
#include "core/resample/interpolation.hpp"

// The way out of the resampler: grid points gathered a few hundred rows at a
// time, then written column by column into the output.

namespace velnora {

// Where rows of the output go: the first row's timestamp and, quad by quad,
// the first row's value in each lane's column (null where a column is not
// wanted). The addresses stay valid while the output moves, until a column
// grows.
struct RowDestination {
  std::int64_t* timestamps;
  std::array<std::array<float*, 4>, channel_quads> lanes;
};

// The destination of rows from `first_row` on in `output`'s columns.
RowDestination rows_at(CwaDataResult& output, std::size_t first_row);

// The rows every present column of `output` holds without moving.
std::uint64_t row_capacity(CwaDataResult& output);

// Adds `rows` rows of zeros to every present column of `output`, without
// writing past the columns' high-water marks. Errors: OutOfMemory when a
// column cannot grow; the output must then be discarded.
Result<void> add_zero_rows(CwaDataResult& output, std::size_t rows);

// Grid points on their way into the output columns. Written straight into
// thirteen columns, one value each per point, the stores scatter over as many
// streams of fresh memory and stall on them; gathered here column by column,
// a few hundred rows at a time, they reach each column as one sequential
// copy, as a block's samples do on the direct path.
class OutputStage {
 public:
  // Small enough that the stage stays in the first-level cache.
  static constexpr std::size_t capacity = 256;

  // Stages row `row` (below capacity) at grid time `time` (seconds). Only
  // the first `live_quads` quads are stored: the others are +0.0 by the
  // producer's word. No errors, no allocation.
  template <std::size_t live_quads>
  void put(std::size_t row, double time, const PointValues& values) {
    times_[row] = time;
    for (std::size_t q = 0; q < live_quads; ++q) quads_[q][row] = values.quads[q];
  }

  // Writes the first `rows` staged rows to rows [offset, offset + rows) of
  // `to`, whose columns must hold them already as zeros (add_zero_rows). A
  // lane of zeros throughout the rows is not written, so that a channel of
  // zeros, such as the gyroscope of 3-axis data, never touches its column.
  // `live_quads` (channel_quads or one less) as put's. No errors, no
  // allocation.
  template <std::size_t live_quads>
  void store_into(const RowDestination& to, std::size_t offset, std::size_t rows) const;

 private:
  // Times stay float64 until a whole run turns into timestamps. Zeroed once,
  // so that a resampler that moves copies defined bytes.
  std::array<double, capacity> times_{};
  std::array<std::array<FloatQuad, capacity>, channel_quads> quads_{};
};

}  // namespace velnora
