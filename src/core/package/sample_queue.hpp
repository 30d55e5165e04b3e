#pragma once

#include <cstddef>
#include <memory>

#include "core/errors/cwa_error.hpp"
#include "core/package/timed_sample.hpp"

namespace velnora {

// First-in first-out queue of samples on a ring whose size is a power of two,
// so that an index wraps with a mask. It grows when full and never shrinks:
// the resampler keeps it to about a block's length, so after the first few
// blocks it never allocates again.
class SampleQueue {
 public:
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return slots_ ? mask_ + 1 : 0; }

  // The j-th queued sample, 0 being the oldest; j must be below size(). No
  // errors, no allocation.
  const TimedSample& operator[](std::size_t j) const { return slots_[(head_ + j) & mask_]; }

  // Adds a slot at the back for the caller to fill. Errors: Io when the ring
  // cannot grow, the queue then unchanged. Allocates only when the ring is full.
  Result<TimedSample*> add_slot() {
    if (size_ == capacity()) [[unlikely]] {
      auto grown = grow();
      if (!grown) return fail(grown.error());
    }
    TimedSample* slot = &slots_[(head_ + size_) & mask_];
    ++size_;
    return slot;
  }

  // Removes the `count` oldest samples; count must not exceed size(). No
  // errors, no allocation.
  void drop_front(std::size_t count) {
    head_ = (head_ + count) & mask_;
    size_ -= count;
  }

 private:
  Result<void> grow();

  std::unique_ptr<TimedSample[]> slots_;
  std::size_t mask_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace velnora
