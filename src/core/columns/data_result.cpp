#include "core/columns/data_result.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

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

// Each sample channel's field, by its place in SampleData.
constexpr std::array<std::size_t, channel_count> channel_fields = [] {
  constexpr SampleData places{0, 1, 2, 3, 4, 5, 6, 7, 8};
  std::array<std::size_t, channel_count> fields{};
  for (std::size_t c = 0; c < channel_count; ++c) {
    if (channels[c].sample_field != nullptr)
      fields[c] = static_cast<std::size_t>(places.*channels[c].sample_field);
  }
  return fields;
}();

const std::byte* field_at(const SampleData& sample, std::size_t field) {
  return reinterpret_cast<const std::byte*>(&sample) + field * sizeof(float);
}

float field_value(const SampleData& sample, std::size_t field) {
  float value;
  std::memcpy(&value, field_at(sample, field), sizeof value);
  return value;
}

// Fields [first, end) of samples `from` on into their targets, one sample at
// a time: a strided read of the small, cache-resident sample buffer and a
// sequential write to each column.
void fill_fields_one_by_one(std::span<const SampleData> samples, const FieldTargets& targets,
                            std::size_t first, std::size_t end, std::size_t from = 0) {
  for (std::size_t field = first; field < end; ++field) {
    float* out = targets[field];
    if (out == nullptr) continue;
    for (std::size_t i = from; i < samples.size(); ++i) out[i] = field_value(samples[i], field);
  }
}

#if defined(VELNORA_WIDE_VECTORS)
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
  if (wide_vectors_available()) return fill_fields_in_vectors(samples, targets);
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
  for (std::size_t c = 0; c < channel_count && result; ++c) {
    if (!columns[c]) continue;
    const Channel& channel = channels[c];
    if (channel.sample_field == nullptr) continue;
    if (std::bit_cast<std::uint32_t>(folded.*channel.sample_field) == 0) {
      result = columns[c]->append_zeros(samples.size());
    } else if (auto added = columns[c]->extend(samples.size())) {
      targets[channel_fields[c]] = added->data();
    } else {
      result = fail(added.error());
    }
  }
  if (!result) return result;
  fill_fields(samples, targets);
  for (std::size_t c = 0; c < channel_count && result; ++c) {
    if (columns[c] && channels[c].reading_field != nullptr)
      result = columns[c]->append_copies(readings.*channels[c].reading_field, samples.size());
  }
  return result;
}

}  // namespace velnora
