#include "core/columns/data_result.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/base/wide_vectors.hpp"

#if defined(VELNORA_WIDE_VECTORS)
#include <immintrin.h>
#endif

namespace velnora {

namespace {

// The bits of every field folded over the block's samples, as a SampleData
// whose fields are +0.0 (all bits clear) exactly where the channel is +0.0 in
// every sample. One branch-free pass, where a scan per channel would run to
// the end for each of the channels a 3-axis block leaves at zero.
SampleData folded_bits(std::span<const SampleData> samples) {
  static_assert(sizeof(SampleData) == 9 * sizeof(std::uint32_t));
  using Lanes = std::uint32_t __attribute__((vector_size(16)));
  Lanes first{}, second{};
  std::uint32_t ninth = 0;
  for (const SampleData& sample : samples) {
    const auto* bytes = reinterpret_cast<const std::byte*>(&sample);
    Lanes lanes;
    std::memcpy(&lanes, bytes, sizeof lanes);
    first |= lanes;
    std::memcpy(&lanes, bytes + sizeof lanes, sizeof lanes);
    second |= lanes;
    std::uint32_t last;
    std::memcpy(&last, bytes + 2 * sizeof lanes, sizeof last);
    ninth |= last;
  }
  const std::array<std::uint32_t, 9> folded{first[0],  first[1],  first[2],  first[3], second[0],
                                            second[1], second[2], second[3], ninth};
  return std::bit_cast<SampleData>(folded);
}

// Where each of a block's sample fields goes, in SampleData's order: its
// column's added values, or nowhere (a channel absent or +0.0 throughout).
constexpr std::size_t sample_field_count = sizeof(SampleData) / sizeof(float);
using FieldTargets = std::array<float*, sample_field_count>;

// SampleData's fields in their order.
constexpr std::array<float SampleData::*, sample_field_count> sample_fields{
    &SampleData::acc_x,  &SampleData::acc_y, &SampleData::acc_z, &SampleData::gyro_x, &SampleData::gyro_y,
    &SampleData::gyro_z, &SampleData::mag_x, &SampleData::mag_y, &SampleData::mag_z};

// Each sample channel's field, by its place in SampleData.
constexpr std::array<std::size_t, channel_count> channel_fields = [] {
  std::array<std::size_t, channel_count> fields{};
  for (std::size_t c = 0; c < channel_count; ++c) {
    for (std::size_t field = 0; field < sample_field_count; ++field) {
      if (channels[c].sample_field == sample_fields[field]) fields[c] = field;
    }
  }
  return fields;
}();

// One field of samples `from` on into `out`: a strided read of the small,
// cache-resident sample buffer and a sequential write to the column. The
// field is a constant, so that the loop stays plain loads and stores.
template <std::size_t Field>
void copy_field(std::span<const SampleData> samples, float* out, std::size_t from) {
  for (std::size_t i = from; i < samples.size(); ++i) out[i] = samples[i].*sample_fields[Field];
}

using FieldCopy = void (*)(std::span<const SampleData>, float*, std::size_t);
constexpr std::array<FieldCopy, sample_field_count> field_copies =
    []<std::size_t... F>(std::index_sequence<F...>) {
      return std::array<FieldCopy, sample_field_count>{copy_field<F>...};
    }(std::make_index_sequence<sample_field_count>{});

// Fields [first, end) of samples `from` on into their targets, one sample at a time.
void fill_fields_one_by_one(std::span<const SampleData> samples, const FieldTargets& targets,
                            std::size_t first, std::size_t end, std::size_t from = 0) {
  for (std::size_t field = first; field < end; ++field) {
    if (targets[field] != nullptr) field_copies[field](samples, targets[field], from);
  }
}

#if defined(VELNORA_WIDE_VECTORS)
const std::byte* field_at(const SampleData& sample, std::size_t field) {
  return reinterpret_cast<const std::byte*>(&sample) + field * sizeof(float);
}

// Four fields from `field` on of samples i to i + 7, one vector per field:
// each sample's four as a quad, samples i + k and i + 4 + k sharing a
// vector, transposed half by half.
[[gnu::target("avx2")]] inline void transpose_quads(std::span<const SampleData> samples, std::size_t i,
                                                    std::size_t field, float* const* out) {
  const auto quad = [&](std::size_t sample) {
    return _mm_loadu_ps(reinterpret_cast<const float*>(field_at(samples[sample], field)));
  };
  __m256 rows[4];
  for (std::size_t k = 0; k < 4; ++k)
    rows[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(quad(i + k)), quad(i + 4 + k), 1);
  const __m256 low01 = _mm256_unpacklo_ps(rows[0], rows[1]), high01 = _mm256_unpackhi_ps(rows[0], rows[1]);
  const __m256 low23 = _mm256_unpacklo_ps(rows[2], rows[3]), high23 = _mm256_unpackhi_ps(rows[2], rows[3]);
  _mm256_storeu_ps(out[0] + i, _mm256_shuffle_ps(low01, low23, 0x44));
  _mm256_storeu_ps(out[1] + i, _mm256_shuffle_ps(low01, low23, 0xEE));
  _mm256_storeu_ps(out[2] + i, _mm256_shuffle_ps(high01, high23, 0x44));
  _mm256_storeu_ps(out[3] + i, _mm256_shuffle_ps(high01, high23, 0xEE));
}

// The 256-bit form: eight samples at a time, the first eight fields as two
// quads transposed (the second only where a field of it goes somewhere; a
// field that goes nowhere is written to a sink), the ninth one by one. The
// values move unchanged.
[[gnu::target("avx2")]] void fill_fields_in_vectors(std::span<const SampleData> samples,
                                                    const FieldTargets& targets) {
  static_assert(sizeof(SampleData) == 9 * sizeof(float));
  std::array<float, max_samples_per_block> sink;
  std::array<float*, 8> out;
  for (std::size_t field = 0; field < out.size(); ++field)
    out[field] = targets[field] != nullptr ? targets[field] : sink.data();
  const bool second_quad =
      std::any_of(targets.begin() + 4, targets.begin() + 8, [](float* t) { return t != nullptr; });
  std::size_t i = 0;
  for (; i + 8 <= samples.size(); i += 8) {
    transpose_quads(samples, i, 0, out.data());
    if (second_quad) transpose_quads(samples, i, 4, out.data() + 4);
  }
  // The scalar code after a 256-bit loop runs several times slower until the
  // upper halves are cleared; g++ does not clear them before a call.
  _mm256_zeroupper();
  fill_fields_one_by_one(samples, targets, 0, 8, i);
  fill_fields_one_by_one(samples, targets, 8, sample_field_count);
}
#endif

void fill_fields(std::span<const SampleData> samples, const FieldTargets& targets) {
#if defined(VELNORA_WIDE_VECTORS)
  // The transposes pay where the gyroscope's fields go to columns too; the
  // accelerometer's three alone copy as cheaply one by one.
  const bool beyond_accelerometer =
      std::any_of(targets.begin() + 3, targets.end(), [](float* t) { return t != nullptr; });
  if (beyond_accelerometer && wide_vectors_available()) return fill_fields_in_vectors(samples, targets);
#endif
  fill_fields_one_by_one(samples, targets, 0, sample_field_count);
}

// A caller's fault, but one that would silently break the equal lengths of
// the columns; it surfaces as an error rather than as a corrupt result.
[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> unequal_lengths() {
  return fail("velnora internal error: a block's timestamps and samples differ in count");
}

}  // namespace

Result<CwaDataResult> CwaDataResult::create(IncludeFlags include, std::size_t capacity_hint) {
  CwaDataResult result;
  for (std::size_t c = 0; c < channel_count; ++c) {
    if (is_included(channels[c], include)) result.columns[c].emplace();
  }
  std::optional<CwaError> error;
  result.for_each_column([&](std::string_view, auto& column) {
    auto reserved = column.reserve(capacity_hint);
    if (!reserved) error = reserved.error();
    return reserved.has_value();
  });
  if (error) return fail(std::move(*error));
  return result;
}

Result<void> CwaDataResult::append_block(std::span<const std::int64_t> timestamps,
                                         std::span<const SampleData> samples, const BlockReadings& readings) {
  if (timestamps.size() != samples.size()) return unequal_lengths();
  Result<void> result = timestamp.append(timestamps);
  if (!result) return result;
  // Each channel's room first, zeros or values to fill; then the sample
  // fields, all at once; then the readings, each repeated.
  const SampleData folded = folded_bits(samples);
  FieldTargets targets{};
  for_each_channel([&](auto c) {
    constexpr Channel channel = channels[c];
    std::optional<Column<float>>& column = columns[c];
    if constexpr (channel.sample_field != nullptr) {
      if (!column) return true;
      if (std::bit_cast<std::uint32_t>(folded.*channel.sample_field) == 0) {
        result = column->append_zeros(samples.size());
      } else if (auto added = column->extend(samples.size())) {
        targets[channel_fields[c]] = added->data();
      } else {
        result = fail(added.error());
      }
    }
    return result.has_value();
  });
  if (!result) return result;
  fill_fields(samples, targets);
  for_each_channel([&](auto c) {
    constexpr Channel channel = channels[c];
    if constexpr (channel.reading_field != nullptr) {
      if (columns[c]) result = columns[c]->append_copies(readings.*channel.reading_field, samples.size());
    }
    return result.has_value();
  });
  return result;
}

}  // namespace velnora
