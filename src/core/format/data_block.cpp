#include "core/format/data_block.hpp"

#include <cmath>
#include <span>
#include <string>
#include <utility>

#include "core/base/little_endian.hpp"

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

void decode_packed(const std::byte* data, const SampleScale& scale, std::span<SampleData> out) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::uint32_t word = load_u32(data + 4 * i);
    const int exponent = static_cast<int>(word >> 30);
    out[i] = SampleData{
        .acc_x = static_cast<float>(packed_axis(word, 0, exponent)) * scale.acc_multiplier,
        .acc_y = static_cast<float>(packed_axis(word, 10, exponent)) * scale.acc_multiplier,
        .acc_z = static_cast<float>(packed_axis(word, 20, exponent)) * scale.acc_multiplier,
    };
  }
}

void decode_unpacked3(const std::byte* data, const SampleScale& scale, std::span<SampleData> out) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::byte* sample = data + 6 * i;
    out[i] = SampleData{
        .acc_x = raw_at(sample, 0) * scale.acc_multiplier,
        .acc_y = raw_at(sample, 1) * scale.acc_multiplier,
        .acc_z = raw_at(sample, 2) * scale.acc_multiplier,
    };
  }
}

void decode_axis6(const std::byte* data, const SampleScale& scale, std::span<SampleData> out) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::byte* sample = data + 12 * i;
    out[i] = SampleData{
        .acc_x = raw_at(sample, 3) * scale.acc_multiplier,
        .acc_y = raw_at(sample, 4) * scale.acc_multiplier,
        .acc_z = raw_at(sample, 5) * scale.acc_multiplier,
        .gyro_x = raw_at(sample, 0) / scale.gyro_divisor,
        .gyro_y = raw_at(sample, 1) / scale.gyro_divisor,
        .gyro_z = raw_at(sample, 2) / scale.gyro_divisor,
    };
  }
}

template <bool WithMagnetometer>
void decode_axis9(const std::byte* data, const SampleScale& scale, std::span<SampleData> out) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::byte* sample = data + 18 * i;
    SampleData& decoded = out[i];
    decoded = SampleData{
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
  }
}

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

DecodedSamples CwaDataBlock::parse_samples(bool include_magnetometer, SampleBuffer& out) const {
  const std::byte* data = sector + samples_at;
  const SampleScale scale = sample_scale(load_u16(sector + light_at));
  // Screening made sure the samples fit the area, so there are at most 120,
  // the size of `out`.
  const std::span<SampleData> samples(out.data(), sample_count);
  switch (layout) {
    case SampleLayout::packed3:
      decode_packed(data, scale, samples);
      return DecodedSamples{samples, false};
    case SampleLayout::unpacked3:
      decode_unpacked3(data, scale, samples);
      return DecodedSamples{samples, false};
    case SampleLayout::axis6:
      decode_axis6(data, scale, samples);
      return DecodedSamples{samples, false};
    case SampleLayout::axis9:
      if (include_magnetometer) {
        decode_axis9<true>(data, scale, samples);
      } else {
        decode_axis9<false>(data, scale, samples);
      }
      return DecodedSamples{samples, include_magnetometer};
  }
  std::unreachable();
}

BlockReadings CwaDataBlock::readings() const {
  return BlockReadings{
      .temperature = temperature_celsius(load_u16(sector + temperature_at)),
      .light = light_lux(load_u16(sector + light_at)),
      .battery = battery_volts(load_u8(sector + battery_at)),
  };
}

}  // namespace velnora
