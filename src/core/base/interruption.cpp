#include "core/base/interruption.hpp"

#include <time.h>

#include <cstdint>

namespace velnora {

namespace {

// A signal's effect is due within 50 ms of work; asking every 10 ms keeps well
// inside that and costs one hook call per 10 ms.
constexpr std::int64_t poll_interval_ns = 10'000'000;

thread_local StopRequested installed_hook = nullptr;
thread_local OutsideWaitHooks installed_wait{};
thread_local std::int64_t last_poll_ns = 0;
// The hook answered true: the stop stands for the rest of the scope, as the
// caller's reason is kept only once.
thread_local bool stop_requested = false;

// The coarse clock is read from the vDSO without a system call.
std::int64_t coarse_now_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

InterruptionScope::InterruptionScope(StopRequested hook, OutsideWaitHooks wait) noexcept
    : previous_(installed_hook), previous_wait_(installed_wait), previous_stopped_(stop_requested) {
  installed_hook = hook;
  installed_wait = wait;
  stop_requested = false;
  last_poll_ns = coarse_now_ns();
}

InterruptionScope::~InterruptionScope() {
  installed_hook = previous_;
  installed_wait = previous_wait_;
  stop_requested = previous_stopped_;
}

OutsideWait::OutsideWait() noexcept {
  if (installed_wait.pause != nullptr) paused_ = installed_wait.pause();
}

OutsideWait::~OutsideWait() {
  if (installed_wait.resume != nullptr) installed_wait.resume(paused_);
}

Result<void> interruption_point() {
  if (installed_hook == nullptr) return {};
  if (stop_requested) return fail(CwaError::interrupted());
  const std::int64_t now = coarse_now_ns();
  if (now - last_poll_ns < poll_interval_ns) return {};
  last_poll_ns = now;
  if (!installed_hook()) return {};
  stop_requested = true;
  return fail(CwaError::interrupted());
}

}  // namespace velnora
