#include "core/resample/output_rows.hpp"

#include <cstdint>

#include "core/base/numeric.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace velnora {

namespace {

// Where the four lanes of a quad go; null where a column is not wanted.
using LaneColumns = std::array<float*, 4>;

// The output's columns of each quad's four lanes, in quad order; null where
// a column is not wanted.
std::array<std::array<Column<float>*, 4>, channel_quads> lane_columns(CwaDataResult& output) {
  std::array<std::array<Column<float>*, 4>, channel_quads> columns{};
  for (std::size_t c = 0; c < channel_count; ++c) {
    std::optional<Column<float>>& column = output.columns[c];
    columns[channels[c].lane / 4][channels[c].lane % 4] = column ? &*column : nullptr;
  }
  return columns;
}

// Splits the staged quads of `rows` rows into their four lanes' columns (null:
// not wanted), four rows at a time by a transposition in registers.
void split_lanes(const std::array<FloatQuad, OutputRows::capacity>& quads, std::size_t rows,
                 const LaneColumns& lanes) {
  std::size_t r = 0;
#if defined(__SSE2__)
  for (; r + 4 <= rows; r += 4) {
    __m128 rows0 = quads[r], rows1 = quads[r + 1], rows2 = quads[r + 2], rows3 = quads[r + 3];
    _MM_TRANSPOSE4_PS(rows0, rows1, rows2, rows3);
    const __m128 by_lane[4] = {rows0, rows1, rows2, rows3};
    for (std::size_t lane = 0; lane < 4; ++lane) {
      if (lanes[lane]) _mm_storeu_ps(lanes[lane] + r, by_lane[lane]);
    }
  }
#endif
  for (; r < rows; ++r) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      if (lanes[lane]) lanes[lane][r] = quads[r][lane];
    }
  }
}

void store_timestamps(const std::array<double, OutputRows::capacity>& times, std::size_t rows,
                      std::int64_t* timestamps) {
  for (std::size_t r = 0; r < rows; ++r) timestamps[r] = truncated_us(times[r]);
}

}  // namespace

Result<void> OutputRows::flush_into(CwaDataResult& output) {
  const std::size_t rows = count_;
  if (rows == 0) return {};
  count_ = 0;
  auto stamps = output.timestamp.extend(rows);
  if (!stamps) return fail(stamps.error());
  store_timestamps(times_, rows, stamps->data());
  const auto columns = lane_columns(output);
  for (std::size_t q = 0; q < channel_quads; ++q) {
    LaneColumns lanes{};
    for (std::size_t lane = 0; lane < 4; ++lane) {
      if (columns[q][lane] == nullptr) continue;
      auto added = columns[q][lane]->extend(rows);
      if (!added) return fail(added.error());
      lanes[lane] = added->data();
    }
    split_lanes(quads_[q], rows, lanes);
  }
  return {};
}

}  // namespace velnora
