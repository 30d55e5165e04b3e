#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/activity/elevation.hpp"

using namespace velnora;

namespace {

#if defined(VELNORA_WIDE_VECTORS)
// elevation_x4 gives elevation's bits lane by lane: random vectors, ratios
// at and next to the eighths' bounds (where k changes), zero, infinite and
// NaN components; NaN only as NaN.
[[gnu::target("avx2")]] void wide_elevation_matches_one_by_one() {
  if (!wide_vectors_available()) return;
  constexpr double infinity = std::numeric_limits<double>::infinity();
  std::vector<std::array<double, 2>> cases{
      {0.0, 0.0},      {-0.0, 0.0},     {1.0, 0.0},           {-2.0, 0.0},         {0.0, 3.0},
      {infinity, 1.0}, {1.0, infinity}, {infinity, infinity}, {std::nan(""), 1.0}, {1.0, std::nan("")}};
  for (int k = 0; k <= 17; ++k) {
    const double bound = k / 16.0;
    for (const double t : {bound, std::nextafter(bound, 0.0), std::nextafter(bound, 1.0)}) {
      cases.push_back({t, 1.0});
      cases.push_back({-1.0, t});
    }
  }
  std::mt19937_64 random(17);
  std::uniform_real_distribution<double> component(-2.0, 2.0);
  for (int i = 0; i < 20000; ++i) cases.push_back({component(random), std::abs(component(random))});
  for (std::size_t i = 0; i + 4 <= cases.size(); i += 4) {
    std::array<double, 4> z, horizontal, wide;
    for (std::size_t lane = 0; lane < 4; ++lane) {
      z[lane] = cases[i + lane][0];
      horizontal[lane] = cases[i + lane][1];
    }
    _mm256_storeu_pd(wide.data(),
                     elevation_x4(_mm256_loadu_pd(z.data()), _mm256_loadu_pd(horizontal.data())));
    for (std::size_t lane = 0; lane < 4; ++lane) {
      const double one = elevation(z[lane], horizontal[lane]);
      check(std::isnan(one) ? std::isnan(wide[lane])
                            : std::bit_cast<std::uint64_t>(one) == std::bit_cast<std::uint64_t>(wide[lane]));
    }
  }
}
#endif

}  // namespace

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
  check(std::isnan(elevation(1.0, std::numeric_limits<double>::infinity() * 0.0)));
#if defined(VELNORA_WIDE_VECTORS)
  wide_elevation_matches_one_by_one();
#endif
}
