#include "core/package/sample_queue.hpp"

#include <cerrno>
#include <new>

namespace velnora {

namespace {

// Four samples make a cubic. A whole block is queued at once, so the ring
// settles at the first power of two that holds a block and a few samples
// before it.
constexpr std::size_t initial_capacity = 8;

}  // namespace

Result<void> SampleQueue::grow() {
  const std::size_t grown = slots_ ? 2 * capacity() : initial_capacity;
  std::unique_ptr<TimedSample[]> slots(new (std::nothrow) TimedSample[grown]);
  if (!slots) return fail(CwaError::io_errno(ENOMEM));
  for (std::size_t j = 0; j < size_; ++j) slots[j] = (*this)[j];
  slots_ = std::move(slots);
  mask_ = grown - 1;
  head_ = 0;
  return {};
}

}  // namespace velnora
