#include "core/base/helper_thread.hpp"

#include <cstdlib>
#include <string_view>
#include <system_error>
#include <utility>

#if defined(__linux__)
#include <sched.h>
#endif

namespace velnora {

namespace {

// Whether a helper may run: not when VELNORA_THREADS is 1, which a batch that
// runs a call on every processor already sets, and only where the process
// may run on a second processor at all.
bool helper_allowed() {
  if (const char* threads = std::getenv("VELNORA_THREADS");
      threads != nullptr && std::string_view(threads) == "1")
    return false;
#if defined(__linux__)
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed) >= 2;
#endif
  return std::thread::hardware_concurrency() >= 2;
}

}  // namespace

std::optional<HelperThread> HelperThread::start() {
  if (!helper_allowed()) return std::nullopt;
  HelperThread helper(std::make_unique<Shared>());
  try {
    helper.thread_ = std::thread(serve, std::ref(*helper.shared_));
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  return helper;
}

HelperThread::~HelperThread() {
  if (!thread_.joinable()) return;
  shared_->stop = true;
  shared_->handed.fetch_add(1, std::memory_order_release);
  shared_->handed.notify_one();
  thread_.join();
}

void HelperThread::run(Task task, void* context) {
  shared_->task = task;
  shared_->context = context;
  shared_->handed.fetch_add(1, std::memory_order_release);
  shared_->handed.notify_one();
}

void HelperThread::finish() {
  const std::uint32_t handed = shared_->handed.load(std::memory_order_relaxed);
  for (std::uint32_t finished; (finished = shared_->finished.load(std::memory_order_acquire)) != handed;) {
    shared_->finished.wait(finished, std::memory_order_acquire);
  }
}

// The thread's loop: a task for every hand-over, until the one that stops it.
void HelperThread::serve(Shared& shared) {
  for (std::uint32_t seen = 0;;) {
    shared.handed.wait(seen, std::memory_order_acquire);
    seen = shared.handed.load(std::memory_order_acquire);
    if (shared.stop) return;
    shared.task(shared.context);
    shared.finished.store(seen, std::memory_order_release);
    shared.finished.notify_one();
  }
}

}  // namespace velnora
