#include "core/columns/data_result.hpp"

#include <algorithm>
#include <bit>

namespace velnora {

namespace {

// Whether the channel is +0.0 (all bits clear) in every sample; a live
// channel usually shows it at its first sample.
template <auto field>
bool all_zero_bits(std::span<const SampleData> samples) {
  return std::ranges::all_of(
      samples, [](const SampleData& sample) { return std::bit_cast<std::uint32_t>(sample.*field) == 0; });
}

// One channel of the block into its column, when present. A sample channel is
// a strided read of the small, cache-resident sample buffer and a sequential
// write to the column, or no write at all when it is +0.0 throughout; a
// reading is repeated for every sample.
template <std::size_t C>
Result<void> append_channel(std::optional<Column<float>>& column, std::span<const SampleData> samples,
                            const BlockReadings& readings) {
  if (!column) return {};
  constexpr Channel channel = channels[C];
  if constexpr (channel.sample_field == nullptr) {
    return column->append_copies(readings.*channel.reading_field, samples.size());
  } else {
    if (all_zero_bits<channel.sample_field>(samples)) return column->append_zeros(samples.size());
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
  for_each_channel([&](auto c) {
    result = append_channel<decltype(c)::value>(columns[c], samples, readings);
    return result.has_value();
  });
  return result;
}

}  // namespace velnora
