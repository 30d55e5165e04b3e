#include "core/activity/gravity_calibration.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "core/base/interruption.hpp"

namespace velnora {

namespace {

constexpr double sphere_reach_g = 0.3;
constexpr double min_temperature_sd = 0.5;  // °C
constexpr double converged_g = 1e-6;
constexpr int max_iterations = 1000;
constexpr double max_weight = 100.0;
constexpr double calibrated_below_mg = 10.0;
// A still window's mean beyond this on an axis is no gravity reading: a clipped or stuck axis.
constexpr double max_still_axis_g = 2.0;
constexpr std::size_t posture_count = 26;
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

// The still windows' mean temperature.
double mean_temperature(std::span<const StillWindow> still) {
  double sum = 0.0;
  for (const StillWindow& window : still) sum += window.temperature;
  return sum / static_cast<double>(still.size());
}

// Why the windows cannot tell a term in temperature: on some axis, the
// temperatures vary by under 0.5 °C (SD) beyond what a line in that axis's
// means explains, so the term would stand in for the postures; nothing when
// every axis leaves enough.
std::optional<std::string> temperature_undetermined(std::span<const StillWindow> still, double reference) {
  if (still.size() < 3) return "fewer than 3 still windows";
  for (std::size_t a = 0; a < 3; ++a) {
    double mean = 0.0;
    for (const StillWindow& window : still) mean += window.mean[a];
    mean /= static_cast<double>(still.size());
    double spread = 0.0;
    double covariance = 0.0;
    double temperature_squares = 0.0;
    for (const StillWindow& window : still) {
      const double along = window.mean[a] - mean;
      const double warmer = window.temperature - reference;
      spread += along * along;
      covariance += along * warmer;
      temperature_squares += warmer * warmer;
    }
    const double explained = spread > 0.0 ? covariance * covariance / spread : 0.0;
    const double residual =
        std::max(temperature_squares - explained, 0.0) / static_cast<double>(still.size() - 2);
    if (std::sqrt(residual) < min_temperature_sd) {
      return std::string(
                 "the still windows' temperatures vary by under 0.5 °C (SD) beyond what the postures explain "
                 "on axis ") +
             axis_names[a];
    }
  }
  return std::nullopt;
}

// The iteratively reweighted fit from `start` to the windows; nothing when a
// system is singular. Errors: Interrupted (asked every iteration).
Result<std::optional<GravityCalibration>> fit_to_sphere(GravityCalibration start,
                                                        std::span<const StillWindow> still,
                                                        bool with_temperature) {
  double previous = mean_error(start, still);
  for (int iteration = 0; iteration < max_iterations; ++iteration) {
    if (auto going_on = interruption_point(); !going_on) return fail(std::move(going_on.error()));
    if (!refit(start, still, with_temperature)) return std::optional<GravityCalibration>();
    const double error = mean_error(start, still);
    if (std::abs(error - previous) < converged_g) break;
    previous = error;
  }
  return std::optional<GravityCalibration>(start);
}

// The posture of a still window: the nearest of the 26 directions to the
// faces, edges and corners of a cube, numbered 0 to 25.
std::size_t posture(const StillWindow& window) {
  std::size_t nearest = 0;
  double closest = -2.0;
  std::size_t number = 0;
  for (int i = -1; i <= 1; ++i) {
    for (int j = -1; j <= 1; ++j) {
      for (int k = -1; k <= 1; ++k) {
        if (i == 0 && j == 0 && k == 0) continue;
        const double cosine = (i * window.mean[0] + j * window.mean[1] + k * window.mean[2]) /
                              std::sqrt(static_cast<double>(i * i + j * j + k * k));
        if (cosine > closest) {
          closest = cosine;
          nearest = number;
        }
        ++number;
      }
    }
  }
  return nearest;
}

// The mean distance (g) of each posture's windows from the sphere under a
// fit to the windows of the other postures, from `start`, over all windows.
// Nothing when a fit is singular. Errors: Interrupted.
Result<std::optional<double>> held_out_error(std::span<const StillWindow> still,
                                             std::span<const std::size_t> postures,
                                             const GravityCalibration& start, bool with_temperature) {
  double sum = 0.0;
  std::vector<StillWindow> others;
  others.reserve(still.size());
  for (std::size_t left_out = 0; left_out < posture_count; ++left_out) {
    if (std::ranges::find(postures, left_out) == postures.end()) continue;
    others.clear();
    for (std::size_t w = 0; w < still.size(); ++w) {
      if (postures[w] != left_out) others.push_back(still[w]);
    }
    auto fitted = fit_to_sphere(start, others, with_temperature);
    if (!fitted) return fail(std::move(fitted.error()));
    if (!*fitted) return std::optional<double>();
    for (std::size_t w = 0; w < still.size(); ++w) {
      if (postures[w] == left_out) sum += std::abs(magnitude(calibrated_mean(**fitted, still[w])) - 1.0);
    }
  }
  return std::optional<double>(sum / static_cast<double>(still.size()));
}

// Whether the temperature term lowers the error of postures left out of the
// fit, and, when it does not, why. Errors: Interrupted.
Result<std::optional<std::string>> temperature_term_refused(std::span<const StillWindow> still,
                                                            const GravityCalibration& plain,
                                                            const GravityCalibration& with_term) {
  std::vector<std::size_t> postures(still.size());
  std::ranges::transform(still, postures.begin(), posture);
  auto without = held_out_error(still, postures, plain, false);
  if (!without) return fail(std::move(without.error()));
  auto with = held_out_error(still, postures, with_term, true);
  if (!with) return fail(std::move(with.error()));
  if (!*with)
    return std::optional<std::string>(
        "the fit with the temperature term is singular with a posture left out");
  if (!*without || **with < **without) return std::optional<std::string>();
  std::array<char, 200> text;
  std::snprintf(
      text.data(), text.size(),
      "with each posture left out of the fit in turn, its windows lie %.3f mg from the sphere with the "
      "temperature term and %.3f mg without it",
      1000.0 * **with, 1000.0 * **without);
  return std::optional<std::string>(text.data());
}

// The windows a fit may use: those whose mean lies within `max_axis_g` of 0
// on every axis; a mean at or beyond it is a clipped or stuck axis.
std::vector<StillWindow> unclipped(std::span<const StillWindow> still, double max_axis_g) {
  std::vector<StillWindow> kept;
  kept.reserve(still.size());
  for (const StillWindow& window : still) {
    if (std::ranges::all_of(window.mean, [&](double value) { return std::abs(value) < max_axis_g; }))
      kept.push_back(window);
  }
  return kept;
}

}  // namespace

Result<CalibrationEstimate> fit_calibration(std::span<const StillWindow> all_still, double device_range_g) {
  const std::vector<StillWindow> still = unclipped(all_still, std::min(device_range_g, max_still_axis_g));
  CalibrationEstimate estimate{GravityCalibration{},
                               std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::quiet_NaN(),
                               still.size(),
                               all_still.size() - still.size(),
                               false,
                               std::nullopt,
                               false,
                               std::nullopt};
  if (still.empty()) {
    estimate.reason =
        all_still.empty() ? "no still 10 s window" : "no still 10 s window without a clipped axis";
    return estimate;
  }
  const double reference = mean_temperature(still);
  GravityCalibration identity;
  identity.reference_temperature = reference;
  estimate.calibration.reference_temperature = reference;
  estimate.error_before_mg = 1000.0 * mean_error(identity, still);
  estimate.error_after_mg = estimate.error_before_mg;
  if (auto gap = uncovered_axis(still)) {
    estimate.reason = std::move(gap);
    return estimate;
  }
  auto plain = fit_to_sphere(identity, still, false);
  if (!plain) return fail(std::move(plain.error()));
  if (!*plain) {
    estimate.reason = "the fit's equations are singular";
    return estimate;
  }
  GravityCalibration fitted = **plain;
  estimate.temperature_reason = temperature_undetermined(still, reference);
  if (!estimate.temperature_reason) {
    auto with_term = fit_to_sphere(identity, still, true);
    if (!with_term) return fail(std::move(with_term.error()));
    auto refused = *with_term
                       ? temperature_term_refused(still, fitted, **with_term)
                       : Result<std::optional<std::string>>("the fit with the temperature term is singular");
    if (!refused) return fail(std::move(refused.error()));
    estimate.temperature_reason = std::move(*refused);
    if (!estimate.temperature_reason) fitted = **with_term;
  }
  estimate.temperature_fitted = !estimate.temperature_reason;
  const double after_mg = 1000.0 * mean_error(fitted, still);
  estimate.error_after_mg = after_mg;
  if (!(after_mg < calibrated_below_mg && after_mg < estimate.error_before_mg)) {
    std::array<char, 160> text;
    std::snprintf(
        text.data(), text.size(),
        "the error after the fit, %.3f mg, is not below both 10 mg and the error before it, %.3f mg",
        after_mg, estimate.error_before_mg);
    estimate.reason = text.data();
    estimate.temperature_fitted = false;
    return estimate;
  }
  estimate.calibration = fitted;
  estimate.calibrated = true;
  return estimate;
}

}  // namespace velnora
