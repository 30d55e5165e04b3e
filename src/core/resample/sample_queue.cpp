#include "core/resample/sample_queue.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <new>

#if defined(VELNORA_WIDE_VECTORS)
#include <immintrin.h>
#endif

namespace velnora {

namespace {

double seconds(std::int64_t timestamp) { return static_cast<double>(timestamp) / 1000000.0; }

}  // namespace

bool set_timed_samples_in_pairs(std::span<TimedSample> slots, std::span<const std::int64_t> timestamps,
                                std::span<const SampleData> samples, const BlockReadings& readings) {
  // Pairs stored straight into the array: a vector type that may alias its doubles.
  using Pair = double __attribute__((vector_size(16), may_alias));
  std::uint32_t third_quad_bits = 0;
  for (std::size_t k = 0; k < samples.size(); ++k) {
    const SampleData& sample = samples[k];
    Pair* pairs = reinterpret_cast<Pair*>(slots[k].values.data());
    pairs[0] = Pair{sample.acc_x, sample.acc_y};
    pairs[1] = Pair{sample.acc_z, readings.temperature};
    pairs[2] = Pair{readings.light, readings.battery};
    pairs[3] = Pair{sample.gyro_x, sample.gyro_y};
    pairs[4] = Pair{sample.gyro_z, sample.mag_x};
    pairs[5] = Pair{sample.mag_y, sample.mag_z};
    slots[k].time = seconds(timestamps[k]);
    third_quad_bits |=
        std::bit_cast<std::uint32_t>(sample.gyro_z) | std::bit_cast<std::uint32_t>(sample.mag_x) |
        std::bit_cast<std::uint32_t>(sample.mag_y) | std::bit_cast<std::uint32_t>(sample.mag_z);
  }
  return third_quad_bits == 0;
}

#if defined(VELNORA_WIDE_VECTORS)
// Each quad is four neighbouring float32 values widened by one instruction. A
// sample's fields lie in the order acc_x, acc_y, acc_z, gyro_x, gyro_y,
// gyro_z, mag_x, mag_y, mag_z.
[[gnu::target("avx2")]] bool set_timed_samples_in_quads(std::span<TimedSample> slots,
                                                        std::span<const std::int64_t> timestamps,
                                                        std::span<const SampleData> samples,
                                                        const BlockReadings& readings) {
  static_assert(sizeof(SampleData) == 9 * sizeof(float));
  const __m256d temperature = _mm256_set1_pd(readings.temperature);
  const __m128 light_battery = _mm_setr_ps(readings.light, readings.battery, 0.0f, 0.0f);
  __m128i third_quad_bits = _mm_setzero_si128();
  for (std::size_t k = 0; k < samples.size(); ++k) {
    const float* fields = &samples[k].acc_x;
    double* values = slots[k].values.data();
    const __m256d acc = _mm256_cvtps_pd(_mm_loadu_ps(fields));  // acc_x, acc_y, acc_z, gyro_x
    _mm256_store_pd(values, _mm256_blend_pd(acc, temperature, 0b1000));
    const __m128 gyro_xy = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(fields + 3)));
    _mm256_store_pd(values + 4, _mm256_cvtps_pd(_mm_movelh_ps(light_battery, gyro_xy)));
    const __m128 third = _mm_loadu_ps(fields + 5);  // gyro_z, mag_x, mag_y, mag_z
    _mm256_store_pd(values + 8, _mm256_cvtps_pd(third));
    third_quad_bits = _mm_or_si128(third_quad_bits, _mm_castps_si128(third));
    slots[k].time = seconds(timestamps[k]);
  }
  return _mm_testz_si128(third_quad_bits, third_quad_bits) != 0;
}
#endif

bool set_timed_samples(std::span<TimedSample> slots, std::span<const std::int64_t> timestamps,
                       std::span<const SampleData> samples, const BlockReadings& readings) {
#if defined(VELNORA_WIDE_VECTORS)
  if (wide_vectors_available()) return set_timed_samples_in_quads(slots, timestamps, samples, readings);
#endif
  return set_timed_samples_in_pairs(slots, timestamps, samples, readings);
}

namespace {

// Four samples make a cubic. A whole block is queued at once, so the buffer
// settles at the first power of two that holds a block and a few samples
// before it.
constexpr std::size_t initial_capacity = 8;

}  // namespace

Result<void> SampleQueue::make_room(std::size_t count) {
  if (count <= capacity_ - size_) {
    std::copy(slots_.get() + front_, slots_.get() + front_ + size_, slots_.get());
    front_ = 0;
    return {};
  }
  std::size_t grown = capacity_ > 0 ? capacity_ : initial_capacity;
  while (grown - size_ < count) {
    if (grown > SIZE_MAX / 2 / sizeof(TimedSample)) return fail(CwaError::io_errno(ENOMEM));
    grown *= 2;
  }
  std::unique_ptr<TimedSample[]> slots(new (std::nothrow) TimedSample[grown]);
  if (!slots) return fail(CwaError::io_errno(ENOMEM));
  std::copy(slots_.get() + front_, slots_.get() + front_ + size_, slots.get());
  slots_ = std::move(slots);
  capacity_ = grown;
  front_ = 0;
  return {};
}

}  // namespace velnora
