#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>

#include "core/base/wide_vectors.hpp"
#include "core/format/data_block.hpp"

namespace velnora {

// Running sums over a stretch of samples, in sample order and in float64,
// four lanes: lane a < 3 the accelerometer's axis a (g), lane 3 a value
// that every sample of a run shares (the block's temperature, °C), taken
// once per sample like an axis. A lane is summed in sample order whatever form adds to
// it, so the same samples give the same bits however they arrive.
struct LaneSums {
  static constexpr double infinity = std::numeric_limits<double>::infinity();

  std::array<double, 4> sum{};
  std::array<double, 4> squares{};
  std::array<double, 4> min{infinity, infinity, infinity, infinity};
  std::array<double, 4> max{-infinity, -infinity, -infinity, -infinity};

  // The sample standard deviation (n − 1) of lane `lane` over `count` samples.
  double sd(std::size_t lane, std::uint64_t count) const;
  // Takes in the sums of a later stretch: its sums added, its extremes met.
  void merge(const LaneSums& later);
};

// Whether a form of add_to_lanes keeps each lane's minimum and maximum too.
enum class Extremes : bool { skipped, kept };

// Adds the samples' accelerometer axes to lanes 0 to 2 of `sums`, and
// `shared` to lane 3 once per sample: sums, squares and, when kept, extremes.
// No errors, no allocation. Takes 256-bit vectors, one lane per axis, where
// the processor has AVX2.
template <Extremes E>
void add_to_lanes(const AccelerationSpans& samples, double shared, LaneSums& sums);

// The two ways add_to_lanes works, with the same bits.
template <Extremes E>
void add_to_lanes_one_by_one(const AccelerationSpans& samples, double shared, LaneSums& sums);
#if defined(VELNORA_WIDE_VECTORS)
template <Extremes E>
[[gnu::target("avx2")]] void add_to_lanes_in_vectors(const AccelerationSpans& samples, double shared,
                                                     LaneSums& sums);
#endif

}  // namespace velnora
