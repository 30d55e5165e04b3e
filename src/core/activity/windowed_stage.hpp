#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
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
  SampleWindow(std::span<const Axes> ring, std::size_t held, std::size_t centre)
      : ring_(ring), held_(held), centre_(centre) {}
  // The sample `offset` from the centre, the stretch held at its first and last sample beyond its ends.
  const Axes& at(std::ptrdiff_t offset) const {
    const auto index = std::clamp<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(centre_) + offset, 0,
                                                  static_cast<std::ptrdiff_t>(held_) - 1);
    return ring_[static_cast<std::size_t>(index) % ring_.size()];
  }

 private:
  std::span<const Axes> ring_;
  std::size_t held_;
  std::size_t centre_;
};

// Hands the runs it is given to `next` (with Result<void> add(const SampleRun&)),
// each sample's axes replaced by what `Policy` makes of the samples within
// `reach` of it, `reach` samples later. A step of more than a second between
// samples (a pause of the device) ends a stretch: the window does not reach
// across it. The policy gives `std::size_t reach()`, `Axes value(const
// SampleWindow&)`, and is told each sample as it enters the window of the
// sample put out next (`enter`), as it leaves it (`leave`), both at once
// (`replace`, the left one first: a stretch going on), and when a stretch
// ends (`clear`). The same samples give the same bits.
template <class Policy, class Next>
class WindowedStage {
 public:
  // Allocates the ring: the 2 reach + 1 samples of a window and the one that
  // leaves it as the next enters.
  WindowedStage(Policy policy, Next next)
      : policy_(std::move(policy)),
        reach_(policy_.reach()),
        ring_(2 * reach_ + 2),
        times_(ring_.size()),
        temperatures_(ring_.size()),
        next_(std::move(next)) {}

  // Errors: those of `next`. Allocates only while the output buffer grows to
  // the longest run it has held.
  Result<void> add(const SampleRun& run) {
    const AccelerationSpans& acc = run.acceleration;
    for (std::size_t k = 0; k < run.times.size(); ++k) {
      const std::int64_t time = run.times[k];
      if (held_ > 0 && time - times_[(held_ - 1) % ring_.size()] > us_per_second) finish_stretch();
      const std::size_t slot = held_ % ring_.size();
      ring_[slot] = {acc.x[k], acc.y[k], acc.z[k]};
      times_[slot] = time;
      temperatures_[slot] = run.temperature;
      if (leaving_) {
        policy_.replace(ring_[*leaving_ % ring_.size()], ring_[slot]);
        leaving_.reset();
      } else {
        policy_.enter(ring_[slot]);
      }
      ++held_;
      while (next_out_ + reach_ < held_) put_out();
    }
    return send();
  }

  // Passes on what is held, the stretch's end reached. Errors: those of `next`.
  Result<void> finish() {
    finish_stretch();
    return send();
  }
  Next& next() { return next_; }

 private:
  void put_out() {
    if (leaving_) {
      policy_.leave(ring_[*leaving_ % ring_.size()]);
      leaving_.reset();
    }
    const std::size_t slot = next_out_ % ring_.size();
    const Axes value = policy_.value(SampleWindow(ring_, held_, next_out_));
    if (!out_times_.empty() && out_temperatures_.back() != temperatures_[slot])
      breaks_.push_back(out_times_.size());
    out_times_.push_back(times_[slot]);
    out_temperatures_.push_back(temperatures_[slot]);
    for (std::size_t a = 0; a < 3; ++a) out_axes_[a].push_back(value[a]);
    // The oldest sample of this window is in the next one's no more: it
    // leaves as the next sample enters, or before the next is put out.
    if (next_out_ >= reach_) leaving_ = next_out_ - reach_;
    ++next_out_;
  }

  void finish_stretch() {
    while (next_out_ < held_) put_out();
    leaving_.reset();
    policy_.clear();
    held_ = 0;
    next_out_ = 0;
  }

  // Hands on the samples put out, one run per block temperature.
  Result<void> send() {
    breaks_.push_back(out_times_.size());
    const AccelerationSpans out{out_axes_[0], out_axes_[1], out_axes_[2]};
    std::size_t from = 0;
    Result<void> sent;
    for (const std::size_t to : breaks_) {
      if (to == from || !sent) continue;
      sent = next_.add({RunTimes(std::span(out_times_).subspan(from, to - from)),
                        out.subspan(from, to - from), out_temperatures_[from]});
      from = to;
    }
    breaks_.clear();
    out_times_.clear();
    for (std::vector<float>& axis : out_axes_) axis.clear();
    out_temperatures_.clear();
    return sent;
  }

  Policy policy_;
  std::size_t reach_;
  std::vector<Axes> ring_;
  std::vector<std::int64_t> times_;
  std::vector<double> temperatures_;
  std::size_t held_ = 0;                // samples of the stretch so far
  std::size_t next_out_ = 0;            // the first not yet put out
  std::optional<std::size_t> leaving_;  // the sample the window has yet to let go
  Next next_;
  std::vector<std::int64_t> out_times_;
  std::array<std::vector<float>, 3> out_axes_;
  std::vector<double> out_temperatures_;
  std::vector<std::size_t> breaks_;
};

}  // namespace velnora
