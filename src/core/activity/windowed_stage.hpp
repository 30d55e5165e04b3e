#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "core/activity/sample_feed.hpp"
#include "core/base/cwa_error.hpp"

namespace velnora {

// The accelerometer axes of a sample, as a windowed stage holds them.
using Axes = std::array<float, 3>;

// What a stage knows of the samples around the one it puts out: sample
// `i` of the current stretch, for i in [centre - reach, centre + reach]
// clamped to the samples held.
class SampleWindow {
 public:
  // `ring` holds sample i at i & (ring.size() - 1), a power of two.
  SampleWindow(std::span<const Axes> ring, std::size_t held, std::size_t centre)
      : ring_(ring), held_(held), centre_(centre) {}
  // The sample `offset` from the centre, the stretch held at its first and last sample beyond its ends.
  const Axes& at(std::ptrdiff_t offset) const {
    const auto index = std::clamp<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(centre_) + offset, 0,
                                                  static_cast<std::ptrdiff_t>(held_) - 1);
    return ring_[static_cast<std::size_t>(index) & (ring_.size() - 1)];
  }

 private:
  std::span<const Axes> ring_;
  std::size_t held_;
  std::size_t centre_;
};

// The windows of consecutive centres inside a stretch, from `first_centre`
// on, each reached from the one before by a sample leaving at its left end
// and one entering at its right end.
class SlidingWindows {
 public:
  SlidingWindows(std::span<const Axes> ring, std::size_t held, std::size_t reach, std::size_t first_centre,
                 std::size_t count)
      : ring_(ring), held_(held), reach_(reach), first_(first_centre), count_(count) {}
  std::size_t count() const { return count_; }
  // The samples that leave and enter as window `i` is reached.
  const Axes& leaving(std::size_t i) const { return ring_[(first_ + i - 1 - reach_) & (ring_.size() - 1)]; }
  const Axes& entering(std::size_t i) const { return ring_[(first_ + i + reach_) & (ring_.size() - 1)]; }
  // The samples entering windows [i, i + count) that lie in a row from window i's on.
  std::span<const Axes> entering_row(std::size_t i, std::size_t count) const {
    const std::size_t at = (first_ + i + reach_) & (ring_.size() - 1);
    return ring_.subspan(at, std::min(count, ring_.size() - at));
  }
  SampleWindow window(std::size_t i) const { return SampleWindow(ring_, held_, first_ + i); }

 private:
  std::span<const Axes> ring_;
  std::size_t held_;
  std::size_t reach_;
  std::size_t first_;
  std::size_t count_;
};

// Hands the runs it is given to `next` (with Result<void> add(const SampleRun&)),
// each sample's axes replaced by what `Policy` makes of the samples within
// `reach` of it, `reach` samples later. A step of more than a second between
// samples (a pause of the device) ends a stretch: the window does not reach
// across it. The policy gives `std::size_t reach()` and the values of
// windows: of one as `Axes value(const SampleWindow&)`, where a stretch
// begins or ends and a window is told each sample as it enters (`enter`) or
// leaves (`leave`); and of windows sliding inside a stretch all at once,
// as `slide(const SlidingWindows&, std::span<Axes> values)`. It is told
// when a stretch ends (`clear`). The same samples give the same bits.
// Samples given as context (the neighbours of a share of the samples that
// another stage puts out) enter windows but are not put out themselves.
template <class Policy, class Next>
class WindowedStage {
 public:
  // Allocates the ring (a window's 2 reach + 1 samples and a batch of new
  // ones, rounded up to a power of two), a batch's values and room for what
  // a batch puts out.
  WindowedStage(Policy policy, Next next)
      : policy_(std::move(policy)),
        reach_(policy_.reach()),
        ring_(std::bit_ceil(2 * reach_ + 1 + batch)),
        times_(ring_.size()),
        temperatures_(ring_.size()),
        context_(ring_.size()),
        values_(batch),
        next_(std::move(next)),
        out_times_(ring_.size() + batch),
        out_x_(ring_.size() + batch),
        out_y_(ring_.size() + batch),
        out_z_(ring_.size() + batch) {}

  // Errors: those of `next`. No allocation but the runs' list's growth.
  Result<void> add(const SampleRun& run) { return take(run, false); }
  Result<void> add_context(const SampleRun& run) { return take(run, true); }

  // Passes on what is held, the stretch's end reached. Errors: those of `next`.
  Result<void> finish() {
    finish_stretch();
    return send();
  }
  Next& next() { return next_; }

 private:
  // New samples taken into the ring at a time, before the windows they
  // complete are put out and passed on: what a batch puts out, a stretch's
  // end included, fits the ring and a batch.
  static constexpr std::size_t batch = 128;

  std::size_t slot(std::size_t sample) const { return sample & (ring_.size() - 1); }

  // Locals in the loops: a store of a time or a temperature could otherwise
  // alias the counts, the run's temperature and the arrays' pointers.
  Result<void> take(const SampleRun& run, bool context) {
    const std::size_t mask = ring_.size() - 1;
    const AccelerationSpans& acc = run.acceleration;
    const double temperature = run.temperature;
    const std::uint32_t is_context = context ? 1 : 0;
    std::array<std::int64_t, max_samples_per_block> room;
    const std::span<const std::int64_t> times = run.times.all(room);
    for (std::size_t k = 0; k < times.size();) {
      if (held_ > 0 && times[k] - times_[slot(held_ - 1)] > us_per_second) finish_stretch();
      const std::size_t end = std::min(times.size(), k + batch);
      std::size_t held = held_;
      Axes* const ring = ring_.data();
      std::int64_t* const ring_times = times_.data();
      double* const ring_temperatures = temperatures_.data();
      std::uint32_t* const ring_context = context_.data();
      do {
        const std::size_t at = held++ & mask;
        ring[at] = {acc.x[k], acc.y[k], acc.z[k]};
        ring_times[at] = times[k];
        ring_temperatures[at] = temperature;
        ring_context[at] = is_context;
        ++k;
      } while (k < end && times[k] - times[k - 1] <= us_per_second);
      held_ = held;
      put_out_complete();
      if (auto sent = send(); !sent) return sent;
    }
    return {};
  }

  // Puts out every window whose right end is held: one by one while the
  // stretch's first sample is in it, then sliding.
  void put_out_complete() {
    for (; next_out_ <= reach_ && next_out_ + reach_ < held_; ++next_out_) {
      while (entered_ <= next_out_ + reach_) policy_.enter(ring_[slot(entered_++)]);
      put_out(next_out_, policy_.value(SampleWindow(ring_, held_, next_out_)));
    }
    while (next_out_ + reach_ < held_) {
      const std::size_t count = std::min(held_ - reach_ - next_out_, batch);
      policy_.slide(SlidingWindows(ring_, held_, reach_, next_out_, count), std::span(values_).first(count));
      put_out(next_out_, std::span(values_).first(count));
      next_out_ += count;
      entered_ = next_out_ + reach_;
    }
  }

  // Puts out samples from `first` on with `values`, but those of context.
  // Locals in the loop, as in take().
  void put_out(std::size_t first, std::span<const Axes> values) {
    const std::size_t mask = ring_.size() - 1;
    const std::uint32_t* const context = context_.data();
    const double* const temperatures = temperatures_.data();
    const std::int64_t* const times = times_.data();
    std::int64_t* const out_times = out_times_.data();
    float* const out_x = out_x_.data();
    float* const out_y = out_y_.data();
    float* const out_z = out_z_.data();
    std::size_t count = out_count_;
    double temperature = count > 0 ? runs_.back().temperature : 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const std::size_t at = (first + i) & mask;
      if (context[at]) continue;
      if (count == 0 || temperatures[at] != temperature) {
        temperature = temperatures[at];
        runs_.push_back({count, temperature});
      }
      out_times[count] = times[at];
      out_x[count] = values[i][0];
      out_y[count] = values[i][1];
      out_z[count++] = values[i][2];
    }
    out_count_ = count;
  }
  void put_out(std::size_t sample, const Axes& value) { put_out(sample, std::span(&value, 1)); }

  // Puts out the windows left, their right ends cut by the stretch's end.
  void finish_stretch() {
    for (; next_out_ < held_; ++next_out_) {
      while (entered_ < held_ && entered_ <= next_out_ + reach_) policy_.enter(ring_[slot(entered_++)]);
      if (next_out_ > reach_) policy_.leave(ring_[slot(next_out_ - 1 - reach_)]);
      put_out(next_out_, policy_.value(SampleWindow(ring_, held_, next_out_)));
    }
    policy_.clear();
    held_ = 0;
    entered_ = 0;
    next_out_ = 0;
  }

  // Hands on the samples put out, one run per block temperature.
  Result<void> send() {
    Result<void> sent;
    const AccelerationSpans out{out_x_, out_y_, out_z_};
    for (std::size_t r = 0; r < runs_.size() && sent; ++r) {
      const std::size_t from = runs_[r].from;
      const std::size_t to = r + 1 < runs_.size() ? runs_[r + 1].from : out_count_;
      sent = next_.add({RunTimes(std::span(out_times_).subspan(from, to - from)),
                        out.subspan(from, to - from), runs_[r].temperature});
    }
    runs_.clear();
    out_count_ = 0;
    return sent;
  }

  // Where a run of one temperature begins among the samples put out.
  struct OutRun {
    std::size_t from;
    double temperature;
  };

  Policy policy_;
  std::size_t reach_;
  std::vector<Axes> ring_;
  std::vector<std::int64_t> times_;
  std::vector<double> temperatures_;
  std::vector<std::uint32_t> context_;  // 1: not to be put out (a byte would alias every member)
  std::vector<Axes> values_;
  std::size_t held_ = 0;      // samples of the stretch so far
  std::size_t entered_ = 0;   // the samples [0, entered_) have entered the policy's window
  std::size_t next_out_ = 0;  // the first not yet put out
  Next next_;
  std::vector<std::int64_t> out_times_;
  std::vector<float> out_x_;
  std::vector<float> out_y_;
  std::vector<float> out_z_;
  std::size_t out_count_ = 0;
  std::vector<OutRun> runs_;
};

}  // namespace velnora
