#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "core/base/cwa_error.hpp"
#include "core/resample/timed_sample.hpp"

namespace velnora {

// First-in first-out queue of samples, kept in one contiguous run so that the
// four samples around a grid point are neighbours in memory. Removing from the
// front only moves a start index; adding at the back of a full buffer first
// moves the samples still queued to its start, or doubles it when that does
// not make room enough. The resampler keeps the queue to about a block's length, so after
// the first few blocks it never allocates again, and what it moves is the few
// samples left over from the previous block.
class SampleQueue {
 public:
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }

  // The queued samples, oldest first. Valid until the next add_slots.
  std::span<const TimedSample> samples() const { return {slots_.get() + front_, size_}; }

  // Adds `count` slots at the back for the caller to fill. Errors: Io when
  // the buffer cannot grow, the queue then unchanged. Allocates only when the
  // buffer lacks room even after the samples removed since it last moved.
  Result<std::span<TimedSample>> add_slots(std::size_t count) {
    if (count > capacity_ - front_ - size_) [[unlikely]] {
      auto room = make_room(count);
      if (!room) return fail(room.error());
    }
    const std::span<TimedSample> added(slots_.get() + front_ + size_, count);
    size_ += count;
    return added;
  }

  // Removes the `count` oldest samples; count must not exceed size(). No
  // errors, no allocation.
  void drop_front(std::size_t count) {
    front_ += count;
    size_ -= count;
  }

 private:
  Result<void> make_room(std::size_t count);

  std::unique_ptr<TimedSample[]> slots_;
  std::size_t capacity_ = 0;
  std::size_t front_ = 0;
  std::size_t size_ = 0;
};

}  // namespace velnora
