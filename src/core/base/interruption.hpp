#pragma once

#include "core/base/cwa_error.hpp"

namespace velnora {

// Asked during long work whether the caller wants it stopped (in Python: a
// signal handler raised, as for Ctrl-C). Returns true to stop; the hook keeps
// the reason itself.
using StopRequested = bool (*)();

// Installs `hook` on the calling thread while the scope lives; scopes nest.
// The core knows nothing of who installs one.
class InterruptionScope {
 public:
  explicit InterruptionScope(StopRequested hook) noexcept;
  ~InterruptionScope();
  InterruptionScope(const InterruptionScope&) = delete;
  InterruptionScope& operator=(const InterruptionScope&) = delete;

 private:
  StopRequested previous_;
};

// Where a long loop may stop: asks the installed hook at most every few
// milliseconds (one coarse clock read otherwise), so a loop can call it per
// block or per batch of rows at no measurable cost. Errors: Interrupted.
Result<void> interruption_point();

}  // namespace velnora
