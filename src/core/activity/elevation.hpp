#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <numbers>

#include "core/base/wide_vectors.hpp"

#if defined(VELNORA_WIDE_VECTORS)
#include <immintrin.h>
#endif

namespace velnora {

namespace elevation_detail {

// atan(k / 8) for k = 0 … 8.
inline constexpr std::array<double, 9> atan_of_eighths{0.0,
                                                       0.12435499454676144,
                                                       0.24497866312686414,
                                                       0.35877067027057225,
                                                       0.4636476090008061,
                                                       0.5585993153435624,
                                                       0.6435011087932844,
                                                       0.7188299996216245,
                                                       0.7853981633974483};

// The coefficients of atan u = u (1 − w/3 + w²/5 − …), w = u², from w⁷'s down.
inline constexpr std::array<double, 8> series_from_top{-1.0 / 15.0, 1.0 / 13.0, -1.0 / 11.0, 1.0 / 9.0,
                                                       -1.0 / 7.0,  1.0 / 5.0,  -1.0 / 3.0,  1.0};

}  // namespace elevation_detail

// The angle (radians) to the horizontal plane of a vector with vertical
// component `z` and horizontal length `horizontal` (≥ 0): atan(z /
// horizontal), ±π/2 where the horizontal length is 0 and ±0 for the zero
// vector, as atan2 gives them; NaN where either is NaN. The project's own
// arithmetic rather than the C library's atan2, which costs a third of an
// epoch pass: a fixed sequence of correctly rounded operations, so the same
// bits on every machine and in elevation_x4; within 4e-16 of the exact angle.
inline double elevation(double z, double horizontal) {
  using namespace elevation_detail;
  const double vertical = std::abs(z);
  const bool steep = vertical > horizontal;
  const double small = steep ? horizontal : vertical;
  const double large = steep ? vertical : horizontal;
  if (large == 0.0) return z;
  // atan t = atan c + atan u with c the eighth nearest t, and |u| ≤ 1/16.
  // 0 ≤ t ≤ 1 unless t is NaN, which takes the first eighth.
  const double t = small / large;
  const int k = std::isnan(t) ? 0 : static_cast<int>(t * 8.0 + 0.5);
  const double c = k * 0.125;
  const double u = (t - c) / (1.0 + t * c);
  // The terms past w⁷ are under 1e-21.
  const double w = u * u;
  double series = series_from_top[0];
  for (std::size_t i = 1; i < series_from_top.size(); ++i) series = series * w + series_from_top[i];
  const double angle = atan_of_eighths[static_cast<std::size_t>(k)] + u * series;
  return std::copysign(steep ? std::numbers::pi / 2 - angle : angle, z);
}

#if defined(VELNORA_WIDE_VECTORS)
// elevation of four lanes at a time, for code compiled for AVX2, in two
// halves, so that a caller may run the second's long chain of
// multiplications over several vectors at once: the reduction to
// atan c + atan u, and atan u's series with the turn to the quadrant. Each
// lane takes the same operations in the same order as elevation, so the
// same bits. The lanes of a zero vector (t = 0/0) and of NaN take the first
// eighth, as elevation does, and the former are then replaced by z.
struct ReducedElevation {
  __m256d u;
  __m128i eighth;  // k, for atan c = atan_of_eighths[k]
  __m256d steep;   // all ones where |z| > horizontal
  __m256d flat;    // all ones for a zero vector
};

[[gnu::target("avx2"), gnu::always_inline]] inline ReducedElevation reduce_elevation_x4(__m256d z,
                                                                                        __m256d horizontal) {
  using namespace elevation_detail;
  const __m256d vertical = _mm256_andnot_pd(_mm256_set1_pd(-0.0), z);
  const __m256d steep = _mm256_cmp_pd(vertical, horizontal, _CMP_GT_OQ);
  const __m256d small = _mm256_blendv_pd(vertical, horizontal, steep);
  const __m256d large = _mm256_blendv_pd(horizontal, vertical, steep);
  const __m256d t = _mm256_div_pd(small, large);
  // k = trunc(8t + 0.5) as a double, NaN turned to 0 by the mask of ordered lanes.
  const __m256d nearest =
      _mm256_round_pd(_mm256_add_pd(_mm256_mul_pd(t, _mm256_set1_pd(8.0)), _mm256_set1_pd(0.5)),
                      _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const __m256d k = _mm256_and_pd(nearest, _mm256_cmp_pd(nearest, nearest, _CMP_ORD_Q));
  const __m256d c = _mm256_mul_pd(k, _mm256_set1_pd(0.125));
  const __m256d u =
      _mm256_div_pd(_mm256_sub_pd(t, c), _mm256_add_pd(_mm256_set1_pd(1.0), _mm256_mul_pd(t, c)));
  return {u, _mm256_cvttpd_epi32(k), steep, _mm256_cmp_pd(large, _mm256_setzero_pd(), _CMP_EQ_OQ)};
}

// atan c of each lane, looked up one by one: a gather costs more on some
// processors than four loads.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d atan_of_eighth_x4(const int* k) {
  using elevation_detail::atan_of_eighths;
  return _mm256_setr_pd(
      atan_of_eighths[static_cast<std::size_t>(k[0])], atan_of_eighths[static_cast<std::size_t>(k[1])],
      atan_of_eighths[static_cast<std::size_t>(k[2])], atan_of_eighths[static_cast<std::size_t>(k[3])]);
}

// The series of `Count` vectors of u, step by step across them.
template <std::size_t Count>
[[gnu::target("avx2"), gnu::always_inline]] inline void elevation_series_x4(const __m256d (&u)[Count],
                                                                            __m256d (&series)[Count]) {
  using namespace elevation_detail;
  __m256d w[Count];
  for (std::size_t v = 0; v < Count; ++v) {
    w[v] = _mm256_mul_pd(u[v], u[v]);
    series[v] = _mm256_set1_pd(series_from_top[0]);
  }
  for (std::size_t i = 1; i < series_from_top.size(); ++i) {
    const __m256d coefficient = _mm256_set1_pd(series_from_top[i]);
    for (std::size_t v = 0; v < Count; ++v)
      series[v] = _mm256_add_pd(_mm256_mul_pd(series[v], w[v]), coefficient);
  }
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256d finish_elevation_x4(
    const ReducedElevation& reduced, __m256d eighth, __m256d series, __m256d z) {
  const __m256d sign_bit = _mm256_set1_pd(-0.0);
  const __m256d angle = _mm256_add_pd(eighth, _mm256_mul_pd(reduced.u, series));
  const __m256d toward_z =
      _mm256_blendv_pd(angle, _mm256_sub_pd(_mm256_set1_pd(std::numbers::pi / 2), angle), reduced.steep);
  const __m256d signed_angle = _mm256_or_pd(_mm256_andnot_pd(sign_bit, toward_z), _mm256_and_pd(sign_bit, z));
  return _mm256_blendv_pd(signed_angle, z, reduced.flat);
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256d elevation_x4(__m256d z, __m256d horizontal) {
  const ReducedElevation reduced = reduce_elevation_x4(z, horizontal);
  const __m256d u[1]{reduced.u};
  __m256d series[1];
  elevation_series_x4(u, series);
  alignas(16) int k[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(k), reduced.eighth);
  return finish_elevation_x4(reduced, atan_of_eighth_x4(k), series[0], z);
}
#endif

}  // namespace velnora
