#include "core/columns/data_result.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

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

// One channel of the block into its column, when present. A sample channel is
// a strided read of the small, cache-resident sample buffer and a sequential
// write to the column, or no write at all when it is +0.0 throughout; a
// reading is repeated for every sample.
template <std::size_t C>
Result<void> append_channel(std::optional<Column<float>>& column, std::span<const SampleData> samples,
                            const SampleData& folded, const BlockReadings& readings) {
  if (!column) return {};
  constexpr Channel channel = channels[C];
  if constexpr (channel.sample_field == nullptr) {
    return column->append_copies(readings.*channel.reading_field, samples.size());
  } else {
    if (std::bit_cast<std::uint32_t>(folded.*channel.sample_field) == 0)
      return column->append_zeros(samples.size());
    auto added = column->extend(samples.size());
    if (!added) return fail(added.error());
    float* out = added->data();
    for (std::size_t i = 0; i < samples.size(); ++i) out[i] = samples[i].*channel.sample_field;
    return {};
  }
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
  const SampleData folded = folded_bits(samples);
  for_each_channel([&](auto c) {
    result = append_channel<decltype(c)::value>(columns[c], samples, folded, readings);
    return result.has_value();
  });
  return result;
}

}  // namespace velnora
