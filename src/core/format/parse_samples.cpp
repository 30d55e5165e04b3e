#include <string>

#include "core/base/little_endian.hpp"
#include "core/format/data_block.hpp"
#include "core/format/sample_scale.hpp"
#include "core/format/sample_format.hpp"

namespace velnora {

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

}  // namespace velnora
