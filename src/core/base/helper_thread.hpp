#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>

namespace velnora {

// A second thread that runs one task at a time for its owner, who hands a
// task over, does its own share meanwhile and then waits for it. Between
// tasks the thread sleeps. It never sees the interpreter: a task is plain
// core work, which keeps its outcome where its owner looks, and which may
// stop early when its owner asks it through the task's own state.
class HelperThread {
 public:
  using Task = void (*)(void* context);

  // A started thread, or nothing where the process may run on one processor
  // only, VELNORA_THREADS is 1, or no thread can be started. No errors.
  static std::optional<HelperThread> start();

  HelperThread(HelperThread&&) noexcept = default;
  HelperThread& operator=(HelperThread&&) = delete;
  // Stops the thread once a running task has returned, and joins it.
  ~HelperThread();

  // Runs task(context) on the thread. The previous task must be finished.
  void run(Task task, void* context);
  // Waits until the task handed over last has returned.
  void finish();
  // Whether the task handed over last has returned, without waiting: for an
  // owner that must keep answering while it waits.
  bool idle() const {
    return shared_->finished.load(std::memory_order_acquire) ==
           shared_->handed.load(std::memory_order_relaxed);
  }

 private:
  struct Shared {
    std::atomic<std::uint32_t> handed{0};
    std::atomic<std::uint32_t> finished{0};
    Task task = nullptr;
    void* context = nullptr;
    bool stop = false;
  };
  explicit HelperThread(std::unique_ptr<Shared> shared) : shared_(std::move(shared)) {}
  static void serve(Shared& shared);

  std::unique_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace velnora
