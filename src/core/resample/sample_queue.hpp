#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/base/cwa_error.hpp"
#include "core/base/wide_vectors.hpp"
#include "core/format/channels.hpp"
#include "core/format/data_block.hpp"

namespace velnora {

// The values a grid point interpolates, one lane per channel (Channel::lane),
// four lanes to a quad.
inline constexpr std::size_t channel_quads = channel_count / 4;

// One input sample's values waiting in the resampler's queue: its sample's
// channels and its block's temperature, light and battery readings. The
// float32 values are widened to float64, an exact step, once on arrival:
// interpolation computes in float64, and a sample takes part in about four
// grid points when the rates are alike. Each quad starts on a 32-byte
// boundary.
struct SampleValues {
  alignas(32) std::array<double, channel_count> values;
};

// Queue slots for new samples: their values and, apart, their times in
// seconds since the epoch, so that the four times around a grid point lie
// side by side.
struct QueueSlots {
  std::span<SampleValues> values;
  std::span<double> times;
};

// Writes a block's samples, each with its microsecond timestamp and the
// block's readings, into queue slots (`slots`, `timestamps` and `samples` of
// equal length). Returns whether the third quad, the last gyroscope axis and
// the magnetometer, is +0.0 in every sample (by its bits: -0.0 still has to
// be interpolated). An absent magnetometer is 0.0 in SampleData already. No
// errors, no allocation. Takes 256-bit conversions where the processor has
// AVX2.
bool set_timed_samples(const QueueSlots& slots, std::span<const std::int64_t> timestamps,
                       std::span<const SampleData> samples, const BlockReadings& readings);

// The two ways set_timed_samples works, with the same results: a pair of
// values at a time, and, on x86-64 processors with AVX2 only, a quad.
bool set_timed_samples_in_pairs(const QueueSlots& slots, std::span<const std::int64_t> timestamps,
                                std::span<const SampleData> samples, const BlockReadings& readings);
#if defined(VELNORA_WIDE_VECTORS)
bool set_timed_samples_in_quads(const QueueSlots& slots, std::span<const std::int64_t> timestamps,
                                std::span<const SampleData> samples, const BlockReadings& readings);
#endif

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

  // The queued samples' values and times, oldest first. Valid until the next
  // add_slots.
  std::span<const SampleValues> values() const { return {values_.get() + front_, size_}; }
  std::span<const double> times() const { return {times_.get() + front_, size_}; }

  // Adds `count` slots at the back for the caller to fill. Errors: Io when
  // the buffer cannot grow, the queue then unchanged. Allocates only when the
  // buffer lacks room even after the samples removed since it last moved.
  Result<QueueSlots> add_slots(std::size_t count) {
    if (count > capacity_ - front_ - size_) [[unlikely]] {
      auto room = make_room(count);
      if (!room) return fail(room.error());
    }
    const std::size_t first = front_ + size_;
    size_ += count;
    return QueueSlots{{values_.get() + first, count}, {times_.get() + first, count}};
  }

  // Removes the `count` oldest samples; count must not exceed size(). No
  // errors, no allocation.
  void drop_front(std::size_t count) {
    front_ += count;
    size_ -= count;
  }

 private:
  Result<void> make_room(std::size_t count);

  std::unique_ptr<SampleValues[]> values_;
  std::unique_ptr<double[]> times_;
  std::size_t capacity_ = 0;
  std::size_t front_ = 0;
  std::size_t size_ = 0;
};

}  // namespace velnora
