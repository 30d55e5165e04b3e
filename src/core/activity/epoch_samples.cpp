#include "core/activity/epoch_samples.hpp"

#include <algorithm>
#include <cmath>

#include "core/activity/elevation.hpp"

#if defined(VELNORA_WIDE_VECTORS)
#include <immintrin.h>
#endif

namespace velnora {

void calibrate_axes(const AccelerationSpans& samples, const AxisValues& added, const AxisValues& scale,
                    CalibratedAxes& axes) {
#if defined(VELNORA_WIDE_VECTORS)
  if (wide_vectors_available()) return calibrate_axes_in_vectors(samples, added, scale, axes);
#endif
  calibrate_axes_one_by_one(samples, added, scale, axes);
}

void add_epoch_samples(const CalibratedAxes& axes, std::size_t from, std::size_t to, MetricSums& sums,
                       double* magnitudes) {
#if defined(VELNORA_WIDE_VECTORS)
  if (wide_vectors_available()) return add_epoch_samples_in_vectors(axes, from, to, sums, magnitudes);
#endif
  add_epoch_samples_one_by_one(axes, from, to, sums, magnitudes);
}

void calibrate_axes_one_by_one(const AccelerationSpans& samples, const AxisValues& added,
                               const AxisValues& scale, CalibratedAxes& axes, std::size_t from) {
  for (std::size_t k = from; k < samples.size(); ++k) {
    axes.x[k] = added[0] + scale[0] * samples.x[k];
    axes.y[k] = added[1] + scale[1] * samples.y[k];
    axes.z[k] = added[2] + scale[2] * samples.z[k];
  }
}

void add_epoch_samples_one_by_one(const CalibratedAxes& axes, std::size_t from, std::size_t to,
                                  MetricSums& sums, double* magnitudes) {
  MetricSums running = sums;
  for (std::size_t k = from; k < to; ++k) {
    const double horizontal = axes.x[k] * axes.x[k] + axes.y[k] * axes.y[k];
    const double magnitude = std::sqrt(horizontal + axes.z[k] * axes.z[k]);
    running.enmo += std::max(magnitude - 1.0, 0.0);
    running.angle += elevation(axes.z[k], std::sqrt(horizontal));
    running.magnitude += magnitude;
    magnitudes[k - from] = magnitude;
  }
  sums = running;
}

#if defined(VELNORA_WIDE_VECTORS)
// Four samples at a time, each axis widened, scaled and offset.
[[gnu::target("avx2")]] void calibrate_axes_in_vectors(const AccelerationSpans& samples,
                                                       const AxisValues& added, const AxisValues& scale,
                                                       CalibratedAxes& axes) {
  const std::array<std::span<const float>, 3> in{samples.x, samples.y, samples.z};
  const std::array<double*, 3> out{axes.x.data(), axes.y.data(), axes.z.data()};
  std::size_t k = 0;
  for (; k + 4 <= samples.size(); k += 4) {
    for (std::size_t a = 0; a < 3; ++a) {
      const __m256d raw = _mm256_cvtps_pd(_mm_loadu_ps(&in[a][k]));
      _mm256_storeu_pd(out[a] + k,
                       _mm256_add_pd(_mm256_set1_pd(added[a]), _mm256_mul_pd(_mm256_set1_pd(scale[a]), raw)));
    }
  }
  // The scalar code after a 256-bit loop runs several times slower until the
  // upper halves are cleared; g++ does not clear them before a call.
  _mm256_zeroupper();
  calibrate_axes_one_by_one(samples, added, scale, axes, k);
}

namespace {

// What the stages of add_epoch_samples_in_vectors hand on: the horizontal
// lengths, then the reduced angles.
struct ReducedAngles {
  alignas(32) std::array<double, max_samples_per_block> horizontal, u, steep, flat;
  alignas(16) std::array<int, max_samples_per_block> eighth;
};

[[gnu::target("avx2"), gnu::always_inline]] inline void store_reduced(ReducedAngles& angles, std::size_t at,
                                                                      const ReducedElevation& reduced) {
  _mm256_store_pd(&angles.u[at], reduced.u);
  _mm_store_si128(reinterpret_cast<__m128i*>(&angles.eighth[at]), reduced.eighth);
  _mm256_store_pd(&angles.steep[at], reduced.steep);
  _mm256_store_pd(&angles.flat[at], reduced.flat);
}

[[gnu::target("avx2"), gnu::always_inline]] inline ReducedElevation load_reduced(const ReducedAngles& angles,
                                                                                 std::size_t at) {
  return {_mm256_load_pd(&angles.u[at]), _mm_load_si128(reinterpret_cast<const __m128i*>(&angles.eighth[at])),
          _mm256_load_pd(&angles.steep[at]), _mm256_load_pd(&angles.flat[at])};
}

// Adds the four lanes of `values` to `sum`, one after the other.
[[gnu::target("avx2"), gnu::always_inline]] inline void add_in_order(double& sum, __m256d values) {
  alignas(32) std::array<double, 4> lanes;
  _mm256_store_pd(lanes.data(), values);
  for (const double value : lanes) sum += value;
}

// The angles of `Count` vectors of samples from `at` on, the series
// interleaved across them, added to `sum` in sample order.
template <std::size_t Count>
[[gnu::target("avx2"), gnu::always_inline]] inline void add_angles(const ReducedAngles& angles,
                                                                   const double* z, std::size_t at,
                                                                   double& sum) {
  __m256d u[Count], series[Count];
  for (std::size_t v = 0; v < Count; ++v) u[v] = _mm256_load_pd(&angles.u[at + 4 * v]);
  elevation_series_x4(u, series);
  for (std::size_t v = 0; v < Count; ++v) {
    const std::size_t k = at + 4 * v;
    const __m256d eighth = atan_of_eighth_x4(&angles.eighth[k]);
    add_in_order(sum,
                 finish_elevation_x4(load_reduced(angles, k), eighth, series[v], _mm256_loadu_pd(z + k)));
  }
}

}  // namespace

// Four samples at a time, in three stages over the piece, each a loop short
// enough for the processor to overlap one vector's work with the next's:
// the square roots (the magnitudes with ENMO, and the horizontal lengths),
// the angles' reduction (the divisions), then the angles' series, four
// vectors at once, whose chain of multiplications is too long to overlap on
// its own. std::max(m − 1, 0) is vmaxpd(0, m − 1) lane by lane, NaN and −0
// included. Each sum takes its lanes in sample order.
[[gnu::target("avx2")]] void add_epoch_samples_in_vectors(const CalibratedAxes& axes, std::size_t from,
                                                          std::size_t to, MetricSums& sums,
                                                          double* magnitudes) {
  ReducedAngles angles;
  MetricSums running = sums;
  const std::size_t vectors = (to - from) / 4;
  for (std::size_t v = 0; v < vectors; ++v) {
    const std::size_t k = from + 4 * v;
    const __m256d x = _mm256_loadu_pd(&axes.x[k]);
    const __m256d y = _mm256_loadu_pd(&axes.y[k]);
    const __m256d z = _mm256_loadu_pd(&axes.z[k]);
    const __m256d horizontal = _mm256_add_pd(_mm256_mul_pd(x, x), _mm256_mul_pd(y, y));
    const __m256d magnitude = _mm256_sqrt_pd(_mm256_add_pd(horizontal, _mm256_mul_pd(z, z)));
    _mm256_storeu_pd(magnitudes + 4 * v, magnitude);
    _mm256_store_pd(&angles.horizontal[4 * v], _mm256_sqrt_pd(horizontal));
    add_in_order(running.enmo,
                 _mm256_max_pd(_mm256_setzero_pd(), _mm256_sub_pd(magnitude, _mm256_set1_pd(1.0))));
    add_in_order(running.magnitude, magnitude);
  }
  for (std::size_t v = 0; v < vectors; ++v) {
    const __m256d z = _mm256_loadu_pd(&axes.z[from + 4 * v]);
    store_reduced(angles, 4 * v, reduce_elevation_x4(z, _mm256_load_pd(&angles.horizontal[4 * v])));
  }
  constexpr std::size_t interleaved = 4;
  std::size_t v = 0;
  for (; v + interleaved <= vectors; v += interleaved)
    add_angles<interleaved>(angles, axes.z.data() + from, 4 * v, running.angle);
  for (; v < vectors; ++v) add_angles<1>(angles, axes.z.data() + from, 4 * v, running.angle);
  sums = running;
  // The scalar code after a 256-bit loop runs several times slower until the
  // upper halves are cleared; g++ does not clear them before a call.
  _mm256_zeroupper();
  const std::size_t done = 4 * vectors;
  add_epoch_samples_one_by_one(axes, from + done, to, sums, magnitudes + done);
}
#endif

}  // namespace velnora
