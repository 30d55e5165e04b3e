#pragma once

#include <array>
#include <cmath>
#include <numbers>

namespace velnora {

// The angle (radians) to the horizontal plane of a vector with vertical
// component `z` and horizontal length `horizontal` (≥ 0): atan(z /
// horizontal), ±π/2 where the horizontal length is 0 and ±0 for the zero
// vector, as atan2 gives them. The project's own arithmetic rather than the C
// library's atan2, which costs a third of an epoch pass: a fixed sequence of
// correctly rounded operations, so the same bits on every machine; within
// 4e-16 of the exact angle.
inline double elevation(double z, double horizontal) {
  // atan(k / 8) for k = 0 … 8.
  static constexpr std::array<double, 9> atan_of_eighths{0.0,
                                                         0.12435499454676144,
                                                         0.24497866312686414,
                                                         0.35877067027057225,
                                                         0.4636476090008061,
                                                         0.5585993153435624,
                                                         0.6435011087932844,
                                                         0.7188299996216245,
                                                         0.7853981633974483};
  const double vertical = std::abs(z);
  const bool steep = vertical > horizontal;
  const double small = steep ? horizontal : vertical;
  const double large = steep ? vertical : horizontal;
  if (large == 0.0) return z;
  // atan t = atan c + atan u with c the eighth nearest t, and |u| ≤ 1/16.
  const double t = small / large;
  const int k = static_cast<int>(t * 8.0 + 0.5);
  const double c = k * 0.125;
  const double u = (t - c) / (1.0 + t * c);
  // atan u = u (1 − w/3 + w²/5 − …), w = u²; the terms past w⁷ are under 1e-21.
  const double w = u * u;
  double series = -1.0 / 15.0;
  series = series * w + 1.0 / 13.0;
  series = series * w - 1.0 / 11.0;
  series = series * w + 1.0 / 9.0;
  series = series * w - 1.0 / 7.0;
  series = series * w + 1.0 / 5.0;
  series = series * w - 1.0 / 3.0;
  series = series * w + 1.0;
  const double angle = atan_of_eighths[static_cast<std::size_t>(k)] + u * series;
  return std::copysign(steep ? std::numbers::pi / 2 - angle : angle, z);
}

}  // namespace velnora
