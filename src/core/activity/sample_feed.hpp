#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/base/cwa_error.hpp"
#include "core/base/numeric.hpp"
#include "core/format/data_block.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/decoded_block_stream.hpp"
#include "core/read/placed_block_stream.hpp"
#include "core/read/read_plan.hpp"

namespace velnora {

// A run of one block's samples in time order, with the block's temperature (°C).
struct SampleRun {
  std::span<const std::int64_t> timestamps;  // µs
  std::span<const SampleData> samples;       // accelerometer in g
  double temperature;
};

// A sample's place in a recording: its block's position and its index there.
struct SamplePlace {
  std::uint64_t block;
  std::size_t index;
  bool operator==(const SamplePlace&) const = default;
};

// Where a feed that is one half of a split run meets the other: the earlier
// half ends before, and the later half begins with, the first sample timed
// at or after a seam time (µs) that every interval summed has as a bound.
// With context, the earlier half goes on past the seam, and the later half
// begins before it, to feed that many samples more as context: neighbours
// of its samples that a windowed stage needs but the other half sums.
struct FeedSeam {
  std::optional<std::int64_t> stop_at_us;
  std::optional<std::int64_t> start_at_us;
  std::size_t context_samples = 0;
};

// A sample fed just before a seam, its readings as bits, compared between the halves.
struct SeamSample {
  std::int64_t time;
  std::array<std::uint32_t, 3> acc;
  bool operator==(const SeamSample&) const = default;
};

// What a feed fed and left out, and where it met its seam, if it had one and met it.
struct FeedOutcome {
  std::uint64_t fed = 0;
  std::int64_t first_fed_us = 0;  // the first and last sample fed, when any was
  std::int64_t last_fed_us = 0;
  std::uint64_t out_of_order = 0;  // timed before a sample fed earlier
  std::optional<SamplePlace> seam;
  // A later half met a sample timed before its seam after it began: one
  // feed might have summed it into the earlier half's intervals.
  bool went_back = false;
  // With context: the last samples fed before the seam, as many as the
  // context (fewer when the feed began closer), oldest first.
  std::vector<SeamSample> before_seam;
};

// What two feeds over consecutive stretches of a recording fed and left out together.
inline FeedOutcome outcome_of_both(const FeedOutcome& earlier, const FeedOutcome& later) {
  FeedOutcome both = earlier.fed > 0 ? earlier : later;
  if (earlier.fed > 0 && later.fed > 0) both.last_fed_us = later.last_fed_us;
  both.fed = earlier.fed + later.fed;
  both.out_of_order = earlier.out_of_order + later.out_of_order;
  both.seam.reset();
  both.before_seam.clear();
  return both;
}

// The last `capacity` samples of a feed, oldest first once taken.
class SeamSamples {
 public:
  explicit SeamSamples(std::size_t capacity) : ring_(capacity) {}
  void add(std::int64_t time, const SampleData& sample) {
    if (ring_.empty()) return;
    ring_[added_++ % ring_.size()] = {
        time,
        {std::bit_cast<std::uint32_t>(sample.acc_x), std::bit_cast<std::uint32_t>(sample.acc_y),
         std::bit_cast<std::uint32_t>(sample.acc_z)}};
  }
  std::vector<SeamSample> take() && {
    if (added_ <= ring_.size()) {
      ring_.resize(added_);
    } else {
      std::rotate(ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(added_ % ring_.size()),
                  ring_.end());
    }
    return std::move(ring_);
  }

 private:
  std::vector<SeamSample> ring_;
  std::size_t added_ = 0;
};

// Feeds the samples a plan selects, block by block, to `consume(const
// SampleRun&, bool context) -> Result<void>`, in time order: a block whose
// time is out of place is left out and listed in `left_out`
// (PlacedBlockStream), and a sample timed before the last one fed (a device
// clock set back) is left out and counted, so that every interval of time is
// complete once a later one has begun. With `seam`, only one side of the
// seam is fed and counted, and its context as context. With `past_damage`,
// reads past damage into `left_out` too. Errors: those of PlacedBlockStream
// and of `consume`. Allocates the stream's buffer and the context's record.
template <class Consume>
Result<FeedOutcome> feed_samples(std::string_view path, const ReadPlan& plan, bool past_damage,
                                 DamagedBlocks& left_out, Consume&& consume, FeedSeam seam = {}) {
  auto stream = PlacedBlockStream::open(path, plan.start_block, plan.block_count,
                                        past_damage ? &left_out : nullptr, left_out);
  if (!stream) return fail(std::move(stream.error()));
  FeedOutcome outcome;
  std::int64_t last_fed = INT64_MIN;
  const bool windowed = plan.range_start_time || plan.range_end_time;
  const bool with_context = seam.context_samples > 0;
  bool started = !seam.start_at_us;
  std::size_t context_left = seam.context_samples;  // after the seam, for an earlier half
  SeamSamples before_seam(with_context ? seam.context_samples : 0);
  const auto kept = [&](std::int64_t t) {
    if (t < last_fed) return false;
    if (!windowed) return true;
    const double seconds = seconds_from_us(t);
    return !(plan.range_start_time && *plan.range_start_time > seconds) &&
           !(plan.range_end_time && seconds >= *plan.range_end_time);
  };
  // Feeds the samples kept among [from, to), at most `limit` of them;
  // returns how many. Context is neither counted nor, after the seam, recorded.
  const auto feed = [&](std::span<const std::int64_t> times, std::span<const SampleData> samples,
                        double temperature, std::size_t from, std::size_t to, bool context,
                        std::size_t limit) -> Result<std::size_t> {
    std::size_t fed = 0;
    const bool before = seam.stop_at_us ? !context : context;
    for (std::size_t k = from; k < to && fed < limit;) {
      for (; k < to && !kept(times[k]); ++k) outcome.out_of_order += !context && times[k] < last_fed ? 1 : 0;
      const std::size_t first = k;
      for (; k < to && fed < limit && kept(times[k]); ++k, ++fed) last_fed = times[k];
      if (first == k) continue;
      if (!context) {
        if (outcome.fed == 0) outcome.first_fed_us = times[first];
        outcome.fed += k - first;
        outcome.last_fed_us = last_fed;
      }
      if (with_context && before) {
        for (std::size_t j = first; j < k; ++j) before_seam.add(times[j], samples[j]);
      }
      const SampleRun run{times.subspan(first, k - first), samples.subspan(first, k - first), temperature};
      if (auto consumed = consume(run, context); !consumed) return fail(std::move(consumed.error()));
    }
    return fed;
  };
  const auto done = [&]() -> Result<FeedOutcome> {
    outcome.before_seam = std::move(before_seam).take();
    return std::move(outcome);
  };
  while (true) {
    auto block = stream->next();
    if (!block) return fail(std::move(block.error()));
    if (!*block) return done();
    const auto times = (*block)->timestamps;
    const auto samples = (*block)->samples;
    const double temperature = (*block)->readings.temperature;
    const std::uint64_t position = (*block)->position;
    if (outcome.seam && seam.stop_at_us) {
      auto fed = feed(times, samples, temperature, 0, times.size(), true, context_left);
      if (!fed) return fail(std::move(fed.error()));
      context_left -= *fed;
      if (context_left == 0) return done();
      continue;
    }
    // This half's samples of the block: [from, to).
    std::size_t from = 0;
    if (!started) {
      while (from < times.size() && times[from] < *seam.start_at_us) ++from;
      if (with_context) {
        if (auto fed = feed(times, samples, temperature, 0, from, true, SIZE_MAX); !fed)
          return fail(std::move(fed.error()));
      }
      if (from == times.size()) continue;
      started = true;
      outcome.seam = SamplePlace{position, from};
    }
    if (seam.start_at_us) {
      for (std::size_t k = from; k < times.size(); ++k) outcome.went_back |= times[k] < *seam.start_at_us;
    }
    std::size_t to = times.size();
    if (seam.stop_at_us) {
      to = from;
      while (to < times.size() && times[to] < *seam.stop_at_us) ++to;
      if (to < times.size()) outcome.seam = SamplePlace{position, to};
    }
    if (auto fed = feed(times, samples, temperature, from, to, false, SIZE_MAX); !fed)
      return fail(std::move(fed.error()));
    if (outcome.seam && seam.stop_at_us) {
      if (context_left == 0) return done();
      auto fed = feed(times, samples, temperature, to, times.size(), true, context_left);
      if (!fed) return fail(std::move(fed.error()));
      context_left -= *fed;
      if (context_left == 0) return done();
    }
  }
}

}  // namespace velnora
