#include "core/resample/output_stage.hpp"

#include <algorithm>
#include <bit>
#include <string_view>

#include "core/base/numeric.hpp"
#include "core/base/wide_numeric.hpp"
#include "core/base/wide_vectors.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace velnora {

namespace {

// Where the four lanes of a quad go; null where a column is not wanted.
using LaneColumns = std::array<float*, 4>;

// Splits the staged quads of `rows` rows into their four lanes' columns (null:
// not wanted), four rows at a time by a transposition in registers.
void split_lanes(const std::array<FloatQuad, OutputStage::capacity>& quads, std::size_t rows,
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

// Which of the four lanes are +0.0 (all bits clear) in every staged row. The
// bits of all rows are folded without an early exit, which a quad with one
// live and one zero lane (light, battery and a 3-axis gyroscope) would never
// take, and in four chains, so that the folding runs at the speed of loads.
std::array<bool, 4> zero_lanes(const std::array<FloatQuad, OutputStage::capacity>& quads, std::size_t rows) {
  using QuadBits = std::uint32_t __attribute__((vector_size(16)));
  std::array<QuadBits, 4> chains{};
  std::size_t r = 0;
  for (; r + 4 <= rows; r += 4) {
    for (std::size_t c = 0; c < 4; ++c) chains[c] |= std::bit_cast<QuadBits>(quads[r + c]);
  }
  for (; r < rows; ++r) chains[0] |= std::bit_cast<QuadBits>(quads[r]);
  const QuadBits bits = (chains[0] | chains[1]) | (chains[2] | chains[3]);
  return {bits[0] == 0, bits[1] == 0, bits[2] == 0, bits[3] == 0};
}

using StagedTimes = std::array<double, OutputStage::capacity>;

void store_timestamps_one_by_one(const StagedTimes& times, std::size_t from, std::size_t rows,
                                 std::int64_t* timestamps) {
  for (std::size_t r = from; r < rows; ++r) timestamps[r] = truncated_us(times[r]);
}

#if defined(VELNORA_WIDE_VECTORS)
[[gnu::target("avx2")]] void store_timestamps_in_vectors(const StagedTimes& times, std::size_t rows,
                                                         std::int64_t* timestamps) {
  std::size_t r = 0;
  for (; r + 4 <= rows; r += 4) {
    if (!truncated_us_x4(_mm256_loadu_pd(&times[r]), timestamps + r)) break;
  }
  store_timestamps_one_by_one(times, r, rows, timestamps);
}
#endif

void store_timestamps(const StagedTimes& times, std::size_t rows, std::int64_t* timestamps) {
#if defined(VELNORA_WIDE_VECTORS)
  if (wide_vectors_available()) return store_timestamps_in_vectors(times, rows, timestamps);
#endif
  store_timestamps_one_by_one(times, 0, rows, timestamps);
}

}  // namespace

template <std::size_t live_quads>
void OutputStage::store_into(const RowDestination& to, std::size_t offset, std::size_t rows) const {
  store_timestamps(times_, rows, to.timestamps + offset);
  for (std::size_t q = 0; q < live_quads; ++q) {
    const std::array<bool, 4> zeros = zero_lanes(quads_[q], rows);
    LaneColumns lanes{};
    for (std::size_t lane = 0; lane < 4; ++lane) {
      if (to.lanes[q][lane] != nullptr && !zeros[lane]) lanes[lane] = to.lanes[q][lane] + offset;
    }
    if (std::ranges::any_of(lanes, [](const float* lane) { return lane != nullptr; }))
      split_lanes(quads_[q], rows, lanes);
  }
}

RowDestination rows_at(CwaDataResult& output, std::size_t first_row) {
  RowDestination to{output.timestamp.data() + first_row, {}};
  for (std::size_t c = 0; c < channel_count; ++c) {
    std::optional<Column<float>>& column = output.columns[c];
    to.lanes[channels[c].lane / 4][channels[c].lane % 4] = column ? column->data() + first_row : nullptr;
  }
  return to;
}

std::uint64_t row_capacity(CwaDataResult& output) {
  std::size_t rows = SIZE_MAX;
  output.for_each_column([&](std::string_view, const auto& column) {
    rows = std::min(rows, column.capacity());
    return true;
  });
  return rows;
}

Result<void> add_zero_rows(CwaDataResult& output, std::size_t rows) {
  if (auto added = output.timestamp.extend_zeroed(rows); !added) return fail(added.error());
  for (std::optional<Column<float>>& column : output.columns) {
    if (!column) continue;
    if (auto added = column->extend_zeroed(rows); !added) return fail(added.error());
  }
  return {};
}

// The two forms of rows the resampler stages: with and without the third quad.
template void OutputStage::store_into<channel_quads>(const RowDestination&, std::size_t, std::size_t) const;
template void OutputStage::store_into<channel_quads - 1>(const RowDestination&, std::size_t,
                                                         std::size_t) const;

}  // namespace velnora
