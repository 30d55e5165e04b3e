#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "core/activity/gravity_calibration.hpp"
#include "core/base/wide_vectors.hpp"
#include "core/format/data_block.hpp"

namespace velnora {

// The per-sample stages of the epoch metrics, each over a block's run of
// samples at once: the calibration of the axes, then the magnitude, ENMO
// and angle of each sample with their sums. The calibrated axes are a stage
// of their own so that other per-sample stages on them (a filter, an angle
// of their own) can come between or beside.

// A run's calibrated axes (g), one array per axis.
struct CalibratedAxes {
  std::array<double, max_samples_per_block> x, y, z;
};

// The running sums of an epoch's samples, each in sample order: ENMO (g),
// angle (radians) and magnitude (g).
struct MetricSums {
  double enmo = 0.0;
  double angle = 0.0;
  double magnitude = 0.0;
};

// Calibrates the samples (at most max_samples_per_block) into `axes`: for
// axis a, added[a] + scale[a] × raw in float64. No errors, no allocation.
// Takes 256-bit vectors where the processor has AVX2.
void calibrate_axes(const AccelerationSpans& samples, const AxisValues& added, const AxisValues& scale,
                    CalibratedAxes& axes);

// Adds samples [from, to) of `axes` to `sums` and writes their magnitudes
// to `magnitudes` (to − from of them). No errors, no allocation. Takes
// 256-bit vectors where the processor has AVX2.
void add_epoch_samples(const CalibratedAxes& axes, std::size_t from, std::size_t to, MetricSums& sums,
                       double* magnitudes);

// The two ways each stage works, with the same bits: one sample at a time,
// and, on x86-64 processors with AVX2 only, four.
void calibrate_axes_one_by_one(const AccelerationSpans& samples, const AxisValues& added,
                               const AxisValues& scale, CalibratedAxes& axes, std::size_t from = 0);
void add_epoch_samples_one_by_one(const CalibratedAxes& axes, std::size_t from, std::size_t to,
                                  MetricSums& sums, double* magnitudes);
#if defined(VELNORA_WIDE_VECTORS)
void calibrate_axes_in_vectors(const AccelerationSpans& samples, const AxisValues& added,
                               const AxisValues& scale, CalibratedAxes& axes);
void add_epoch_samples_in_vectors(const CalibratedAxes& axes, std::size_t from, std::size_t to,
                                  MetricSums& sums, double* magnitudes);
#endif

}  // namespace velnora
