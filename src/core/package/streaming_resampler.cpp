#include "core/package/streaming_resampler.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/package/interpolation.hpp"
#include "core/package/time_window.hpp"

// The helpers of the emission loop are declared inline so that the loop can
// fold them in: as plain members of a shared object they could be interposed,
// and the compiler would call each through the PLT.

namespace velnora {

Result<StreamingResampler> StreamingResampler::create(std::optional<double> range_start_time,
                                                      std::optional<double> range_end_time,
                                                      double resample_hz, IncludeFlags include,
                                                      std::size_t capacity_hint) {
  if (auto window = check_time_window(range_start_time, range_end_time); !window) return fail(window.error());
  auto output = CwaDataResult::create(include, capacity_hint);
  if (!output) return fail(std::move(output.error()));
  return StreamingResampler(range_start_time, range_end_time, resample_hz, std::move(*output));
}

// Each time from k directly: adding a step to the previous time would let
// rounding errors accumulate along a week of grid points.
inline double StreamingResampler::grid_time(std::uint64_t k) const {
  return (static_cast<double>(k) * step_ms_ + *grid_origin_ms_) / 1000.0;
}

// The whole block is queued before its points are produced. Which points
// come out, and how, does not depend on how many samples have arrived when
// emission runs: a point is only ever produced from the samples around its
// own segment, the same whether they came one call or many calls ago. One
// pass per block saves the failed attempt that would otherwise follow every
// sample. The queue then also holds the block's samples not yet passed.
Result<void> StreamingResampler::append_block(std::span<const std::int64_t> timestamps,
                                              std::span<const SampleData> samples,
                                              const BlockReadings& readings) {
  if (done_ || samples.empty()) return {};
  for (std::size_t k = 0; k < samples.size(); ++k) {
    auto slot = queue_.add_slot();
    if (!slot) return fail(slot.error());
    set_timed_sample(**slot, timestamps[k], samples[k], readings);
  }
  if (!grid_origin_ms_) anchor_grid(queue_[0].time);
  return emit(false);
}

// The grid starts at the first sample, or at the window's start when that is
// later. From the first sample, s × 1000 / 1000 falls below s for about one
// start time in a hundred; point 0 would then lie before every sample and
// never be produced, and with it no later point. The origin is raised by as
// many ulps as it takes for point 0 to reach s.
void StreamingResampler::anchor_grid(double first_time) {
  if (range_start_time_ && *range_start_time_ > first_time) {
    grid_origin_ms_ = *range_start_time_ * 1000.0;
  } else {
    double origin_ms = first_time * 1000.0;
    while (origin_ms / 1000.0 < first_time) {
      origin_ms = std::nextafter(origin_ms, std::numeric_limits<double>::infinity());
    }
    grid_origin_ms_ = origin_ms;
  }
  emitted_ = 0;
  next_time_ = grid_time(0);
}

Result<void> StreamingResampler::emit_ready(bool final) { return emit(final); }

// Points go to the stage in runs that call nothing outside this file, so that
// the loop's state can stay in registers; the stage is emptied between runs.
inline Result<void> StreamingResampler::emit(bool final) {
  if (!grid_origin_ms_) return {};
  while (produce_run(final)) {
    if (auto flushed = rows_.flush_into(output_); !flushed) return flushed;
  }
  return {};
}

// Produces grid points until one has to wait for input, the grid reaches the
// window's end, or the stage is full; true for the last.
inline bool StreamingResampler::produce_run(bool final) {
  for (;;) {
    const double t = next_time_;
    if (range_end_time_ && t >= *range_end_time_) {
      done_ = true;
      return false;
    }
    const std::size_t i = find_segment(t);
    // A cubic inside the recording needs the sample after the segment; until
    // it arrives the point waits, unless the input has ended.
    const bool needs_next = i >= 1 && i + 2 >= queue_.size() && !final;
    if (!holds(i, t) || needs_next) {
      wait(i, t);
      return false;
    }
    // Tried again after the flush: the search finds the same segment.
    if (rows_.full()) return true;
    produce(i, t);
    ++emitted_;
    next_time_ = grid_time(emitted_);
    // Only the sample before the current segment is still needed behind it.
    if (cursor_ >= 2) {
      queue_.drop_front(cursor_ - 1);
      cursor_ = 1;
    }
  }
}

// The segment [i, i + 1] that holds t, searched forward from the last one.
// Also moves the cursor there.
inline std::size_t StreamingResampler::find_segment(double t) {
  const std::size_t n = queue_.size();
  std::size_t j = cursor_ + 1;
  while (j < n && t > queue_[j].time) ++j;
  cursor_ = j < n ? j - 1 : std::max(n, cursor_ + 1) - 1;
  return cursor_;
}

// Written so that a NaN time fails.
inline bool StreamingResampler::holds(std::size_t i, double t) const {
  const std::size_t n = queue_.size();
  return n >= 2 && i + 1 < n && t >= queue_[i].time && t <= queue_[i + 1].time;
}

inline void StreamingResampler::produce(std::size_t i, double t) {
  const TimedSample& b = queue_[i];
  const TimedSample& c = queue_[i + 1];
  PointValues values;
  // The first and the last segment have no outer neighbour: linear there.
  if (i == 0 || i + 2 >= queue_.size()) {
    values = interpolate(linear_weights(t, b.time, c.time), b, b, c, c);
  } else {
    const TimedSample& a = queue_[i - 1];
    const TimedSample& d = queue_[i + 2];
    values = interpolate(cubic_weights(t, a.time, b.time, c.time, d.time), a, b, c, d);
  }
  rows_.add(t, values);
}

inline void StreamingResampler::wait(std::size_t i, double t) {
  if (i >= 2) {
    queue_.drop_front(i - 1);
    cursor_ = 1;
  } else if (std::isnan(t)) {
    // A rate so small that its step overflows puts point 0 at NaN. It can
    // never be produced and, as the grid never moves on, no sample is ever
    // needed: the queue keeps only the newest instead of the whole recording.
    queue_.drop_front(queue_.size() - 1);
    cursor_ = 0;
  }
}

Result<CwaDataResult> StreamingResampler::take_output() && {
  if (auto flushed = rows_.flush_into(output_); !flushed) return fail(flushed.error());
  return std::move(output_);
}

}  // namespace velnora
