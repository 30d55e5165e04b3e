#include "core/resample/sample_queue.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

namespace velnora {

namespace {

// Four samples make a cubic. A whole block is queued at once, so the buffer
// settles at the first power of two that holds a block and a few samples
// before it.
constexpr std::size_t initial_capacity = 8;

}  // namespace

Result<void> SampleQueue::make_room(std::size_t count) {
  if (count <= capacity_ - size_) {
    std::copy(slots_.get() + front_, slots_.get() + front_ + size_, slots_.get());
    front_ = 0;
    return {};
  }
  std::size_t grown = capacity_ > 0 ? capacity_ : initial_capacity;
  while (grown - size_ < count) {
    if (grown > SIZE_MAX / 2 / sizeof(TimedSample)) return fail(CwaError::io_errno(ENOMEM));
    grown *= 2;
  }
  std::unique_ptr<TimedSample[]> slots(new (std::nothrow) TimedSample[grown]);
  if (!slots) return fail(CwaError::io_errno(ENOMEM));
  std::copy(slots_.get() + front_, slots_.get() + front_ + size_, slots.get());
  slots_ = std::move(slots);
  capacity_ = grown;
  front_ = 0;
  return {};
}

}  // namespace velnora
