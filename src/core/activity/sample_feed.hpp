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

// The times (µs) of a run of samples, which never decrease along it:
// samples [first, first + size) of a block timed by `timing`, each computed
// where a consumer asks for it (BlockTiming::sample_timestamp) rather than
// all of them; or times a stage before the consumer holds.
class RunTimes {
 public:
  RunTimes(const BlockTiming& timing, std::size_t first, std::size_t size, std::int64_t front_us,
           std::int64_t back_us)
      : timing_(timing), first_(first), size_(size), front_us_(front_us), back_us_(back_us) {}
  // `held` not empty.
  explicit RunTimes(std::span<const std::int64_t> held)
      : timing_{}, held_(held.data()), size_(held.size()), front_us_(held.front()), back_us_(held.back()) {}

  std::size_t size() const { return size_; }
  std::int64_t front() const { return front_us_; }
  std::int64_t back() const { return back_us_; }
  std::int64_t operator[](std::size_t k) const {
    if (held_ != nullptr) return held_[k];
    if (k == 0) return front_us_;
    return k + 1 == size_ ? back_us_ : timing_.sample_timestamp(first_ + k);
  }
  // Every time at once: those held, or the block's computed into `room`
  // in one go (BlockTiming::sample_timestamps, the same values), for a
  // consumer that takes them all.
  std::span<const std::int64_t> all(std::array<std::int64_t, max_samples_per_block>& room) const {
    if (held_ != nullptr) return {held_, size_};
    timing_.sample_timestamps(std::span(room).first(timing_.sample_count));
    return std::span<const std::int64_t>(room).subspan(first_, size_);
  }
  // Times [from, from + count) of these, count > 0.
  RunTimes sub(std::size_t from, std::size_t count) const {
    if (held_ != nullptr) return RunTimes(std::span(held_ + from, count));
    return RunTimes(timing_, first_ + from, count, (*this)[from], (*this)[from + count - 1]);
  }

 private:
  BlockTiming timing_;
  const std::int64_t* held_ = nullptr;
  std::size_t first_ = 0;
  std::size_t size_;
  std::int64_t front_us_;
  std::int64_t back_us_;
};

// A run of samples in time order that share a block temperature (°C): what
// the feed gives each consumer, a block's samples at most, and what a stage
// between them (a filter) passes on.
struct SampleRun {
  RunTimes times;
  AccelerationSpans acceleration;  // g
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
  // Samples [from, to) of a run, of which only the last `capacity` can stay.
  void add(const SampleRun& run, std::size_t from, std::size_t to) {
    if (ring_.empty()) return;
    from = std::max(from, to - std::min(to, ring_.size()));
    if (from == to) return;
    std::array<std::int64_t, max_samples_per_block> room;
    const std::span<const std::int64_t> times = run.times.all(room);
    const AccelerationSpans& acc = run.acceleration;
    for (std::size_t k = from; k < to; ++k) {
      ring_[next_] = {times[k],
                      {std::bit_cast<std::uint32_t>(acc.x[k]), std::bit_cast<std::uint32_t>(acc.y[k]),
                       std::bit_cast<std::uint32_t>(acc.z[k])}};
      if (++next_ == ring_.size()) {
        next_ = 0;
        full_ = true;
      }
    }
  }
  std::vector<SeamSample> take() && {
    if (!full_) {
      ring_.resize(next_);
    } else {
      std::rotate(ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(next_), ring_.end());
    }
    return std::move(ring_);
  }

 private:
  std::vector<SeamSample> ring_;
  std::size_t next_ = 0;  // where the next sample goes
  bool full_ = false;     // whether the ring has gone round
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
  // Whether times from `first_us` to `last_us` lie in the plan's time window.
  const auto in_window = [&](std::int64_t first_us, std::int64_t last_us) {
    return !(plan.range_start_time && *plan.range_start_time > seconds_from_us(first_us)) &&
           !(plan.range_end_time && seconds_from_us(last_us) >= *plan.range_end_time);
  };
  const auto kept = [&](std::int64_t t) { return t >= last_fed && (!windowed || in_window(t, t)); };
  std::array<std::int64_t, max_samples_per_block> timestamps;
  bool started = !seam.start_at_us;
  std::size_t context_left = seam.context_samples;  // after the seam, for an earlier half
  SeamSamples before_seam(with_context ? seam.context_samples : 0);
  // Feeds a run, counted unless it is context, and records it where it
  // lies before the seam: an earlier half's own samples, a later half's context.
  const auto feed_run = [&](const SampleRun& run, bool context) -> Result<void> {
    const std::size_t count = run.times.size();
    if (!context) {
      if (outcome.fed == 0) outcome.first_fed_us = run.times.front();
      outcome.fed += count;
      outcome.last_fed_us = run.times.back();
    }
    if (with_context && (seam.stop_at_us ? !context : context)) before_seam.add(run, 0, count);
    return consume(run, context);
  };
  const auto done = [&]() -> Result<FeedOutcome> {
    outcome.before_seam = std::move(before_seam).take();
    return std::move(outcome);
  };
  while (true) {
    auto block = stream->next();
    if (!block) return fail(std::move(block.error()));
    if (!*block) return done();
    const BlockTiming& timing = (*block)->timing;
    const AccelerationSpans acceleration = (*block)->acceleration;
    const double temperature = (*block)->readings.temperature;
    const std::uint64_t position = (*block)->position;
    const auto run_of = [&](std::size_t first, std::size_t count, std::int64_t front_us,
                            std::int64_t back_us) {
      return SampleRun{RunTimes(timing, first, count, front_us, back_us), acceleration.subspan(first, count),
                       temperature};
    };
    // An earlier half past its seam feeds context alone, sample by sample.
    const bool past_seam = outcome.seam && seam.stop_at_us;
    // Most blocks are fed whole: their times never decrease (a span not
    // negative, BlockTiming::sample_timestamp), and the first and last are
    // past the last fed, inside the plan's window and on this half's side of
    // any seam; then the per-sample rules below would keep every sample, and
    // only those two times are taken.
    const std::size_t count = timing.sample_count;
    const std::int64_t front_us = timing.sample_timestamp(0);
    const std::int64_t back_us = timing.sample_timestamp(count - 1);
    const bool in_order = timing.end - timing.start >= 0.0;
    if (!past_seam && in_order && front_us >= last_fed &&
        (!seam.start_at_us || front_us >= *seam.start_at_us) &&
        (!seam.stop_at_us || back_us < *seam.stop_at_us) && (!windowed || in_window(front_us, back_us))) {
      if (!started) {
        started = true;
        outcome.seam = SamplePlace{position, 0};
      }
      last_fed = back_us;
      if (auto fed = feed_run(run_of(0, count, front_us, back_us), false); !fed)
        return fail(std::move(fed.error()));
      continue;
    }
    const std::span<std::int64_t> times(timestamps.data(), count);
    timing.sample_timestamps(times);
    // Feeds the samples kept among [from, to), at most `limit` of them;
    // returns how many. Context is not counted.
    const auto feed = [&](std::size_t from, std::size_t to, bool context,
                          std::size_t limit) -> Result<std::size_t> {
      std::size_t fed = 0;
      for (std::size_t k = from; k < to && fed < limit;) {
        for (; k < to && !kept(times[k]); ++k)
          outcome.out_of_order += !context && times[k] < last_fed ? 1 : 0;
        const std::size_t first = k;
        for (; k < to && fed < limit && kept(times[k]); ++k, ++fed) last_fed = times[k];
        if (first == k) continue;
        if (auto consumed = feed_run(run_of(first, k - first, times[first], times[k - 1]), context);
            !consumed)
          return fail(std::move(consumed.error()));
      }
      return fed;
    };
    if (past_seam) {
      auto fed = feed(0, count, true, context_left);
      if (!fed) return fail(std::move(fed.error()));
      context_left -= *fed;
      if (context_left == 0) return done();
      continue;
    }
    // This half's samples of the block: [from, to).
    std::size_t from = 0;
    if (!started) {
      while (from < count && times[from] < *seam.start_at_us) ++from;
      if (with_context) {
        if (auto fed = feed(0, from, true, SIZE_MAX); !fed) return fail(std::move(fed.error()));
      }
      if (from == count) continue;
      started = true;
      outcome.seam = SamplePlace{position, from};
    }
    if (seam.start_at_us) {
      for (std::size_t k = from; k < count; ++k) outcome.went_back |= times[k] < *seam.start_at_us;
    }
    std::size_t to = count;
    if (seam.stop_at_us) {
      to = from;
      while (to < count && times[to] < *seam.stop_at_us) ++to;
      if (to < count) outcome.seam = SamplePlace{position, to};
    }
    if (auto fed = feed(from, to, false, SIZE_MAX); !fed) return fail(std::move(fed.error()));
    if (outcome.seam && seam.stop_at_us) {
      if (context_left == 0) return done();
      auto fed = feed(to, count, true, context_left);
      if (!fed) return fail(std::move(fed.error()));
      context_left -= *fed;
      if (context_left == 0) return done();
    }
  }
}

}  // namespace velnora
