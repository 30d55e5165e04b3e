#include "core/base/helper_thread.hpp"

#include <cstdlib>
#include <exception>
#include <string_view>

#if defined(__linux__)
#include <sched.h>
#endif

namespace velnora {

bool helper_thread_allowed() {
  if (const char* threads = std::getenv("VELNORA_THREADS");
      threads != nullptr && std::string_view(threads) == "1")
    return false;
#if defined(__linux__)
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed) >= 2;
#endif
  return std::thread::hardware_concurrency() >= 2;
}

std::optional<HelperThread> HelperThread::start(Task task, void* context) {
  if (!helper_thread_allowed()) return std::nullopt;
  // Out of memory or of threads, the owner does the task's share itself.
  try {
    HelperThread helper;
    std::atomic<bool>* finished = helper.finished_.get();
    helper.thread_ = std::thread([task, context, finished] {
      task(context);
      finished->store(true, std::memory_order_release);
    });
    return helper;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace velnora
