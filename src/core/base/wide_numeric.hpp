#pragma once

#include <cstdint>

#include "core/base/numeric.hpp"
#include "core/base/wide_vectors.hpp"

#if defined(VELNORA_WIDE_VECTORS)
#include <immintrin.h>

// The microsecond conversions of numeric.hpp, four lanes at a time, for code
// compiled for AVX2. AVX2 has no conversion between int64 and double; both
// directions go through the low bits of 2^52 + n, exact for whole
// 0 <= n < 2^52 µs (until the year 2112). Outside that range, or for NaN, a
// function reports false and stores nothing, and the caller takes the scalar
// form with its saturation. Each lane gives the scalar form's bits.

namespace velnora {

// seconds_from_us of four timestamps.
[[gnu::target("avx2"), gnu::always_inline]] inline bool seconds_from_us_x4(const std::int64_t* us,
                                                                           double* seconds) {
  const __m256i bias = _mm256_castpd_si256(_mm256_set1_pd(0x1p52));
  const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(us));
  // Signed compares: within unless negative or at least 2^52.
  const __m256i outside =
      _mm256_or_si256(_mm256_cmpgt_epi64(_mm256_setzero_si256(), values),
                      _mm256_cmpgt_epi64(values, _mm256_set1_epi64x((std::int64_t{1} << 52) - 1)));
  if (!_mm256_testz_si256(outside, outside)) return false;
  const __m256d exact =
      _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(values, bias)), _mm256_set1_pd(0x1p52));
  _mm256_storeu_pd(seconds, _mm256_div_pd(exact, _mm256_set1_pd(static_cast<double>(us_per_second))));
  return true;
}

// truncated_us of four times in seconds.
[[gnu::target("avx2"), gnu::always_inline]] inline bool truncated_us_x4(__m256d seconds, std::int64_t* us) {
  const __m256d integer_bias = _mm256_set1_pd(0x1p52);
  const __m256d micros =
      _mm256_round_pd(_mm256_mul_pd(seconds, _mm256_set1_pd(static_cast<double>(us_per_second))),
                      _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const __m256d within = _mm256_and_pd(_mm256_cmp_pd(micros, _mm256_setzero_pd(), _CMP_GE_OQ),
                                       _mm256_cmp_pd(micros, integer_bias, _CMP_LT_OQ));
  if (_mm256_movemask_pd(within) != 0b1111) return false;
  const __m256i biased = _mm256_castpd_si256(_mm256_add_pd(micros, integer_bias));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(us),
                      _mm256_sub_epi64(biased, _mm256_castpd_si256(integer_bias)));
  return true;
}

}  // namespace velnora

#endif
