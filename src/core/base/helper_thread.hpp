#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

namespace velnora {

// Whether a helper thread may run: not when VELNORA_THREADS is 1, which a
// batch that runs a call on every processor already sets, and only where the
// process may run on a second processor at all. No errors.
bool helper_thread_allowed();

// A second thread that runs one task for its owner, who does its own share
// meanwhile and then joins it. It never sees the interpreter: the task is
// plain core work, which keeps its outcome where its owner looks, and which
// may stop early when its owner asks it through the task's own state.
class HelperThread {
 public:
  using Task = void (*)(void* context) noexcept;

  // A thread running task(context), or nothing where a helper thread may not
  // run (helper_thread_allowed) or none can be started. No errors.
  static std::optional<HelperThread> start(Task task, void* context);

  HelperThread(HelperThread&&) noexcept = default;
  HelperThread& operator=(HelperThread&&) = delete;
  ~HelperThread() { join(); }

  // Whether the task has returned, without waiting: for an owner that must
  // keep answering while it waits.
  bool finished() const { return finished_->load(std::memory_order_acquire); }
  // Waits until the task has returned.
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  HelperThread() : finished_(std::make_unique<std::atomic<bool>>(false)) {}

  // Apart from the object, which moves, so that the thread sees one flag.
  std::unique_ptr<std::atomic<bool>> finished_;
  std::thread thread_;
};

}  // namespace velnora
