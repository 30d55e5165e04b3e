#include "core/activity/lowpass.hpp"

#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>

namespace velnora {

namespace {

constexpr int order = 4;
// The impulse response is followed until it has fallen this far under its peak.
constexpr double negligible = 1e-17;
// A cut-off under this share of the rate would need thousands of taps.
constexpr double lowest_share_of_rate = 0.01;

// One second-order section of the cascade: (1 + z⁻¹)² / (1 − a1 z⁻¹ − a2 z⁻²), gain `gain`.
struct Section {
  double gain;
  double a1;
  double a2;
  double y1 = 0.0;
  double y2 = 0.0;
  double x1 = 0.0;
  double x2 = 0.0;

  double step(double x) {
    const double y = gain * (x + 2.0 * x1 + x2) + a1 * y1 + a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
  }
};

// The two sections of the Butterworth low-pass of order 4 at `cutoff_hz`,
// bilinear with the cut-off prewarped, each of gain 1 at 0 Hz.
std::array<Section, 2> butterworth_sections(double cutoff_hz, double rate_hz) {
  const double warped = 2.0 * rate_hz * std::tan(std::numbers::pi * cutoff_hz / rate_hz);
  std::array<Section, 2> sections{};
  for (int k = 0; k < order / 2; ++k) {
    const double angle = std::numbers::pi * (2.0 * k + order + 1.0) / (2.0 * order);
    const std::complex<double> analog = warped * std::polar(1.0, angle);
    const std::complex<double> pole = (2.0 * rate_hz + analog) / (2.0 * rate_hz - analog);
    const double a1 = 2.0 * pole.real();
    const double a2 = -std::norm(pole);
    sections[static_cast<std::size_t>(k)] = Section{(1.0 - a1 - a2) / 4.0, a1, a2};
  }
  return sections;
}

Result<ZeroPhaseLowpass> refused(const char* rule, double rate_hz) {
  std::array<char, 120> text;
  std::snprintf(text.data(), text.size(), "lowpass_hz must be %s of the sampling rate (%g Hz)", rule,
                rate_hz);
  return fail(text.data());
}

}  // namespace

Result<ZeroPhaseLowpass> ZeroPhaseLowpass::design(double cutoff_hz, double rate_hz) {
  if (!(cutoff_hz < rate_hz / 2.0)) return refused("under half", rate_hz);
  if (!(cutoff_hz >= lowest_share_of_rate * rate_hz)) return refused("at least a hundredth", rate_hz);
  // The Butterworth's impulse response, until a whole period of the cut-off
  // has passed under the bound (it oscillates as it decays).
  std::array<Section, 2> sections = butterworth_sections(cutoff_hz, rate_hz);
  const auto period = static_cast<std::size_t>(rate_hz / cutoff_hz) + 1;
  std::vector<double> response;
  double peak = 0.0;
  std::size_t quiet = 0;
  for (double input = 1.0; quiet < period; input = 0.0) {
    const double value = sections[1].step(sections[0].step(input));
    response.push_back(value);
    peak = std::max(peak, std::abs(value));
    quiet = std::abs(value) < negligible * peak ? quiet + 1 : 0;
  }
  // Forwards then backwards: the response's autocorrelation, its negligible tail cut.
  std::vector<double> taps(response.size());
  for (std::size_t k = 0; k < response.size(); ++k) {
    for (std::size_t n = 0; n + k < response.size(); ++n) taps[k] += response[n] * response[n + k];
  }
  while (taps.size() > 1 && std::abs(taps.back()) < negligible * taps.front()) taps.pop_back();
  return ZeroPhaseLowpass(std::move(taps));
}

}  // namespace velnora
