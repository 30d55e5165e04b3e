#pragma once

#include <cstddef>
#include <cstring>

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
