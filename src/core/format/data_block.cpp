#include "core/format/data_block.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>
#include <utility>

#include "core/base/little_endian.hpp"

#if defined(VELNORA_WIDE_VECTORS)
#include <immintrin.h>
#endif

namespace velnora {

namespace {

// Byte offsets of the header fields within the 512-byte sector.
constexpr std::size_t timestamp_at = 14;
constexpr std::size_t light_at = 18;
constexpr std::size_t temperature_at = 20;
constexpr std::size_t battery_at = 23;
constexpr std::size_t rate_code_at = 24;
constexpr std::size_t sample_format_at = 25;
constexpr std::size_t timestamp_offset_at = 26;
constexpr std::size_t sample_count_at = 28;
// The samples fill bytes 30..509; the checksum takes the last two bytes.
constexpr std::size_t samples_at = 30;
constexpr std::size_t sample_area_size = 480;

// "AX" read as a little-endian 16-bit value.
constexpr std::uint16_t data_block_marker = 0x5841;

// The layout of a sample format byte (axes in the high nibble, packing in the
// low one); nothing for every other pair.
std::optional<SampleLayout> sample_layout(std::uint8_t sample_format) {
  switch (sample_format) {
    case 0x30:
      return SampleLayout::packed3;
    case 0x32:
      return SampleLayout::unpacked3;
    case 0x62:
      return SampleLayout::axis6;
    case 0x92:
      return SampleLayout::axis9;
    default:
      return std::nullopt;
  }
}

std::size_t bytes_per_sample(SampleLayout layout) {
  static constexpr std::size_t sizes[] = {4, 6, 12, 18};
  return sizes[std::to_underlying(layout)];
}

// The messages are built only on the failure path, away from the screening
// loop that runs on every sector of a recording.
[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> old_format() {
  return fail("Old CWA format packets are not supported");
}

[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> unsupported_sample_format(std::uint8_t sample_format) {
  return fail("Unsupported sample format: " + std::to_string(sample_format >> 4) + " axes, packing " +
              std::to_string(sample_format & 0x0F));
}

[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> over_capacity() {
  return fail("Sample count exceeds packet capacity");
}

[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> invalid_timestamp() {
  return fail("Invalid block timestamp");
}

// The scale factors of one block, from the codes in the top bits of its light
// field, computed once per block.
struct SampleScale {
  // 1 / A with A = 256 * 2^k. A is a power of two, so multiplying by its exact
  // reciprocal gives bit for bit the quotient raw / A.
  float acc_multiplier;
  // G6 = 32768 / R: the 6-axis gyro divides by this rounded divisor.
  float gyro_divisor;
  // G9 = R * 2^-15: the 9-axis gyro multiplies by this exact factor. The two
  // forms of raw * R / 32768 may differ in the last bit; each layout keeps its own.
  float gyro_multiplier;
};

// Full-scale range in degrees per second: 2000 for code 0, else 8000 >> c as an
// integer shift, so code 7 is 62, not 62.5.
int gyro_range(std::uint16_t light) {
  const int code = (light >> 10) & 7;
  return code == 0 ? 2000 : 8000 >> code;
}

SampleScale sample_scale(std::uint16_t light) {
  const int accel_code = light >> 13;
  // With R = 2000 the general forms give exactly the fixed values that code 0
  // stands for: 32768.0f / 2000.0f is 16.384f and 2000 * 2^-15 is 0.06103515625.
  const auto range = static_cast<float>(gyro_range(light));
  return SampleScale{
      .acc_multiplier = 1.0f / static_cast<float>(256 << accel_code),
      .gyro_divisor = 32768.0f / range,
      .gyro_multiplier = range * 0x1p-15f,
  };
}

// raw / 32768, exactly.
constexpr float magnetometer_multiplier = 0x1p-15f;

// A 10-bit two's-complement field times 2^e. Placed in the top bits of an
// int16, the arithmetic right shift by 6 - e sign-extends and scales at once.
inline int packed_axis(std::uint32_t word, int shift, int exponent) {
  const auto placed = static_cast<std::int16_t>(((word >> shift) & 0x3FF) << 6);
  return placed >> (6 - exponent);
}

inline float raw_at(const std::byte* sample, int index) {
  return static_cast<float>(load_i16(sample + 2 * index));
}

// The baseline form, one sample at a time; the 256-bit form below reproduces
// its float operations lane by lane and decodes a block's last few samples
// with it.
SampleData packed_sample(const std::byte* data, std::size_t i, const SampleScale& scale) {
  const std::uint32_t word = load_u32(data + 4 * i);
  const int exponent = static_cast<int>(word >> 30);
  return SampleData{
      .acc_x = static_cast<float>(packed_axis(word, 0, exponent)) * scale.acc_multiplier,
      .acc_y = static_cast<float>(packed_axis(word, 10, exponent)) * scale.acc_multiplier,
      .acc_z = static_cast<float>(packed_axis(word, 20, exponent)) * scale.acc_multiplier,
  };
}

SampleData unpacked3_sample(const std::byte* data, std::size_t i, const SampleScale& scale) {
  const std::byte* sample = data + 6 * i;
  return SampleData{
      .acc_x = raw_at(sample, 0) * scale.acc_multiplier,
      .acc_y = raw_at(sample, 1) * scale.acc_multiplier,
      .acc_z = raw_at(sample, 2) * scale.acc_multiplier,
  };
}

SampleData axis6_sample(const std::byte* data, std::size_t i, const SampleScale& scale) {
  const std::byte* sample = data + 12 * i;
  return SampleData{
      .acc_x = raw_at(sample, 3) * scale.acc_multiplier,
      .acc_y = raw_at(sample, 4) * scale.acc_multiplier,
      .acc_z = raw_at(sample, 5) * scale.acc_multiplier,
      .gyro_x = raw_at(sample, 0) / scale.gyro_divisor,
      .gyro_y = raw_at(sample, 1) / scale.gyro_divisor,
      .gyro_z = raw_at(sample, 2) / scale.gyro_divisor,
  };
}

template <bool WithMagnetometer>
SampleData axis9_sample(const std::byte* data, std::size_t i, const SampleScale& scale) {
  const std::byte* sample = data + 18 * i;
  SampleData decoded{
      .acc_x = raw_at(sample, 3) * scale.acc_multiplier,
      .acc_y = raw_at(sample, 4) * scale.acc_multiplier,
      .acc_z = raw_at(sample, 5) * scale.acc_multiplier,
      .gyro_x = raw_at(sample, 0) * scale.gyro_multiplier,
      .gyro_y = raw_at(sample, 1) * scale.gyro_multiplier,
      .gyro_z = raw_at(sample, 2) * scale.gyro_multiplier,
  };
  if constexpr (WithMagnetometer) {
    decoded.mag_x = raw_at(sample, 6) * magnetometer_multiplier;
    decoded.mag_y = raw_at(sample, 7) * magnetometer_multiplier;
    decoded.mag_z = raw_at(sample, 8) * magnetometer_multiplier;
  }
  return decoded;
}

using SampleDecoder = SampleData (*)(const std::byte* data, std::size_t i, const SampleScale& scale);

// Samples `from` to the end of `out`, one at a time.
template <SampleDecoder Decode>
void decode_each(const std::byte* data, const SampleScale& scale, std::span<SampleData> out,
                 std::size_t from = 0) {
  for (std::size_t i = from; i < out.size(); ++i) out[i] = Decode(data, i, scale);
}

// The accelerometer alone, samples `from` to `count`: packed words, and the
// 16-bit layouts of `Stride` bytes a sample with the axes from value `First` on.
void packed_acceleration_each(const std::byte* data, const SampleScale& scale, AccelerationBuffer& out,
                              std::size_t count, std::size_t from = 0) {
  for (std::size_t i = from; i < count; ++i) {
    const SampleData sample = packed_sample(data, i, scale);
    out.x[i] = sample.acc_x;
    out.y[i] = sample.acc_y;
    out.z[i] = sample.acc_z;
  }
}

template <std::size_t Stride, int First>
void int16_acceleration_each(const std::byte* data, const SampleScale& scale, AccelerationBuffer& out,
                             std::size_t count, std::size_t from = 0) {
  for (std::size_t i = from; i < count; ++i) {
    const std::byte* sample = data + Stride * i;
    out.x[i] = raw_at(sample, First) * scale.acc_multiplier;
    out.y[i] = raw_at(sample, First + 1) * scale.acc_multiplier;
    out.z[i] = raw_at(sample, First + 2) * scale.acc_multiplier;
  }
}

#if defined(VELNORA_WIDE_VECTORS)
// The 256-bit form. The stores write whole samples, a field's bits exactly as
// the baseline form leaves them, zeros included; loads stay within the
// sector's 512 bytes for a full block of any layout.

// The samples after the last whole vector, in the baseline form. The upper
// halves of the vector registers are cleared first: g++ leaves them dirty across
// the tail call, and the scalar code after it would run several times slower.
template <SampleDecoder Decode>
[[gnu::target("avx2"), gnu::always_inline]] inline void decode_rest(const std::byte* data,
                                                                    const SampleScale& scale,
                                                                    std::span<SampleData> out,
                                                                    std::size_t from) {
  _mm256_zeroupper();
  decode_each<Decode>(data, scale, out, from);
}

// Acc in lanes 0 to 2 of `acc_and_zero` (lane 3 +0.0), the other fields +0.0.
[[gnu::target("avx2"), gnu::always_inline]] inline void store_three_axes(SampleData& sample,
                                                                         __m128 acc_and_zero) {
  _mm256_storeu_ps(&sample.acc_x, _mm256_zextps128_ps256(acc_and_zero));
  sample.mag_z = 0.0f;
}

// Eight int16 values as floats.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256 raw_floats(__m128i int16s) {
  return _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(int16s));
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m128i load_64(const std::byte* at) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
}

// One axis of eight packed words: the field that `to_top` moves to the top bits.
template <int to_top>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256 packed_axes(__m256i words, __m256i shift,
                                                                      __m256 multiplier) {
  const __m256i field = _mm256_and_si256(_mm256_slli_epi32(words, to_top), _mm256_set1_epi32(0xFFC00000));
  const __m256i value = _mm256_srav_epi32(field, shift);
  return _mm256_mul_ps(_mm256_cvtepi32_ps(value), multiplier);
}

// Eight packed words at a time: each 10-bit field is shifted to the top of its
// lane, the bits below it cleared, and shifted back arithmetically by
// 22 - exponent, which sign-extends and scales it at once; then converted and
// scaled as in packed_axis.
[[gnu::target("avx2")]] void decode_packed_in_vectors(const std::byte* data, const SampleScale& scale,
                                                      std::span<SampleData> out) {
  const __m256 multiplier = _mm256_set1_ps(scale.acc_multiplier);
  const __m256 zero = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= out.size(); i += 8) {
    const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 4 * i));
    const __m256i shift = _mm256_sub_epi32(_mm256_set1_epi32(22), _mm256_srli_epi32(words, 30));
    const __m256 x = packed_axes<22>(words, shift, multiplier);
    const __m256 y = packed_axes<12>(words, shift, multiplier);
    const __m256 z = packed_axes<2>(words, shift, multiplier);
    // Transposed to (x, y, z, 0) per sample: samples k and k + 4 share a vector.
    const __m256 xy_low = _mm256_unpacklo_ps(x, y), xy_high = _mm256_unpackhi_ps(x, y);
    const __m256 z_low = _mm256_unpacklo_ps(z, zero), z_high = _mm256_unpackhi_ps(z, zero);
    const __m256 samples[4]{_mm256_shuffle_ps(xy_low, z_low, 0x44), _mm256_shuffle_ps(xy_low, z_low, 0xEE),
                            _mm256_shuffle_ps(xy_high, z_high, 0x44),
                            _mm256_shuffle_ps(xy_high, z_high, 0xEE)};
    for (std::size_t k = 0; k < 4; ++k) {
      store_three_axes(out[i + k], _mm256_castps256_ps128(samples[k]));
      store_three_axes(out[i + k + 4], _mm256_extractf128_ps(samples[k], 1));
    }
  }
  decode_rest<packed_sample>(data, scale, out, i);
}

// The accelerometer alone, eight packed words at a time, each axis stored as
// decode_packed_in_vectors computes it.
[[gnu::target("avx2")]] void packed_acceleration_in_vectors(const std::byte* data, const SampleScale& scale,
                                                            AccelerationBuffer& out, std::size_t count) {
  const __m256 multiplier = _mm256_set1_ps(scale.acc_multiplier);
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 4 * i));
    const __m256i shift = _mm256_sub_epi32(_mm256_set1_epi32(22), _mm256_srli_epi32(words, 30));
    _mm256_store_ps(&out.x[i], packed_axes<22>(words, shift, multiplier));
    _mm256_store_ps(&out.y[i], packed_axes<12>(words, shift, multiplier));
    _mm256_store_ps(&out.z[i], packed_axes<2>(words, shift, multiplier));
  }
  _mm256_zeroupper();
  packed_acceleration_each(data, scale, out, count, i);
}

// The accelerometer alone, four samples at a time: eight bytes from each
// sample's first axis on (its three axes and one value dropped), scaled,
// then transposed into one quad per axis. The last sample's load ends at
// most two bytes past the sample area, within the sector.
template <std::size_t Stride, int First>
[[gnu::target("avx2")]] void int16_acceleration_in_vectors(const std::byte* data, const SampleScale& scale,
                                                           AccelerationBuffer& out, std::size_t count) {
  const __m256 multiplier = _mm256_set1_ps(scale.acc_multiplier);
  const std::byte* axes = data + 2 * First;
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const std::byte* sample = axes + Stride * i;
    const __m256 first_two =
        _mm256_mul_ps(raw_floats(_mm_unpacklo_epi64(load_64(sample), load_64(sample + Stride))), multiplier);
    const __m256 last_two = _mm256_mul_ps(
        raw_floats(_mm_unpacklo_epi64(load_64(sample + 2 * Stride), load_64(sample + 3 * Stride))),
        multiplier);
    __m128 x = _mm256_castps256_ps128(first_two), y = _mm256_extractf128_ps(first_two, 1);
    __m128 z = _mm256_castps256_ps128(last_two), dropped = _mm256_extractf128_ps(last_two, 1);
    _MM_TRANSPOSE4_PS(x, y, z, dropped);
    _mm_store_ps(&out.x[i], x);
    _mm_store_ps(&out.y[i], y);
    _mm_store_ps(&out.z[i], z);
  }
  _mm256_zeroupper();
  int16_acceleration_each<Stride, First>(data, scale, out, count, i);
}

// Two samples at a time, one per 128-bit half.
[[gnu::target("avx2")]] void decode_unpacked3_in_vectors(const std::byte* data, const SampleScale& scale,
                                                         std::span<SampleData> out) {
  const __m256 multiplier = _mm256_set1_ps(scale.acc_multiplier);
  std::size_t i = 0;
  for (; i + 2 <= out.size(); i += 2) {
    const std::byte* sample = data + 6 * i;
    // Eight bytes from each sample: its three values and one dropped.
    const __m256 raw = raw_floats(_mm_unpacklo_epi64(load_64(sample), load_64(sample + 6)));
    const __m256 acc = _mm256_blend_ps(_mm256_mul_ps(raw, multiplier), _mm256_setzero_ps(), 0b10001000);
    store_three_axes(out[i], _mm256_castps256_ps128(acc));
    store_three_axes(out[i + 1], _mm256_extractf128_ps(acc, 1));
  }
  decode_rest<unpacked3_sample>(data, scale, out, i);
}

// Acc in lanes 0 to 2 of `acc_quad`, gyro in lanes 0 to 2 of `gyro_quad` (lane
// 3 +0.0): the gyroscope quad overwrites the fourth lane of the first store.
[[gnu::target("avx2"), gnu::always_inline]] inline void store_six_axes(SampleData& sample, __m128 acc_quad,
                                                                       __m128 gyro_quad) {
  _mm_storeu_ps(&sample.acc_x, acc_quad);
  _mm_storeu_ps(&sample.gyro_x, gyro_quad);
  _mm_storel_pi(reinterpret_cast<__m64*>(&sample.mag_y), _mm_setzero_ps());
}

// Two samples at a time: the gyroscope values of both in one vector, so one
// divide serves two samples, the accelerometer values in another.
[[gnu::target("avx2")]] void decode_axis6_in_vectors(const std::byte* data, const SampleScale& scale,
                                                     std::span<SampleData> out) {
  const __m256 acc_multiplier = _mm256_set1_ps(scale.acc_multiplier);
  const __m256 gyro_divisor = _mm256_set1_ps(scale.gyro_divisor);
  const __m256 zero = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 2 <= out.size(); i += 2) {
    const std::byte* sample = data + 12 * i;
    const __m256 gyro_raw = raw_floats(_mm_unpacklo_epi64(load_64(sample), load_64(sample + 12)));
    const __m256 acc_raw = raw_floats(_mm_unpacklo_epi64(load_64(sample + 6), load_64(sample + 18)));
    const __m256 gyro = _mm256_blend_ps(_mm256_div_ps(gyro_raw, gyro_divisor), zero, 0b10001000);
    const __m256 acc = _mm256_mul_ps(acc_raw, acc_multiplier);
    store_six_axes(out[i], _mm256_castps256_ps128(acc), _mm256_castps256_ps128(gyro));
    store_six_axes(out[i + 1], _mm256_extractf128_ps(acc, 1), _mm256_extractf128_ps(gyro, 1));
  }
  decode_rest<axis6_sample>(data, scale, out, i);
}

// One sample per vector: its first eight values scaled lane by lane, moved into
// field order; the ninth alone.
template <bool WithMagnetometer>
[[gnu::target("avx2")]] void decode_axis9_in_vectors(const std::byte* data, const SampleScale& scale,
                                                     std::span<SampleData> out) {
  const __m256 multipliers = _mm256_setr_ps(
      scale.gyro_multiplier, scale.gyro_multiplier, scale.gyro_multiplier, scale.acc_multiplier,
      scale.acc_multiplier, scale.acc_multiplier, magnetometer_multiplier, magnetometer_multiplier);
  const __m256i field_order = _mm256_setr_epi32(3, 4, 5, 0, 1, 2, 6, 7);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::byte* sample = data + 18 * i;
    const __m256 raw = raw_floats(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sample)));
    __m256 fields = _mm256_permutevar8x32_ps(_mm256_mul_ps(raw, multipliers), field_order);
    if constexpr (!WithMagnetometer) fields = _mm256_blend_ps(fields, _mm256_setzero_ps(), 0b11000000);
    _mm256_storeu_ps(&out[i].acc_x, fields);
    out[i].mag_z = WithMagnetometer ? raw_at(sample, 8) * magnetometer_multiplier : 0.0f;
  }
}
#endif

// Only the low 10 bits are readings; the top bits of light are scale codes.
constexpr std::uint16_t reading_mask = 0x3FF;

float temperature_celsius(std::uint16_t field) {
  return (static_cast<float>(field & reading_mask) * 75.0f) * 0.00390625f + (-50.0f);
}

// The single-precision powf is part of the result: a double pow rounded to
// float can differ in the last bit.
float light_lux(std::uint16_t field) {
  return powf(10.0f, static_cast<float>(field & reading_mask) / 341.0f);
}

float battery_volts(std::uint8_t field) {
  return (static_cast<float>(field) + 512.0f) * 6.0f * 0.0009765625f;
}

}  // namespace

Result<std::optional<CwaDataBlock>> screen_data_block(Sector sector) {
  const std::byte* bytes = sector.data();
  if (load_u16(bytes) != data_block_marker) return std::nullopt;
  // A zero count marks a sector without data whatever the other fields hold,
  // so it is tested before any field that could make the block malformed.
  const std::uint16_t sample_count = load_u16(bytes + sample_count_at);
  if (sample_count == 0) return std::nullopt;
  const std::uint8_t rate_code = load_u8(bytes + rate_code_at);
  if (rate_code == 0) return old_format();
  const std::uint8_t sample_format = load_u8(bytes + sample_format_at);
  const std::optional<SampleLayout> layout = sample_layout(sample_format);
  if (!layout) return unsupported_sample_format(sample_format);
  if (bytes_per_sample(*layout) * sample_count > sample_area_size) return over_capacity();
  const std::optional<UnixSeconds> stamped = cwa_timestamp(load_u32(bytes + timestamp_at));
  if (!stamped) return invalid_timestamp();
  return CwaDataBlock{
      .sector = bytes,
      .stamped_second = *stamped,
      .sample_count = sample_count,
      .timestampOffset = load_i16(bytes + timestamp_offset_at),
      .rate_code = rate_code,
      .layout = *layout,
  };
}

std::uint64_t refused_block_sample_count(Sector sector) {
  const std::byte* bytes = sector.data();
  const std::optional<SampleLayout> layout = sample_layout(load_u8(bytes + sample_format_at));
  const std::size_t capacity = layout ? sample_area_size / bytes_per_sample(*layout) : max_samples_per_block;
  return std::min<std::size_t>(load_u16(bytes + sample_count_at), capacity);
}

namespace {

struct BlockSamples {
  const std::byte* data;
  SampleScale scale;
  std::span<SampleData> out;
};

BlockSamples block_samples(const CwaDataBlock& block, SampleBuffer& out) {
  // Screening made sure the samples fit the area, so there are at most 120,
  // the size of `out`.
  return BlockSamples{block.sector + samples_at, sample_scale(load_u16(block.sector + light_at)),
                      std::span<SampleData>(out.data(), block.sample_count)};
}

DecodedSamples decoded(const BlockSamples& block, SampleLayout layout, bool include_magnetometer) {
  return DecodedSamples{block.out, layout == SampleLayout::axis9 && include_magnetometer};
}

// One of the forms of each layout's accelerometer decoding, in SampleLayout's order.
using AccelerationDecoder = void (*)(const std::byte* data, const SampleScale& scale, AccelerationBuffer& out,
                                     std::size_t count);

template <void (*Each)(const std::byte*, const SampleScale&, AccelerationBuffer&, std::size_t, std::size_t)>
void whole_block(const std::byte* data, const SampleScale& scale, AccelerationBuffer& out,
                 std::size_t count) {
  Each(data, scale, out, count, 0);
}

AccelerationSpans decode_acceleration(const CwaDataBlock& block, AccelerationBuffer& out,
                                      const std::array<AccelerationDecoder, 4>& by_layout) {
  by_layout[std::to_underlying(block.layout)](
      block.sector + samples_at, sample_scale(load_u16(block.sector + light_at)), out, block.sample_count);
  return AccelerationSpans{out.x, out.y, out.z}.subspan(0, block.sample_count);
}

}  // namespace

DecodedSamples CwaDataBlock::parse_samples(bool include_magnetometer, SampleBuffer& out) const {
#if defined(VELNORA_WIDE_VECTORS)
  if (wide_vectors_available()) return parse_samples_in_vectors(include_magnetometer, out);
#endif
  return parse_samples_one_by_one(include_magnetometer, out);
}

DecodedSamples CwaDataBlock::parse_samples_one_by_one(bool include_magnetometer, SampleBuffer& out) const {
  const BlockSamples block = block_samples(*this, out);
  switch (layout) {
    case SampleLayout::packed3:
      decode_each<packed_sample>(block.data, block.scale, block.out);
      break;
    case SampleLayout::unpacked3:
      decode_each<unpacked3_sample>(block.data, block.scale, block.out);
      break;
    case SampleLayout::axis6:
      decode_each<axis6_sample>(block.data, block.scale, block.out);
      break;
    case SampleLayout::axis9:
      if (include_magnetometer) {
        decode_each<axis9_sample<true>>(block.data, block.scale, block.out);
      } else {
        decode_each<axis9_sample<false>>(block.data, block.scale, block.out);
      }
      break;
  }
  return decoded(block, layout, include_magnetometer);
}

#if defined(VELNORA_WIDE_VECTORS)
DecodedSamples CwaDataBlock::parse_samples_in_vectors(bool include_magnetometer, SampleBuffer& out) const {
  const BlockSamples block = block_samples(*this, out);
  switch (layout) {
    case SampleLayout::packed3:
      decode_packed_in_vectors(block.data, block.scale, block.out);
      break;
    case SampleLayout::unpacked3:
      decode_unpacked3_in_vectors(block.data, block.scale, block.out);
      break;
    case SampleLayout::axis6:
      decode_axis6_in_vectors(block.data, block.scale, block.out);
      break;
    case SampleLayout::axis9:
      if (include_magnetometer) {
        decode_axis9_in_vectors<true>(block.data, block.scale, block.out);
      } else {
        decode_axis9_in_vectors<false>(block.data, block.scale, block.out);
      }
      break;
  }
  return decoded(block, layout, include_magnetometer);
}
#endif

AccelerationSpans CwaDataBlock::parse_acceleration(AccelerationBuffer& out) const {
#if defined(VELNORA_WIDE_VECTORS)
  if (wide_vectors_available()) return parse_acceleration_in_vectors(out);
#endif
  return parse_acceleration_one_by_one(out);
}

AccelerationSpans CwaDataBlock::parse_acceleration_one_by_one(AccelerationBuffer& out) const {
  return decode_acceleration(
      *this, out,
      {whole_block<packed_acceleration_each>, whole_block<int16_acceleration_each<6, 0>>,
       whole_block<int16_acceleration_each<12, 3>>, whole_block<int16_acceleration_each<18, 3>>});
}

#if defined(VELNORA_WIDE_VECTORS)
AccelerationSpans CwaDataBlock::parse_acceleration_in_vectors(AccelerationBuffer& out) const {
  return decode_acceleration(*this, out,
                             {packed_acceleration_in_vectors, int16_acceleration_in_vectors<6, 0>,
                              int16_acceleration_in_vectors<12, 3>, int16_acceleration_in_vectors<18, 3>});
}
#endif

float CwaDataBlock::temperature() const { return temperature_celsius(load_u16(sector + temperature_at)); }

BlockReadings CwaDataBlock::readings() const {
  return BlockReadings{
      .temperature = temperature(),
      .light = light_lux(load_u16(sector + light_at)),
      .battery = battery_volts(load_u8(sector + battery_at)),
  };
}

}  // namespace velnora
