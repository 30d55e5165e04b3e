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
void add_to_lanes(const AccelerationSpans& samples, double shared, LaneSums& sums) {
#if defined(VELNORA_WIDE_VECTORS)
  if (wide_vectors_available()) return add_to_lanes_in_vectors<E>(samples, shared, sums);
#endif
  add_to_lanes_one_by_one<E>(samples, shared, sums);
}

template <Extremes E>
void add_to_lanes_one_by_one(const AccelerationSpans& samples, double shared, LaneSums& sums) {
  LaneSums lanes = sums;
  for (std::size_t k = 0; k < samples.size(); ++k) {
    const std::array<double, 4> values{samples.x[k], samples.y[k], samples.z[k], shared};
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
namespace {

struct WideLanes {
  __m256d sum, squares, min, max;
};

// One sample: its three axes widened to float64, `shared` in lane 3.
// std::min(m, v) is (v < m ? v : m), which vminpd(v, m) gives lane by lane,
// NaN included; the same for std::max and vmaxpd.
template <Extremes E>
[[gnu::target("avx2"), gnu::always_inline]] inline void add_sample(WideLanes& lanes, __m128 axes,
                                                                   __m256d shared) {
  const __m256d value = _mm256_blend_pd(_mm256_cvtps_pd(axes), shared, 0b1000);
  lanes.sum = _mm256_add_pd(lanes.sum, value);
  lanes.squares = _mm256_add_pd(lanes.squares, _mm256_mul_pd(value, value));
  if constexpr (E == Extremes::kept) {
    lanes.min = _mm256_min_pd(value, lanes.min);
    lanes.max = _mm256_max_pd(value, lanes.max);
  }
}

}  // namespace

// A sample per vector, four samples' axes transposed at a time.
template <Extremes E>
[[gnu::target("avx2")]] void add_to_lanes_in_vectors(const AccelerationSpans& samples, double shared,
                                                     LaneSums& sums) {
  const __m256d fourth = _mm256_set1_pd(shared);
  WideLanes lanes{_mm256_loadu_pd(sums.sum.data()), _mm256_loadu_pd(sums.squares.data()),
                  _mm256_loadu_pd(sums.min.data()), _mm256_loadu_pd(sums.max.data())};
  std::size_t k = 0;
  for (; k + 4 <= samples.size(); k += 4) {
    __m128 first = _mm_loadu_ps(&samples.x[k]), second = _mm_loadu_ps(&samples.y[k]);
    __m128 third = _mm_loadu_ps(&samples.z[k]), last = _mm_setzero_ps();
    _MM_TRANSPOSE4_PS(first, second, third, last);
    add_sample<E>(lanes, first, fourth);
    add_sample<E>(lanes, second, fourth);
    add_sample<E>(lanes, third, fourth);
    add_sample<E>(lanes, last, fourth);
  }
  for (; k < samples.size(); ++k)
    add_sample<E>(lanes, _mm_setr_ps(samples.x[k], samples.y[k], samples.z[k], 0.0f), fourth);
  _mm256_storeu_pd(sums.sum.data(), lanes.sum);
  _mm256_storeu_pd(sums.squares.data(), lanes.squares);
  _mm256_storeu_pd(sums.min.data(), lanes.min);
  _mm256_storeu_pd(sums.max.data(), lanes.max);
}
#endif

template void add_to_lanes<Extremes::skipped>(const AccelerationSpans&, double, LaneSums&);
template void add_to_lanes<Extremes::kept>(const AccelerationSpans&, double, LaneSums&);
template void add_to_lanes_one_by_one<Extremes::skipped>(const AccelerationSpans&, double, LaneSums&);
template void add_to_lanes_one_by_one<Extremes::kept>(const AccelerationSpans&, double, LaneSums&);
#if defined(VELNORA_WIDE_VECTORS)
template void add_to_lanes_in_vectors<Extremes::skipped>(const AccelerationSpans&, double, LaneSums&);
template void add_to_lanes_in_vectors<Extremes::kept>(const AccelerationSpans&, double, LaneSums&);
#endif

}  // namespace velnora
