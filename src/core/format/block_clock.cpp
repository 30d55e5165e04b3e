#include "core/format/block_clock.hpp"

#include <array>
#include <cmath>

#include "core/base/numeric.hpp"
#include "core/base/wide_numeric.hpp"

namespace velnora {

namespace {

// 3200 Hz halved (15 - nibble) times. Dividing by a power of two is exact, so
// this is the nominal rate itself, a float for every code. Looked up, as a
// division would lie on every block's path to its timing.
constexpr std::array<float, 16> nominal_rates = [] {
  std::array<float, 16> rates{};
  for (unsigned nibble = 0; nibble < rates.size(); ++nibble) {
    rates[nibble] = 3200.0f / static_cast<float>(1u << (15 - nibble));
  }
  return rates;
}();

float nominal_rate(std::uint8_t rate_code) { return nominal_rates[rate_code & 0x0F]; }

}  // namespace

// Sample timestamps are truncated to whole microseconds, so the last bit of
// these doubles shows in the output: the precision of every step (float for the
// offset and the duration, double for the sums) and the order of the additions
// are part of the result. The build passes -ffp-contract=off (g++ fuses
// multiply-adds by default even in ISO C++ mode) and never -ffast-math, so
// nothing here is fused or reassociated.
BlockTiming natural_timing(const CwaDataBlock& block) {
  const float rate = nominal_rate(block.rate_code);
  // A positive offset places the first sample before the stamped second.
  const float offset_s = -static_cast<float>(block.timestampOffset) / rate;
  const float whole = std::floor(offset_s);
  const float fraction = offset_s - whole;
  const double start = (static_cast<double>(whole) + static_cast<double>(block.stamped_second)) +
                       static_cast<double>(fraction);
  const float duration = static_cast<float>(block.sample_count) / rate;
  return {start, start + static_cast<double>(duration), block.sample_count};
}

BlockTiming BlockClock::next(BlockTiming timing) {
  if (previous_end_ && timing.start - *previous_end_ < 1.0) timing.start = *previous_end_;
  previous_end_ = timing.end;
  return timing;
}

namespace {

double duration(const BlockTiming& timing) { return timing.end - timing.start; }

// Whether `later` starts where `earlier` ends, within the tolerance.
bool follows(const BlockTiming& earlier, const BlockTiming& later) {
  return std::abs(later.start - earlier.end) <= place_tolerance_s;
}

// Whether `block` starts more than its duration and the tolerance from `place`.
bool away_from(const BlockTiming& block, double place) {
  return std::abs(block.start - place) > duration(block) + place_tolerance_s;
}

}  // namespace

bool out_of_place_between(const BlockTiming& before, const BlockTiming& block, const BlockTiming& after) {
  const double room = after.start - before.end;
  const bool leave_room = room >= -place_tolerance_s && room <= duration(block) + place_tolerance_s;
  return leave_room && away_from(block, before.end);
}

bool out_of_place_first(const BlockTiming& block, const BlockTiming& next, const BlockTiming& after_next) {
  return follows(next, after_next) && away_from(block, next.start - duration(block));
}

bool out_of_place_last(const BlockTiming& before_previous, const BlockTiming& previous,
                       const BlockTiming& block) {
  return follows(before_previous, previous) && away_from(block, previous.end);
}

namespace {

// The timestamp of sample i, in the order every reader of a block shares: the
// timestamps must agree with theirs to the microsecond. The span uses the
// natural end, so a corrected block is stretched or squeezed to join its
// predecessor without a gap or an overlap.
inline std::int64_t timestamp_at(std::size_t i, double span, double count, double start) {
  return truncated_us((static_cast<double>(i) * span) / count + start);
}

}  // namespace

std::int64_t BlockTiming::sample_timestamp(std::size_t i) const {
  return timestamp_at(i, end - start, static_cast<double>(sample_count), start);
}

void BlockTiming::sample_timestamps(std::span<std::int64_t> out) const {
#if defined(VELNORA_WIDE_VECTORS)
  if (wide_vectors_available()) return sample_timestamps_in_vectors(out);
#endif
  sample_timestamps_one_by_one(out);
}

void BlockTiming::sample_timestamps_one_by_one(std::span<std::int64_t> out, std::size_t from) const {
  const auto count = static_cast<double>(sample_count);
  for (std::size_t i = from; i < sample_count; ++i) out[i] = timestamp_at(i, end - start, count, start);
}

#if defined(VELNORA_WIDE_VECTORS)
// Four samples at a time, each lane the baseline form's operations in its
// order; a vector with a time outside truncated_us_x4's range, and the
// samples after it, take the baseline form.
[[gnu::target("avx2")]] void BlockTiming::sample_timestamps_in_vectors(std::span<std::int64_t> out) const {
  const __m256d span = _mm256_set1_pd(end - start);
  const __m256d count = _mm256_set1_pd(static_cast<double>(sample_count));
  const __m256d first = _mm256_set1_pd(start);
  __m256d index = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
  std::size_t i = 0;
  for (; i + 4 <= sample_count; i += 4) {
    const __m256d seconds = _mm256_add_pd(_mm256_div_pd(_mm256_mul_pd(index, span), count), first);
    if (!truncated_us_x4(seconds, out.data() + i)) break;
    index = _mm256_add_pd(index, _mm256_set1_pd(4.0));
  }
  // The scalar code after a 256-bit loop runs several times slower until the
  // upper halves are cleared; g++ does not clear them before a call.
  _mm256_zeroupper();
  sample_timestamps_one_by_one(out, i);
}
#endif

std::int64_t BlockTiming::report_last_sample_us() const {
  // The report divides the span first, then scales by n - 1 and offsets by
  // start: its own order, kept because a different one can move the last bit
  // and, after truncation, the reported time by a microsecond.
  const double step = (end - start) / static_cast<double>(sample_count);
  return truncated_us(static_cast<double>(sample_count - 1) * step + start);
}

}  // namespace velnora
