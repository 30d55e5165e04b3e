#include "core/base/interruption.hpp"

#include <time.h>

#include <cstdint>

namespace velnora {

namespace {

// A signal's effect is due within 50 ms of work; asking every 10 ms keeps well
// inside that and costs one hook call per 10 ms.
constexpr std::int64_t poll_interval_ns = 10'000'000;

thread_local StopRequested installed_hook = nullptr;
thread_local std::int64_t last_poll_ns = 0;

// The coarse clock is read from the vDSO without a system call.
std::int64_t coarse_now_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

InterruptionScope::InterruptionScope(StopRequested hook) noexcept : previous_(installed_hook) {
  installed_hook = hook;
  last_poll_ns = coarse_now_ns();
}

InterruptionScope::~InterruptionScope() { installed_hook = previous_; }

Result<void> interruption_point() {
  if (installed_hook == nullptr) return {};
  const std::int64_t now = coarse_now_ns();
  if (now - last_poll_ns < poll_interval_ns) return {};
  last_poll_ns = now;
  if (installed_hook()) return fail(CwaError::interrupted());
  return {};
}

}  // namespace velnora
