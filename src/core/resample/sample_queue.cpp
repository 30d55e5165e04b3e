#include "core/resample/sample_queue.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#include "core/base/numeric.hpp"
#include "core/base/wide_numeric.hpp"

namespace velnora {

namespace {

// The index of the channel in `lane`.
consteval std::size_t channel_in_lane(std::size_t lane) {
  for (std::size_t c = 0; c < channel_count; ++c) {
    if (channels[c].lane == lane) return c;
  }
  throw "no channel in that lane";
}

// The value in `lane` for one sample of a block.
template <std::size_t lane>
[[gnu::always_inline]] inline float lane_value(const SampleData& sample, const BlockReadings& readings) {
  constexpr Channel channel = channels[channel_in_lane(lane)];
  return channel_value(channel, sample, readings);
}

// The bits of the third quad's values (lanes 8 to 11): zero only if all four
// are +0.0.
template <std::size_t... lane>
[[gnu::always_inline]] inline std::uint32_t third_quad_bits(const SampleData& sample,
                                                            const BlockReadings& readings,
                                                            std::index_sequence<lane...>) {
  return (std::bit_cast<std::uint32_t>(lane_value<8 + lane>(sample, readings)) | ...);
}

// Stores the values of one sample two lanes at a time, straight into the
// array: a vector type that may alias its doubles.
template <std::size_t... pair>
[[gnu::always_inline]] inline void store_pairs(double* values, const SampleData& sample,
                                               const BlockReadings& readings, std::index_sequence<pair...>) {
  using Pair = double __attribute__((vector_size(16), may_alias));
  Pair* pairs = reinterpret_cast<Pair*>(values);
  ((pairs[pair] = Pair{lane_value<2 * pair>(sample, readings), lane_value<2 * pair + 1>(sample, readings)}),
   ...);
}

}  // namespace

bool set_timed_samples_in_pairs(const QueueSlots& slots, std::span<const std::int64_t> timestamps,
                                std::span<const SampleData> samples, const BlockReadings& readings) {
  std::uint32_t third_quad_bits_seen = 0;
  for (std::size_t k = 0; k < samples.size(); ++k) {
    store_pairs(slots.values[k].values.data(), samples[k], readings,
                std::make_index_sequence<channel_count / 2>{});
    slots.times[k] = seconds_from_us(timestamps[k]);
    third_quad_bits_seen |= third_quad_bits(samples[k], readings, std::make_index_sequence<4>{});
  }
  return third_quad_bits_seen == 0;
}

#if defined(VELNORA_WIDE_VECTORS)
// Whether lane l holds the channel named lanes[l], for every lane.
consteval bool lanes_hold(std::array<std::string_view, channel_count> names) {
  for (std::size_t lane = 0; lane < channel_count; ++lane) {
    if (channels[channel_in_lane(lane)].name != names[lane]) return false;
  }
  return true;
}

// Each quad is four neighbouring float32 values widened by one instruction. A
// sample's fields lie in the order acc_x, acc_y, acc_z, gyro_x, gyro_y,
// gyro_z, mag_x, mag_y, mag_z; the loads below are written for that order
// and these lanes.
static_assert(lanes_hold({"acc_x", "acc_y", "acc_z", "temperature", "light", "battery", "gyro_x", "gyro_y",
                          "gyro_z", "mag_x", "mag_y", "mag_z"}));

[[gnu::target("avx2")]] bool set_timed_samples_in_quads(const QueueSlots& slots,
                                                        std::span<const std::int64_t> timestamps,
                                                        std::span<const SampleData> samples,
                                                        const BlockReadings& readings) {
  static_assert(sizeof(SampleData) == 9 * sizeof(float));
  const __m256d temperature = _mm256_set1_pd(readings.temperature);
  const __m128 light_battery = _mm_setr_ps(readings.light, readings.battery, 0.0f, 0.0f);
  __m128i third_quad_bits = _mm_setzero_si128();
  for (std::size_t k = 0; k < samples.size(); ++k) {
    const float* fields = &samples[k].acc_x;
    double* values = slots.values[k].values.data();
    const __m256d acc = _mm256_cvtps_pd(_mm_loadu_ps(fields));  // acc_x, acc_y, acc_z, gyro_x
    _mm256_store_pd(values, _mm256_blend_pd(acc, temperature, 0b1000));
    const __m128 gyro_xy = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(fields + 3)));
    _mm256_store_pd(values + 4, _mm256_cvtps_pd(_mm_movelh_ps(light_battery, gyro_xy)));
    const __m128 third = _mm_loadu_ps(fields + 5);  // gyro_z, mag_x, mag_y, mag_z
    _mm256_store_pd(values + 8, _mm256_cvtps_pd(third));
    third_quad_bits = _mm_or_si128(third_quad_bits, _mm_castps_si128(third));
  }
  std::size_t k = 0;
  for (; k + 4 <= samples.size(); k += 4) {
    if (!seconds_from_us_x4(&timestamps[k], &slots.times[k])) break;
  }
  for (; k < samples.size(); ++k) slots.times[k] = seconds_from_us(timestamps[k]);
  return _mm_testz_si128(third_quad_bits, third_quad_bits) != 0;
}
#endif

bool set_timed_samples(const QueueSlots& slots, std::span<const std::int64_t> timestamps,
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
    std::copy_n(values_.get() + front_, size_, values_.get());
    std::copy_n(times_.get() + front_, size_, times_.get());
    front_ = 0;
    return {};
  }
  std::size_t grown = capacity_ > 0 ? capacity_ : initial_capacity;
  while (grown - size_ < count) {
    if (grown > SIZE_MAX / 2 / sizeof(SampleValues)) return fail(CwaError::io_errno(ENOMEM));
    grown *= 2;
  }
  std::unique_ptr<SampleValues[]> values(new (std::nothrow) SampleValues[grown]);
  std::unique_ptr<double[]> times(new (std::nothrow) double[grown]);
  if (!values || !times) return fail(CwaError::io_errno(ENOMEM));
  std::copy_n(values_.get() + front_, size_, values.get());
  std::copy_n(times_.get() + front_, size_, times.get());
  values_ = std::move(values);
  times_ = std::move(times);
  capacity_ = grown;
  front_ = 0;
  return {};
}

}  // namespace velnora
