#pragma once

#include <array>
#include <cstddef>

#include "core/resample/quad.hpp"
#include "core/resample/sample_queue.hpp"

// Defined here, inline, because they run once per output row: the
// resampler's loop folds them in and keeps the values in registers on their
// way to the output rows. Written once for either quad form (quad.hpp); each
// lane keeps the stated order of operations, so the results are those of the
// scalar expressions.

namespace velnora {

// A grid point's channel values, rounded to float32 and kept in the quads they
// were computed in: a quad goes to the stage with one store, and is split into
// its four columns only there, a run of rows at a time.
struct PointValues {
  std::array<FloatQuad, channel_quads> quads;
};

// How a grid point at time t is formed from the samples a, b, c, d around its
// segment b–c. The weights depend on the times only, so they are computed once
// per grid point and serve every channel.
template <class Quad>
struct PointWeights {
  enum class Kind { left, linear, cubic };
  Kind kind;
  double fraction = 0.0;                         // linear: (t - tb) / (tc - tb)
  Quad lagrange = Quad::of(0.0, 0.0, 0.0, 0.0);  // cubic: the factors N / D of a, b, c and d
};

// Below this, a time difference (or a product of three) counts as zero: for
// evenly spaced samples it puts the cubic's limit near 79 µs spacing.
inline constexpr double negligible_time = 1e-12;

// Whether `value` is under 1e-12 in magnitude (NaN is not).
inline bool negligible(double value) { return value < negligible_time && value > -negligible_time; }

// Linear between b and c, or b's value when the two times are under 1e-12 s
// apart. No errors, no allocation.
template <class Quad>
[[gnu::always_inline]] inline PointWeights<Quad> linear_weights(double t, double tb, double tc) {
  using Kind = PointWeights<Quad>::Kind;
  if (negligible(tc - tb)) return {.kind = Kind::left};
  return {.kind = Kind::linear, .fraction = (t - tb) / (tc - tb)};
}

// Four-point Lagrange through a, b, c, d, or linear between b and c when one
// of the four denominators is under 1e-12 in magnitude. Denominators and
// numerators are products of three differences multiplied left to right:
//   Da = ((ta − tb)(ta − tc))(ta − td)   Na = ((t − tb)(t − tc))(t − td)
//   Db = ((tb − tc)(tb − ta))(tb − td)   Nb = ((t − ta)(t − tc))(t − td)
//   Dc = ((tc − tb)(tc − ta))(tc − td)   Nc = ((t − ta)(t − tb))(t − td)
//   Dd = ((td − tb)(td − ta))(td − tc)   Nd = ((t − ta)(t − tb))(t − tc)
// No errors, no allocation.
template <class Quad>
[[gnu::always_inline]] inline PointWeights<Quad> cubic_weights(double t, double ta, double tb, double tc,
                                                               double td) {
  const Quad times = Quad::of(ta, tb, tc, td);
  const Quad denominators = ((times - pick<1, 2, 1, 1>(times)) * (times - pick<2, 0, 0, 0>(times))) *
                            (times - pick<3, 3, 3, 2>(times));
  if (any_within(denominators, negligible_time)) return linear_weights<Quad>(t, tb, tc);
  const Quad u = Quad::all(t) - times;  // t − ta, t − tb, t − tc, t − td
  const Quad numerators = (pick<1, 0, 0, 0>(u) * pick<2, 2, 1, 1>(u)) * pick<3, 3, 3, 2>(u);
  return {.kind = PointWeights<Quad>::Kind::cubic, .lagrange = numerators / denominators};
}

// The channel values at the grid point, computed in float64 and rounded to
// float32: b's own values, f × (yc − yb) + yb (the order that makes f = 0
// give yb and f = 1 give yc exactly), or ((wa × ya + wb × yb) + wc × yc) +
// wd × yd. `a` and `d` are read only for cubic weights. Only the first
// `live_quads` quads are computed; the caller knows the others to be +0.0
// in all four samples, and they come out +0.0: each cubic weight has the
// sign of its exact Lagrange weight, and as those sum to one, at least one of
// the four products is +0.0 and so is the sum; the linear and the left forms
// give +0.0 from +0.0 too. No errors, no allocation.
template <class Quad, std::size_t live_quads = channel_quads>
[[gnu::always_inline]] inline PointValues interpolate(const PointWeights<Quad>& w, const TimedSample& a,
                                                      const TimedSample& b, const TimedSample& c,
                                                      const TimedSample& d) {
  using Kind = PointWeights<Quad>::Kind;
  PointValues out{};
  const Quad wa = pick<0, 0, 0, 0>(w.lagrange), wb = pick<1, 1, 1, 1>(w.lagrange),
             wc = pick<2, 2, 2, 2>(w.lagrange), wd = pick<3, 3, 3, 3>(w.lagrange);
  const Quad fraction = Quad::all(w.fraction);
  for (std::size_t q = 0; q < live_quads; ++q) {
    const std::size_t first = 4 * q;
    const Quad yb = Quad::load(&b.values[first]);
    Quad value = yb;
    if (w.kind == Kind::linear) {
      value = fraction * (Quad::load(&c.values[first]) - yb) + yb;
    } else if (w.kind == Kind::cubic) {
      value = ((wa * Quad::load(&a.values[first]) + wb * yb) + wc * Quad::load(&c.values[first])) +
              wd * Quad::load(&d.values[first]);
    }
    out.quads[q] = value.to_float();
  }
  return out;
}

}  // namespace velnora
