#pragma once

#include <array>
#include <cstddef>
#include <cstring>

#include "core/resample/sample_queue.hpp"

// Four float64 lanes and the few operations interpolation needs on them, in
// two forms that give the same bits lane by lane: one 256-bit vector, for code
// compiled for processors with AVX2, and two 128-bit halves, which the
// baseline instruction set carries natively. Compiled for the baseline, the
// 256-bit form would be split through memory at every step.
//
// Every function is forced inline, so that code compiled for AVX2 gets its
// own copy rather than a call into a baseline one.

namespace velnora {

// Four float32 lanes, the form in which either quad leaves interpolation.
using FloatQuad = float __attribute__((vector_size(16)));

struct WideQuad {
  using Lanes = double __attribute__((vector_size(32)));
  Lanes lanes;

  [[gnu::always_inline]] static WideQuad of(double a, double b, double c, double d) {
    return {Lanes{a, b, c, d}};
  }
  [[gnu::always_inline]] static WideQuad all(double a) { return of(a, a, a, a); }
  // From four doubles in a row.
  [[gnu::always_inline]] static WideQuad load(const double* values) {
    WideQuad quad;
    std::memcpy(&quad.lanes, values, sizeof quad.lanes);
    return quad;
  }
  [[gnu::always_inline]] double operator[](std::size_t k) const { return lanes[k]; }
  [[gnu::always_inline]] FloatQuad to_float() const { return __builtin_convertvector(lanes, FloatQuad); }

  [[gnu::always_inline]] friend WideQuad operator+(const WideQuad& x, const WideQuad& y) {
    return {x.lanes + y.lanes};
  }
  [[gnu::always_inline]] friend WideQuad operator-(const WideQuad& x, const WideQuad& y) {
    return {x.lanes - y.lanes};
  }
  [[gnu::always_inline]] friend WideQuad operator*(const WideQuad& x, const WideQuad& y) {
    return {x.lanes * y.lanes};
  }
  [[gnu::always_inline]] friend WideQuad operator/(const WideQuad& x, const WideQuad& y) {
    return {x.lanes / y.lanes};
  }
};

// Lanes i0..i3 of `quad`, in that order.
template <int i0, int i1, int i2, int i3>
[[gnu::always_inline]] inline WideQuad pick(const WideQuad& quad) {
  return {__builtin_shufflevector(quad.lanes, quad.lanes, i0, i1, i2, i3)};
}

// Whether a lane lies strictly between -bound and bound (NaN does not).
[[gnu::always_inline]] inline bool any_within(const WideQuad& quad, double bound) {
  const auto within = (quad.lanes < bound) & (quad.lanes > -bound);
  const auto folded = within | __builtin_shufflevector(within, within, 2, 3, 0, 1);
  return (folded[0] | folded[1]) != 0;
}

struct SplitQuad {
  using Half = double __attribute__((vector_size(16)));
  Half low, high;

  [[gnu::always_inline]] static SplitQuad of(double a, double b, double c, double d) {
    return {Half{a, b}, Half{c, d}};
  }
  [[gnu::always_inline]] static SplitQuad all(double a) { return of(a, a, a, a); }
  // From four doubles in a row.
  [[gnu::always_inline]] static SplitQuad load(const double* values) {
    SplitQuad quad;
    std::memcpy(&quad.low, values, sizeof quad.low);
    std::memcpy(&quad.high, values + 2, sizeof quad.high);
    return quad;
  }
  [[gnu::always_inline]] double operator[](std::size_t k) const { return k < 2 ? low[k] : high[k - 2]; }
  [[gnu::always_inline]] FloatQuad to_float() const {
    using FloatPair = float __attribute__((vector_size(8)));
    const FloatPair first = __builtin_convertvector(low, FloatPair);
    const FloatPair second = __builtin_convertvector(high, FloatPair);
    return FloatQuad{first[0], first[1], second[0], second[1]};
  }

  [[gnu::always_inline]] friend SplitQuad operator+(const SplitQuad& x, const SplitQuad& y) {
    return {x.low + y.low, x.high + y.high};
  }
  [[gnu::always_inline]] friend SplitQuad operator-(const SplitQuad& x, const SplitQuad& y) {
    return {x.low - y.low, x.high - y.high};
  }
  [[gnu::always_inline]] friend SplitQuad operator*(const SplitQuad& x, const SplitQuad& y) {
    return {x.low * y.low, x.high * y.high};
  }
  [[gnu::always_inline]] friend SplitQuad operator/(const SplitQuad& x, const SplitQuad& y) {
    return {x.low / y.low, x.high / y.high};
  }
};

template <int i0, int i1, int i2, int i3>
[[gnu::always_inline]] inline SplitQuad pick(const SplitQuad& quad) {
  return {__builtin_shufflevector(quad.low, quad.high, i0, i1),
          __builtin_shufflevector(quad.low, quad.high, i2, i3)};
}

[[gnu::always_inline]] inline bool any_within(const SplitQuad& quad, double bound) {
  const auto within =
      ((quad.low < bound) & (quad.low > -bound)) | ((quad.high < bound) & (quad.high > -bound));
  return (within[0] | within[1]) != 0;
}

}  // namespace velnora

// Defined here, inline, because they run once per output row: the
// resampler's loop folds them in and keeps the values in registers on their
// way to the output rows. Written once for either quad form (above); each
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

// Four-point Lagrange through a, b, c, d at `times` (ta, tb, tc, td), or
// linear between b and c when one of the four denominators is under 1e-12 in
// magnitude. Denominators and numerators are products of three differences
// multiplied left to right:
//   Da = ((ta − tb)(ta − tc))(ta − td)   Na = ((t − tb)(t − tc))(t − td)
//   Db = ((tb − tc)(tb − ta))(tb − td)   Nb = ((t − ta)(t − tc))(t − td)
//   Dc = ((tc − tb)(tc − ta))(tc − td)   Nc = ((t − ta)(t − tb))(t − td)
//   Dd = ((td − tb)(td − ta))(td − tc)   Nd = ((t − ta)(t − tb))(t − tc)
// No errors, no allocation.
template <class Quad>
[[gnu::always_inline]] inline PointWeights<Quad> cubic_weights(double t, const Quad& times) {
  const Quad denominators = ((times - pick<1, 2, 1, 1>(times)) * (times - pick<2, 0, 0, 0>(times))) *
                            (times - pick<3, 3, 3, 2>(times));
  if (any_within(denominators, negligible_time)) return linear_weights<Quad>(t, times[1], times[2]);
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
[[gnu::always_inline]] inline PointValues interpolate(const PointWeights<Quad>& w, const SampleValues& a,
                                                      const SampleValues& b, const SampleValues& c,
                                                      const SampleValues& d) {
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
