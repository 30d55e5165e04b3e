#include "core/activity/axis_sums.hpp"

#include <algorithm>
#include <cmath>

#if defined(VELNORA_WIDE_VECTORS)
#include <immintrin.h>
#endif

namespace velnora {

double LaneSums::sd(std::size_t lane, std::uint64_t count) const {
  const double n = static_cast<double>(count);
  return std::sqrt(std::max(squares[lane] - sum[lane] * sum[lane] / n, 0.0) / (n - 1.0));
}

void LaneSums::merge(const LaneSums& later) {
  for (std::size_t lane = 0; lane < 4; ++lane) {
    sum[lane] += later.sum[lane];
    squares[lane] += later.squares[lane];
    min[lane] = std::min(min[lane], later.min[lane]);
    max[lane] = std::max(max[lane], later.max[lane]);
  }
}

template <Extremes E>
void add_to_lanes(std::span<const SampleData> samples, double shared, LaneSums& sums) {
#if defined(VELNORA_WIDE_VECTORS)
  if (wide_vectors_available()) return add_to_lanes_in_vectors<E>(samples, shared, sums);
#endif
  add_to_lanes_one_by_one<E>(samples, shared, sums);
}

template <Extremes E>
void add_to_lanes_one_by_one(std::span<const SampleData> samples, double shared, LaneSums& sums) {
  LaneSums lanes = sums;
  for (const SampleData& sample : samples) {
    const std::array<double, 4> values{sample.acc_x, sample.acc_y, sample.acc_z, shared};
    for (std::size_t lane = 0; lane < 4; ++lane) {
      lanes.sum[lane] += values[lane];
      lanes.squares[lane] += values[lane] * values[lane];
      if constexpr (E == Extremes::kept) {
        lanes.min[lane] = std::min(lanes.min[lane], values[lane]);
        lanes.max[lane] = std::max(lanes.max[lane], values[lane]);
      }
    }
  }
  sums = lanes;
}

#if defined(VELNORA_WIDE_VECTORS)
// One sample per vector: its three axes and the gyroscope's first, which
// follows them in SampleData, widened to float64, the fourth replaced by
// `shared`. std::min(m, v) is
// (v < m ? v : m), which vminpd(v, m) gives lane by lane, NaN included; the
// same for std::max and vmaxpd.
template <Extremes E>
[[gnu::target("avx2")]] void add_to_lanes_in_vectors(std::span<const SampleData> samples, double shared,
                                                     LaneSums& sums) {
  const __m256d fourth = _mm256_set1_pd(shared);
  __m256d sum = _mm256_loadu_pd(sums.sum.data());
  __m256d squares = _mm256_loadu_pd(sums.squares.data());
  __m256d min = _mm256_loadu_pd(sums.min.data());
  __m256d max = _mm256_loadu_pd(sums.max.data());
  for (const SampleData& sample : samples) {
    const __m256d value = _mm256_blend_pd(_mm256_cvtps_pd(_mm_loadu_ps(&sample.acc_x)), fourth, 0b1000);
    sum = _mm256_add_pd(sum, value);
    squares = _mm256_add_pd(squares, _mm256_mul_pd(value, value));
    if constexpr (E == Extremes::kept) {
      min = _mm256_min_pd(value, min);
      max = _mm256_max_pd(value, max);
    }
  }
  _mm256_storeu_pd(sums.sum.data(), sum);
  _mm256_storeu_pd(sums.squares.data(), squares);
  _mm256_storeu_pd(sums.min.data(), min);
  _mm256_storeu_pd(sums.max.data(), max);
}
#endif

template void add_to_lanes<Extremes::skipped>(std::span<const SampleData>, double, LaneSums&);
template void add_to_lanes<Extremes::kept>(std::span<const SampleData>, double, LaneSums&);
template void add_to_lanes_one_by_one<Extremes::skipped>(std::span<const SampleData>, double, LaneSums&);
template void add_to_lanes_one_by_one<Extremes::kept>(std::span<const SampleData>, double, LaneSums&);
#if defined(VELNORA_WIDE_VECTORS)
template void add_to_lanes_in_vectors<Extremes::skipped>(std::span<const SampleData>, double, LaneSums&);
template void add_to_lanes_in_vectors<Extremes::kept>(std::span<const SampleData>, double, LaneSums&);
#endif

}  // namespace velnora
