#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/activity/sample_feed.hpp"
#include "core/activity/windowed_stage.hpp"
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

// The policy of a WindowedStage that low-passes the axes with a ZeroPhaseLowpass:
// the stretch is held at its first and last reading beyond its ends. Sums run
// in double in a fixed order.
class LowpassPolicy {
 public:
  explicit LowpassPolicy(const ZeroPhaseLowpass& filter)
      : taps_(filter.taps().begin(), filter.taps().end()) {}

  std::size_t reach() const { return taps_.size() - 1; }
  void enter(const Axes&) {}
  void leave(const Axes&) {}
  void clear() {}
  void slide(const SlidingWindows& windows, std::span<Axes> values) const {
    for (std::size_t i = 0; i < windows.count(); ++i) values[i] = value(windows.window(i));
  }
  Axes value(const SampleWindow& window) const {
    std::array<double, 3> sum{};
    const auto reach = static_cast<std::ptrdiff_t>(taps_.size() - 1);
    for (std::ptrdiff_t k = -reach; k <= reach; ++k) {
      const double tap = taps_[static_cast<std::size_t>(k < 0 ? -k : k)];
      const Axes& neighbour = window.at(k);
      for (std::size_t a = 0; a < 3; ++a) sum[a] += tap * neighbour[a];
    }
    return {static_cast<float>(sum[0]), static_cast<float>(sum[1]), static_cast<float>(sum[2])};
  }

 private:
  std::vector<double> taps_;
};

template <class Next>
using LowpassStage = WindowedStage<LowpassPolicy, Next>;

}  // namespace velnora
