#include "core/format/data_block.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "core/base/little_endian.hpp"
#include "core/base/utf8.hpp"
#include "core/time/packed_datetime.hpp"

namespace velnora {

std::unexpected<CwaError> unsupported_sample_format(std::uint8_t sample_format) {
  return fail("Unsupported sample format: " + std::to_string(sample_format >> 4) + " axes, packing " +
              std::to_string(sample_format & 0x0F));
}

namespace {

// The messages are built only on the failure path, away from the screening
// loop that runs on every sector of a recording.
[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> old_format() {
  return fail("Old CWA format packets are not supported");
}

[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> over_capacity() {
  return fail("Sample count exceeds packet capacity");
}

[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> invalid_timestamp() {
  return fail("Invalid block timestamp");
}

}  // namespace

Result<std::optional<PacketMeta>> packet_meta(Sector sector) {
  const std::byte* bytes = sector.data();
  if (load_u16(bytes + data_block::packet_header_at) != data_block::marker) return std::nullopt;
  // A zero count marks a sector without data whatever the other fields hold,
  // so it is tested before any field that could make the block malformed.
  const std::uint16_t sample_count = load_u16(bytes + data_block::sample_count_at);
  if (sample_count == 0) return std::nullopt;
  const std::uint8_t rate_code = load_u8(bytes + data_block::rate_code_at);
  if (rate_code == 0) return old_format();
  const std::uint8_t sample_format = load_u8(bytes + data_block::sample_format_at);
  const std::optional<std::size_t> sample_size = bytes_per_sample(sample_format);
  if (!sample_size) return unsupported_sample_format(sample_format);
  if (*sample_size * sample_count > data_block::sample_area_size) return over_capacity();
  const std::uint32_t timestamp = load_u32(bytes + data_block::timestamp_at);
  if (!cwa_timestamp(timestamp)) return invalid_timestamp();
  return PacketMeta{
      .sample_count = sample_count,
      .timestamp = timestamp,
      .timestampOffset = load_i16(bytes + data_block::timestamp_offset_at),
      .rate_code = rate_code,
  };
}

namespace {

// 3200 Hz halved (15 - nibble) times. Dividing by a power of two is exact, so
// this is the nominal rate itself, a float for every code.
float nominal_rate(std::uint8_t rate_code) {
  return 3200.0f / static_cast<float>(1u << (15 - (rate_code & 0x0F)));
}

}  // namespace

// Sample timestamps are truncated to whole microseconds downstream, so the
// last bit of these doubles shows in the output: the precision of every step
// (float for the offset and the duration, double for the sums) and the order
// of the additions are part of the result. The build passes -ffp-contract=off
// (g++ fuses multiply-adds by default even in ISO C++ mode) and never
// -ffast-math, so nothing here is fused or reassociated.
PacketMeta::Bounds PacketMeta::natural_bounds() const {
  const std::optional<UnixSeconds> seconds = cwa_timestamp(timestamp);
  // Only packet_meta makes these records and it rejects such a timestamp; a
  // hand-made record that breaks the invariant gets NaN bounds, which every
  // caller's comparisons treat as "no continuity" and truncation turns into 0.
  if (!seconds) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan};
  }
  const float rate = nominal_rate(rate_code);
  // A positive offset places the first sample before the stamped second.
  const float offset_s = -static_cast<float>(timestampOffset) / rate;
  const float whole = std::floor(offset_s);
  const float fraction = offset_s - whole;
  const double start =
      (static_cast<double>(whole) + static_cast<double>(*seconds)) + static_cast<double>(fraction);
  const float duration = static_cast<float>(sample_count) / rate;
  return {start, start + static_cast<double>(duration)};
}

namespace {

// Full-scale range in degrees per second: 2000 for code 0, else 8000 >> c as an
// integer shift, so code 7 is 62, not 62.5.
int gyro_range(std::uint16_t light) {
  const int code = (light >> 10) & 7;
  return code == 0 ? 2000 : 8000 >> code;
}

}  // namespace

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

namespace {

// Only reached for a sector that is not a data block: the header is first read
// as text, so bytes that are no text at all get their own message.
[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> bad_packet_header(Sector sector) {
  if (!is_valid_utf8(sector.first<2>())) return fail("Invalid packet header format");
  return fail("Invalid data block header");
}

}  // namespace

Result<CwaDataBlock> CwaDataBlock::from_buffer(Sector sector) {
  const std::byte* bytes = sector.data();
  if (load_u16(bytes) != data_block::marker) return bad_packet_header(sector);
  CwaDataBlock block;
  block.packet_header = {'A', 'X'};
  block.packet_length = load_u16(bytes + 2);
  block.fractional_time = load_u16(bytes + 4);
  block.session_id = load_u32(bytes + 6);
  block.sequence_id = load_u32(bytes + 10);
  block.timestamp = load_u32(bytes + 14);
  block.light = load_u16(bytes + 18);
  block.temperature = load_u16(bytes + 20);
  block.events = load_u8(bytes + 22);
  block.battery = load_u8(bytes + 23);
  block.rate_code = load_u8(bytes + 24);
  block.sample_format = load_u8(bytes + 25);
  block.timestampOffset = load_i16(bytes + 26);
  block.sample_count = load_u16(bytes + 28);
  std::memcpy(block.sample_data.data(), bytes + 30, block.sample_data.size());
  block.checksum = load_u16(bytes + 510);
  return block;
}

namespace {

// raw / 32768, exactly.
constexpr float magnetometer_multiplier = 0x1p-15f;

[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> insufficient_data(const char* layout) {
  return fail(std::string("Insufficient data for ") + layout + " samples");
}

// Whether `count` samples of `bytes` each fit the sample area.
constexpr bool fits(std::size_t count, std::size_t bytes) {
  return count <= data_block::sample_area_size / bytes;
}

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

}  // namespace

Result<DecodedSamples> CwaDataBlock::parse_samples(const CwaDataBlock& block, bool include_magnetometer,
                                                   SampleBuffer& out) {
  const std::size_t count = block.sample_count;
  const std::byte* data = block.sample_data.data();
  const SampleScale scale = sample_scale(block.light);
  // Every count that passes its layout's check is at most 120, the size of `out`.
  const auto samples = [&] { return std::span<SampleData>(out.data(), count); };
  switch (block.sample_format) {
    case 0x30:
      if (!fits(count, 4)) return insufficient_data("packed 3-axis");
      decode_packed(data, scale, samples());
      return DecodedSamples{samples(), false};
    case 0x32:
      if (!fits(count, 6)) return insufficient_data("unpacked 3-axis");
      decode_unpacked3(data, scale, samples());
      return DecodedSamples{samples(), false};
    case 0x62:
      if (!fits(count, 12)) return insufficient_data("unpacked 6-axis");
      decode_axis6(data, scale, samples());
      return DecodedSamples{samples(), false};
    case 0x92:
      if (!fits(count, 18)) return insufficient_data("unpacked 9-axis");
      if (include_magnetometer) {
        decode_axis9<true>(data, scale, samples());
      } else {
        decode_axis9<false>(data, scale, samples());
      }
      return DecodedSamples{samples(), include_magnetometer};
    default:
      return unsupported_sample_format(block.sample_format);
  }
}

namespace {

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

BlockReadings block_readings(const CwaDataBlock& block) {
  return BlockReadings{
      .temperature = temperature_celsius(block.temperature),
      .light = light_lux(block.light),
      .battery = battery_volts(block.battery),
  };
}

}  // namespace velnora
