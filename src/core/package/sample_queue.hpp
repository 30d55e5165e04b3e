#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "core/errors/cwa_error.hpp"
#include "core/package/timed_sample.hpp"

namespace velnora {

// First-in first-out queue of samples, kept in one contiguous run so that the
// four samples around a grid point are neighbours in memory. Removing from the
// front only moves a start index; adding at the back of a full buffer first
// moves the samples still queued to its start, or doubles it when none was
// removed. The resampler keeps the queue to about a block's length, so after
// the first few blocks it never allocates again, and what it moves is the few
// samples left over from the previous block.
class SampleQueue {
 public:
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }

  // The queued samples, oldest first. Valid until the next add_slot.
  std::span<const TimedSample> samples() const { return {slots_.get() + front_, size_}; }

  // Adds a slot at the back for the caller to fill. Errors: Io when the
  // buffer cannot grow, the queue then unchanged. Allocates only when the
  // buffer is full and nothing was removed since it last moved.
  Result<TimedSample*> add_slot() {
    if (front_ + size_ == capacity_) [[unlikely]] {
      auto room = make_room();
      if (!room) return fail(room.error());
    }
    return &slots_[front_ + size_++];
  }

  // Removes the `count` oldest samples; count must not exceed size(). No
  // errors, no allocation.
  void drop_front(std::size_t count) {
    front_ += count;
    size_ -= count;
  }

 private:
  Result<void> make_room();

  std::unique_ptr<TimedSample[]> slots_;
  std::size_t capacity_ = 0;
  std::size_t front_ = 0;
  std::size_t size_ = 0;
};

}  // namespace velnora
