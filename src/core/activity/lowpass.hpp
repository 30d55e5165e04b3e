#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/activity/sample_feed.hpp"
#include "core/base/cwa_error.hpp"

namespace velnora {

// The zero-phase low-pass that a 4th-order Butterworth filter (bilinear,
// the cut-off prewarped) applied forwards and then backwards makes of a
// long signal: its impulse response is the autocorrelation of the
// Butterworth's, symmetric, which is taken here as a finite filter of
// 2 reach + 1 taps, cut where the response has fallen under 1e-17 of its
// peak. Away from a signal's ends it is the forward-backward filter up to
// rounding; at the ends the signal is held at its first and last value.
class ZeroPhaseLowpass {
 public:
  // `cutoff_hz` in [rate_hz / 100, rate_hz / 2). Errors: "lowpass_hz must
  // be under half of the sampling rate ({rate} Hz)", "lowpass_hz must be at
  // least a hundredth of the sampling rate ({rate} Hz)". Allocates the taps.
  static Result<ZeroPhaseLowpass> design(double cutoff_hz, double rate_hz);

  // taps()[k] weighs the samples k before and k after: k = 0 … reach.
  std::span<const double> taps() const { return taps_; }
  std::size_t reach() const { return taps_.size() - 1; }

 private:
  explicit ZeroPhaseLowpass(std::vector<double> taps) : taps_(std::move(taps)) {}
  std::vector<double> taps_;
};

// Low-passes the accelerometer axes of the runs it is given and hands them,
// `reach` samples later, to `next` (with Result<void> add(const SampleRun&)).
// A step of more than a second between samples (a pause of the device) ends
// a stretch, whose ends the filter holds at their values: it does not smear
// across the pause. Sums run in double in a fixed order, so the same samples
// give the same bits.
template <class Next>
class LowpassStage {
 public:
  // Allocates the filter's ring of 2 reach + 1 samples.
  LowpassStage(const ZeroPhaseLowpass& filter, Next next)
      : taps_(filter.taps().begin(), filter.taps().end()),
        ring_(2 * filter.reach() + 1),
        next_(std::move(next)) {}

  // Errors: those of `next`. Allocates only while the output buffer grows to
  // the longest run it has held.
  Result<void> add(const SampleRun& run) {
    const AccelerationSpans& acc = run.acceleration;
    for (std::size_t k = 0; k < run.times.size(); ++k) {
      const std::int64_t time = run.times[k];
      if (held_ > 0 && time - newest().time > us_per_second) finish_stretch();
      ring_[held_ % ring_.size()] = {time, run.temperature, {acc.x[k], acc.y[k], acc.z[k]}};
      ++held_;
      while (next_out_ + reach() < held_) put_out(next_out_++);
    }
    return send();
  }

  // Passes on what is held, the stretch's end held at its last value. Errors: those of `next`.
  Result<void> finish() {
    finish_stretch();
    return send();
  }
  Next& next() { return next_; }

 private:
  struct Held {
    std::int64_t time = 0;
    double temperature = 0.0;
    std::array<double, 3> acc{};
  };

  std::size_t reach() const { return taps_.size() - 1; }
  const Held& newest() const { return ring_[(held_ - 1) % ring_.size()]; }

  // Sample `index` of the stretch, filtered: the stretch is held at its
  // first value before it and at its last after it. Every neighbour is
  // still in the ring: `index` + reach < held once the stretch goes on.
  void put_out(std::size_t index) {
    std::array<double, 3> sum{};
    const auto span = static_cast<std::ptrdiff_t>(reach());
    const auto last = static_cast<std::ptrdiff_t>(held_) - 1;
    for (std::ptrdiff_t k = -span; k <= span; ++k) {
      const double tap = taps_[static_cast<std::size_t>(k < 0 ? -k : k)];
      const auto at = std::clamp<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(index) + k, 0, last);
      const Held& neighbour = ring_[static_cast<std::size_t>(at) % ring_.size()];
      for (std::size_t a = 0; a < 3; ++a) sum[a] += tap * neighbour.acc[a];
    }
    const Held& sample = ring_[index % ring_.size()];
    if (!out_times_.empty() && out_temperatures_.back() != sample.temperature)
      breaks_.push_back(out_times_.size());
    out_times_.push_back(sample.time);
    out_temperatures_.push_back(sample.temperature);
    for (std::size_t a = 0; a < 3; ++a) out_axes_[a].push_back(static_cast<float>(sum[a]));
  }

  void finish_stretch() {
    while (next_out_ < held_) put_out(next_out_++);
    held_ = 0;
    next_out_ = 0;
  }

  // Hands on the filtered samples, one run per block temperature.
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

  std::vector<double> taps_;
  std::vector<Held> ring_;
  std::size_t held_ = 0;      // samples of the stretch so far
  std::size_t next_out_ = 0;  // the first not yet put out
  Next next_;
  std::vector<std::int64_t> out_times_;
  std::array<std::vector<float>, 3> out_axes_;
  std::vector<double> out_temperatures_;
  std::vector<std::size_t> breaks_;
};

}  // namespace velnora
