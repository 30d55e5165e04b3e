#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/base/cwa_error.hpp"

namespace velnora {

// One value per accelerometer axis, x, y, z.
using AxisValues = std::array<double, 3>;

// A per-axis linear correction of accelerometer readings (g), with a term in
// the block's temperature (°C): offset + scale × raw + slope × (T − reference).
struct GravityCalibration {
  AxisValues offset{0.0, 0.0, 0.0};             // g
  AxisValues scale{1.0, 1.0, 1.0};              // g per g
  AxisValues temperature_slope{0.0, 0.0, 0.0};  // g per °C
  double reference_temperature = 0.0;           // °C

  // What a block at `temperature` adds to scale × raw on each axis, so that a
  // sample costs one multiply and one add per axis.
  AxisValues block_offset(double temperature) const {
    AxisValues added;
    for (std::size_t a = 0; a < 3; ++a)
      added[a] = offset[a] + temperature_slope[a] * (temperature - reference_temperature);
    return added;
  }
};

// A 10 s window in which the device lay still: its mean readings (g) and its
// mean temperature (°C).
struct StillWindow {
  AxisValues mean;
  double temperature;
};

// The outcome of fitting a calibration: the identity when it is not
// calibrated, with the reason; the errors (mg) are the mean distance of the
// still windows' means from the unit sphere before and after the fit.
// `still_windows` were used; `clipped_windows` were left out, an axis's mean
// at or beyond 2 g or the device's range. Whether the temperature term was
// kept, and why not.
struct CalibrationEstimate {
  GravityCalibration calibration;
  double error_before_mg;
  double error_after_mg;
  std::uint64_t still_windows;
  std::uint64_t clipped_windows;
  bool calibrated;
  std::optional<std::string> reason;
  bool temperature_fitted;
  std::optional<std::string> temperature_reason;
};

// Fits the calibration to the still windows by iteratively reweighted least
// squares towards the unit sphere (van Hees et al. 2014), offset and scale
// per axis and, where the windows' temperatures vary, a term in temperature
// kept only when it lowers the error of each posture left out of the fit in
// turn: see docs/epochs.md. Windows with an axis at or beyond 2 g or
// `device_range_g` are left out. Sums run in window order, so the same
// windows give the same bits. Errors: Interrupted (asked every iteration).
// Allocates the kept windows, the fits' copies and the reasons' texts.
Result<CalibrationEstimate> fit_calibration(std::span<const StillWindow> still, double device_range_g);

}  // namespace velnora
