#pragma once

#include <array>
#include <cstddef>

#include "core/package/timed_sample.hpp"

// Defined here, inline, because they run once per output row: the
// resampler's loop folds them in and keeps the values in registers on their
// way to the output rows. A pair of float64 carries two independent
// computations through one instruction; each lane keeps the stated order of
// operations, so the results are those of the scalar expressions.

namespace velnora {

using FloatPair = float __attribute__((vector_size(8)));

// A grid point's channel values, rounded to float32 and kept in the pairs they
// were computed in: a pair goes to the stage with one store, and is split into
// its two columns only there, a run of rows at a time.
struct PointValues {
  std::array<FloatPair, channel_pairs> pairs;

  // Output channel k, in the order of channel_lane.
  float operator[](std::size_t k) const { return pairs[channel_lane[k] / 2][channel_lane[k] % 2]; }
};

// How a grid point at time t is formed from the samples a, b, c, d around its
// segment b–c. The weights depend on the times only, so they are computed once
// per grid point and serve every channel.
struct PointWeights {
  enum class Kind { left, linear, cubic };
  Kind kind;
  double fraction = 0.0;        // linear: (t - tb) / (tc - tb)
  ChannelPair ab = {0.0, 0.0};  // cubic: the Lagrange factors N / D of a and b
  ChannelPair cd = {0.0, 0.0};  // and of c and d
};

// Below this, a time difference (or a product of three) counts as zero: for
// evenly spaced samples it puts the cubic's limit near 79 µs spacing.
inline constexpr double negligible_time = 1e-12;

// Whether `value` is under 1e-12 in magnitude (NaN is not).
inline bool negligible(double value) { return value < negligible_time && value > -negligible_time; }

inline bool either_negligible(ChannelPair value) { return negligible(value[0]) || negligible(value[1]); }

// Linear between b and c, or b's value when the two times are under 1e-12 s
// apart. No errors, no allocation.
inline PointWeights linear_weights(double t, double tb, double tc) {
  if (negligible(tc - tb)) return {.kind = PointWeights::Kind::left};
  return {.kind = PointWeights::Kind::linear, .fraction = (t - tb) / (tc - tb)};
}

// Four-point Lagrange through a, b, c, d, or linear between b and c when one
// of the four denominators is under 1e-12 in magnitude. Denominators and
// numerators are products of three differences multiplied left to right:
//   Da = ((ta − tb)(ta − tc))(ta − td)   Na = ((t − tb)(t − tc))(t − td)
//   Db = ((tb − tc)(tb − ta))(tb − td)   Nb = ((t − ta)(t − tc))(t − td)
//   Dc = ((tc − tb)(tc − ta))(tc − td)   Nc = ((t − ta)(t − tb))(t − td)
//   Dd = ((td − tb)(td − ta))(td − tc)   Nd = ((t − ta)(t − tb))(t − tc)
// No errors, no allocation.
inline PointWeights cubic_weights(double t, double ta, double tb, double tc, double td) {
  const ChannelPair tab{ta, tb};
  const ChannelPair tcd{tc, td};
  const ChannelPair d_ab = ((tab - ChannelPair{tb, tc}) * (tab - ChannelPair{tc, ta})) * (tab - td);
  const ChannelPair d_cd = ((tcd - tb) * (tcd - ta)) * (tcd - ChannelPair{td, tc});
  if (either_negligible(d_ab) || either_negligible(d_cd)) return linear_weights(t, tb, tc);
  const ChannelPair u_ab = t - tab;  // t − ta, t − tb
  const ChannelPair u_cd = t - tcd;  // t − tc, t − td
  const ChannelPair u_ba{u_ab[1], u_ab[0]};
  const ChannelPair n_ab = (u_ba * u_cd[0]) * u_cd[1];
  const ChannelPair n_cd = (u_ab[0] * ChannelPair{u_ab[1], u_ab[1]}) * ChannelPair{u_cd[1], u_cd[0]};
  return {.kind = PointWeights::Kind::cubic, .ab = n_ab / d_ab, .cd = n_cd / d_cd};
}

// The first `count` pairs of the grid point's values, computed in float64 and
// rounded to float32: b's own values, f × (yc − yb) + yb (the order that
// makes f = 0 give yb and f = 1 give yc exactly), or ((wa × ya + wb × yb) +
// wc × yc) + wd × yd. `a` and `d` are read only for cubic weights.
template <std::size_t count>
inline void interpolate_pairs(PointValues& out, const PointWeights& w, const TimedSample& a,
                              const TimedSample& b, const TimedSample& c, const TimedSample& d) {
  for (std::size_t p = 0; p < count; ++p) {
    const ChannelPair yb = b.values[p];
    ChannelPair value = yb;
    if (w.kind == PointWeights::Kind::linear) {
      value = w.fraction * (c.values[p] - yb) + yb;
    } else if (w.kind == PointWeights::Kind::cubic) {
      value = ((w.ab[0] * a.values[p] + w.ab[1] * yb) + w.cd[0] * c.values[p]) + w.cd[1] * d.values[p];
    }
    out.pairs[p] = __builtin_convertvector(value, FloatPair);
  }
}

// The channel values at the grid point. Where the four samples are all quiet,
// the gyroscope and magnetometer come out +0.0 without being computed: each
// cubic weight has the sign of its exact Lagrange weight, and as those sum to
// one, at least one of the four products is +0.0 and so is the sum; the
// linear and the left forms give +0.0 from +0.0 too. No errors, no allocation.
inline PointValues interpolate(const PointWeights& w, const TimedSample& a, const TimedSample& b,
                               const TimedSample& c, const TimedSample& d) {
  PointValues out;
  if (a.quiet && b.quiet && c.quiet && d.quiet) {
    interpolate_pairs<always_live_pairs>(out, w, a, b, c, d);
    for (std::size_t p = always_live_pairs; p < channel_pairs; ++p) out.pairs[p] = FloatPair{0.0f, 0.0f};
  } else {
    interpolate_pairs<channel_pairs>(out, w, a, b, c, d);
  }
  return out;
}

}  // namespace velnora
