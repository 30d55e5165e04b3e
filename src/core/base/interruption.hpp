#pragma once

#include "core/base/cwa_error.hpp"

namespace velnora {

// Asked during long work whether the caller wants it stopped (in Python: a
// signal handler raised, as for Ctrl-C). Returns true to stop; the hook keeps
// the reason itself.
using StopRequested = bool (*)();

// What the caller does while the calling thread waits on something outside
// the process, such as a FIFO's reader: in Python, the interpreter is let go,
// since the reader may be another thread of the same process. `resume` gets
// what `pause` returned.
struct OutsideWaitHooks {
  void* (*pause)() = nullptr;
  void (*resume)(void*) = nullptr;
};

// Installs `hook` and `wait` on the calling thread while the scope lives;
// scopes nest. The core knows nothing of who installs one.
class InterruptionScope {
 public:
  explicit InterruptionScope(StopRequested hook, OutsideWaitHooks wait = {}) noexcept;
  ~InterruptionScope();
  InterruptionScope(const InterruptionScope&) = delete;
  InterruptionScope& operator=(const InterruptionScope&) = delete;

 private:
  StopRequested previous_;
  OutsideWaitHooks previous_wait_;
  bool previous_stopped_;
};

// Marks a blocking system call on the outside world: the installed wait
// hooks run around it. Nothing of the caller's may be touched meanwhile.
class OutsideWait {
 public:
  OutsideWait() noexcept;
  ~OutsideWait();
  OutsideWait(const OutsideWait&) = delete;
  OutsideWait& operator=(const OutsideWait&) = delete;

 private:
  void* paused_ = nullptr;
};

// Where a long loop may stop: asks the installed hook at most every few
// milliseconds (one coarse clock read otherwise), so a loop can call it per
// block or per batch of rows at no measurable cost. Once a stop is
// requested, every later call in the scope fails at once: a clean-up that
// would wait again (a flush into a stalled FIFO) gives up. Errors: Interrupted.
Result<void> interruption_point();

}  // namespace velnora
