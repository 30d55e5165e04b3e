#include <cmath>
#include <limits>

#include "check.hpp"
#include "core/activity/elevation.hpp"

using namespace velnora;

TEST_SUITE(elevation_tests) {
  // Against the C library over every octant boundary and between: never
  // more than 4e-16 apart, the library's own error included.
  double worst = 0.0;
  for (int i = -2000; i <= 2000; ++i) {
    for (const double horizontal : {0.0, 1e-300, 0.001, 0.1, 0.5, 0.999999, 1.0, 1.7, 16.0}) {
      const double z = i / 1000.0 * (1.0 + 1e-9 * i);
      worst = std::max(worst, std::abs(elevation(z, horizontal) - std::atan2(z, horizontal)));
    }
  }
  check(worst <= 4e-16);
  check_eq(elevation(1.0, 0.0), std::numbers::pi / 2);
  check_eq(elevation(-2.0, 0.0), -std::numbers::pi / 2);
  check_eq(elevation(1.0, 1.0), std::numbers::pi / 4);
  check(std::signbit(elevation(-0.0, 0.0)) && elevation(-0.0, 0.0) == 0.0);
  check(std::isnan(elevation(std::numeric_limits<double>::quiet_NaN(), 1.0)));
}
