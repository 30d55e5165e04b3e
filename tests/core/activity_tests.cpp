#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/activity/axis_sums.hpp"
#include "core/activity/epoch_samples.hpp"
#include "core/activity/time_grid.hpp"
#include "core/format/block_clock.hpp"

using namespace velnora;

namespace {

bool same_bits(const auto& a, const auto& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// for_each_interval_piece cuts where a test of every sample would: random
// non-decreasing times with repeats, across interval ends and negative times.
void pieces_end_where_each_sample_would_end_them() {
  std::mt19937_64 random(3);
  for (int trial = 0; trial < 2000; ++trial) {
    const std::int64_t length = 1 + static_cast<std::int64_t>(random() % 50);
    std::vector<std::int64_t> times(1 + random() % 120);
    std::int64_t t = static_cast<std::int64_t>(random() % 400) - 200;
    for (std::int64_t& time : times)
      time = t += static_cast<std::int64_t>(random() % 4 == 0 ? 0 : random() % 9);
    std::int64_t end = trial % 2 == 0 ? INT64_MIN : interval_index(times[0], length) * length + 1;
    std::vector<std::int64_t> opened_each, opened_pieces;
    std::int64_t end_each = end;
    for (const std::int64_t time : times) {
      if (time < end_each) continue;
      opened_each.push_back(interval_index(time, length));
      end_each = (opened_each.back() + 1) * length;
    }
    std::size_t covered = 0;
    const auto open = [&](std::int64_t index) -> Result<void> {
      opened_pieces.push_back(index);
      return {};
    };
    const auto piece = [&](std::size_t from, std::size_t to) {
      check(from == covered && to > from);
      for (std::size_t k = from; k < to; ++k) check(times[k] < end && times[k] >= end - length);
      covered = to;
    };
    check(
        for_each_interval_piece(std::span<const std::int64_t>(times), length, end, open, piece).has_value());
    check(covered == times.size() && opened_pieces == opened_each && end == end_each);
  }
}

// A sample's timestamp alone is the one of the whole block's, and a block's
// timestamps never decrease where its span is not negative, which lets the
// feed take a block whole from its first and last: random timings from 1970
// to 2112 and spans from 0 to years, a few negative ones checked for the
// first claim only.
void sample_timestamps_alone_and_in_order() {
  std::mt19937_64 random(9);
  std::uniform_real_distribution<double> seconds(0.0, 0x1p52 / 1e6);
  constexpr double spans[] = {0.0, 1e-9, 4.4e-7, 0.01, 1.2, 4.8, 86400.0, 3e8, -0.5};
  for (int trial = 0; trial < 20000; ++trial) {
    const double start = seconds(random);
    const double span = spans[random() % std::size(spans)] * (1.0 + (random() % 1000) / 1000.0);
    const BlockTiming timing{start, start + span, 1 + random() % max_samples_per_block};
    std::array<std::int64_t, max_samples_per_block> all{};
    timing.sample_timestamps_one_by_one(std::span(all).first(timing.sample_count));
    for (std::size_t i = 0; i < timing.sample_count; ++i) {
      check(timing.sample_timestamp(i) == all[i]);
      if (i > 0 && timing.end - timing.start >= 0.0) check(all[i] >= all[i - 1]);
    }
  }
}

#if defined(VELNORA_WIDE_VECTORS)
// Samples as the decoder gives them (whole counts times a power of two)
// and, now and then, values no decoder gives: ±0, huge, tiny.
AccelerationSpans random_samples(std::mt19937& random, AccelerationBuffer& buffer, std::size_t count) {
  static constexpr float odd[] = {0.0f, -0.0f, 1.0f, -1.0f, 3e38f, -1e-38f, 1e-30f};
  for (auto* axis : {&buffer.x, &buffer.y, &buffer.z}) {
    for (std::size_t k = 0; k < count; ++k) {
      const int raw = static_cast<int>(random() % 8192) - 4096;
      (*axis)[k] = random() % 50 == 0 ? odd[random() % std::size(odd)]
                                      : static_cast<float>(raw) / static_cast<float>(256 << (random() % 4));
    }
  }
  return AccelerationSpans{buffer.x, buffer.y, buffer.z}.subspan(0, count);
}

// Both forms of each stage from the same state: the same bits everywhere,
// over every piece length 0 to 120 and random starts.
void wide_stages_match_one_by_one() {
  if (!wide_vectors_available()) return;
  std::mt19937 random(5);
  std::uniform_real_distribution<double> near_one(0.95, 1.05), near_zero(-0.05, 0.05);
  for (int trial = 0; trial < 3000; ++trial) {
    AccelerationBuffer buffer;
    const AccelerationSpans run = random_samples(random, buffer, 1 + random() % max_samples_per_block);
    const double shared = near_zero(random) * 1000.0;
    LaneSums lanes_one{}, lanes_wide{};
    lanes_one.sum[1] = lanes_wide.sum[1] = near_zero(random);
    add_to_lanes_one_by_one<Extremes::kept>(run, shared, lanes_one);
    add_to_lanes_in_vectors<Extremes::kept>(run, shared, lanes_wide);
    check(same_bits(lanes_one, lanes_wide));
    add_to_lanes_one_by_one<Extremes::skipped>(run, shared, lanes_one);
    add_to_lanes_in_vectors<Extremes::skipped>(run, shared, lanes_wide);
    check(same_bits(lanes_one, lanes_wide));

    const AxisValues added{near_zero(random), near_zero(random), near_zero(random)};
    const AxisValues scale{near_one(random), near_one(random), near_one(random)};
    CalibratedAxes axes_one{}, axes_wide{};
    calibrate_axes_one_by_one(run, added, scale, axes_one);
    calibrate_axes_in_vectors(run, added, scale, axes_wide);
    check(same_bits(axes_one, axes_wide));

    const std::size_t from = random() % run.size();
    const std::size_t to = from + random() % (run.size() - from + 1);
    MetricSums sums_one{0.5, -0.25, 3.0}, sums_wide = sums_one;
    std::array<double, max_samples_per_block> magnitudes_one{}, magnitudes_wide{};
    add_epoch_samples_one_by_one(axes_one, from, to, sums_one, magnitudes_one.data());
    add_epoch_samples_in_vectors(axes_one, from, to, sums_wide, magnitudes_wide.data());
    check(same_bits(sums_one, sums_wide) && same_bits(magnitudes_one, magnitudes_wide));
  }
}
#endif

}  // namespace

TEST_SUITE(activity_tests) {
  pieces_end_where_each_sample_would_end_them();
  sample_timestamps_alone_and_in_order();
#if defined(VELNORA_WIDE_VECTORS)
  wide_stages_match_one_by_one();
#endif
}
