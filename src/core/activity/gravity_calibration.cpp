#include "core/activity/gravity_calibration.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "core/base/interruption.hpp"

namespace velnora {

namespace {

constexpr double sphere_reach_g = 0.3;
constexpr double min_temperature_sd = 0.5;  // °C
constexpr double converged_g = 1e-6;
constexpr int max_iterations = 1000;
constexpr double max_weight = 100.0;
constexpr double calibrated_below_mg = 10.0;
constexpr char axis_names[] = "xyz";

AxisValues calibrated_mean(const GravityCalibration& calibration, const StillWindow& window) {
  AxisValues value;
  for (std::size_t a = 0; a < 3; ++a) {
    value[a] = calibration.offset[a] + calibration.scale[a] * window.mean[a] +
               calibration.temperature_slope[a] * (window.temperature - calibration.reference_temperature);
  }
  return value;
}

double magnitude(const AxisValues& value) {
  return std::sqrt(value[0] * value[0] + value[1] * value[1] + value[2] * value[2]);
}

// The mean distance (g) of the calibrated window means from the unit sphere.
double mean_error(const GravityCalibration& calibration, std::span<const StillWindow> still) {
  double sum = 0.0;
  for (const StillWindow& window : still)
    sum += std::abs(magnitude(calibrated_mean(calibration, window)) - 1.0);
  return sum / static_cast<double>(still.size());
}

// Why the still windows cannot pin a sphere down: an axis whose means all
// lie on one side of ±0.3 g; nothing when every axis reaches both sides.
std::optional<std::string> uncovered_axis(std::span<const StillWindow> still) {
  for (std::size_t a = 0; a < 3; ++a) {
    bool below = false;
    bool above = false;
    for (const StillWindow& window : still) {
      below = below || window.mean[a] < -sphere_reach_g;
      above = above || window.mean[a] > sphere_reach_g;
    }
    if (!below || !above) {
      return std::string("the still postures do not cover the sphere: no still window's mean on axis ") +
             axis_names[a] + (below ? " is above +0.3 g" : " is below -0.3 g");
    }
  }
  return std::nullopt;
}

// A weighted least-squares problem of up to three unknowns, by its normal equations.
struct NormalEquations {
  std::size_t unknowns;
  std::array<std::array<double, 3>, 3> matrix{};
  std::array<double, 3> right{};

  void add(const std::array<double, 3>& row, double target, double weight) {
    for (std::size_t i = 0; i < unknowns; ++i) {
      for (std::size_t j = 0; j < unknowns; ++j) matrix[i][j] += weight * row[i] * row[j];
      right[i] += weight * row[i] * target;
    }
  }

  // Gaussian elimination with partial pivoting; nothing for a singular system.
  std::optional<std::array<double, 3>> solve() const {
    auto m = matrix;
    auto b = right;
    for (std::size_t col = 0; col < unknowns; ++col) {
      std::size_t pivot = col;
      for (std::size_t r = col + 1; r < unknowns; ++r) {
        if (std::abs(m[r][col]) > std::abs(m[pivot][col])) pivot = r;
      }
      if (!(std::abs(m[pivot][col]) > 0.0)) return std::nullopt;
      std::swap(m[col], m[pivot]);
      std::swap(b[col], b[pivot]);
      for (std::size_t r = col + 1; r < unknowns; ++r) {
        const double factor = m[r][col] / m[col][col];
        for (std::size_t c = col; c < unknowns; ++c) m[r][c] -= factor * m[col][c];
        b[r] -= factor * b[col];
      }
    }
    std::array<double, 3> x{};
    for (std::size_t r = unknowns; r-- > 0;) {
      double sum = b[r];
      for (std::size_t c = r + 1; c < unknowns; ++c) sum -= m[r][c] * x[c];
      x[r] = sum / m[r][r];
    }
    return x;
  }
};

// One step of the reweighted fit: per axis, the target (the mean's direction
// on the unit sphere) regressed on (1, calibrated value, T − reference),
// each window weighted by the inverse of its distance from the sphere, at
// most 100; the correction is composed into the calibration. False when a
// system is singular.
bool refit(GravityCalibration& calibration, std::span<const StillWindow> still, bool with_temperature) {
  const std::size_t unknowns = with_temperature ? 3 : 2;
  std::array<NormalEquations, 3> axes{NormalEquations{unknowns}, NormalEquations{unknowns},
                                      NormalEquations{unknowns}};
  for (const StillWindow& window : still) {
    const AxisValues value = calibrated_mean(calibration, window);
    const double length = magnitude(value);
    const double weight = std::min(1.0 / std::abs(length - 1.0), max_weight);
    const double warmer = window.temperature - calibration.reference_temperature;
    for (std::size_t a = 0; a < 3; ++a) axes[a].add({1.0, value[a], warmer}, value[a] / length, weight);
  }
  for (std::size_t a = 0; a < 3; ++a) {
    const auto solved = axes[a].solve();
    if (!solved) return false;
    const auto [added, factor, per_degree] = *solved;
    calibration.offset[a] = added + factor * calibration.offset[a];
    calibration.scale[a] = factor * calibration.scale[a];
    calibration.temperature_slope[a] = per_degree + factor * calibration.temperature_slope[a];
  }
  return true;
}

// The still windows' mean temperature and whether they spread enough in
// temperature for its term to be fitted.
std::pair<double, bool> reference_temperature(std::span<const StillWindow> still) {
  double sum = 0.0;
  for (const StillWindow& window : still) sum += window.temperature;
  const double mean = sum / static_cast<double>(still.size());
  if (still.size() < 2) return {mean, false};
  double squares = 0.0;
  for (const StillWindow& window : still)
    squares += (window.temperature - mean) * (window.temperature - mean);
  return {mean, std::sqrt(squares / static_cast<double>(still.size() - 1)) >= min_temperature_sd};
}

}  // namespace

Result<CalibrationEstimate> fit_calibration(std::span<const StillWindow> still) {
  CalibrationEstimate estimate{GravityCalibration{},
                               std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::quiet_NaN(),
                               still.size(),
                               false,
                               std::nullopt};
  if (still.empty()) {
    estimate.reason = "no still 10 s window";
    return estimate;
  }
  const auto [reference, with_temperature] = reference_temperature(still);
  GravityCalibration fitted;
  fitted.reference_temperature = reference;
  estimate.calibration.reference_temperature = reference;
  const double before = mean_error(fitted, still);
  estimate.error_before_mg = 1000.0 * before;
  estimate.error_after_mg = estimate.error_before_mg;
  if (auto gap = uncovered_axis(still)) {
    estimate.reason = std::move(gap);
    return estimate;
  }
  double previous = before;
  for (int iteration = 0; iteration < max_iterations; ++iteration) {
    if (auto going_on = interruption_point(); !going_on) return fail(std::move(going_on.error()));
    if (!refit(fitted, still, with_temperature)) {
      estimate.reason = "the fit's equations are singular";
      return estimate;
    }
    const double error = mean_error(fitted, still);
    if (std::abs(error - previous) < converged_g) break;
    previous = error;
  }
  const double after_mg = 1000.0 * mean_error(fitted, still);
  estimate.error_after_mg = after_mg;
  if (!(after_mg < calibrated_below_mg && after_mg < estimate.error_before_mg)) {
    std::array<char, 160> text;
    std::snprintf(
        text.data(), text.size(),
        "the error after the fit, %.3f mg, is not below both 10 mg and the error before it, %.3f mg",
        after_mg, estimate.error_before_mg);
    estimate.reason = text.data();
    return estimate;
  }
  estimate.calibration = fitted;
  estimate.calibrated = true;
  return estimate;
}

}  // namespace velnora
