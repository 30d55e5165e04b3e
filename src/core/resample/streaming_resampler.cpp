#include "core/resample/streaming_resampler.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "core/base/interruption.hpp"
#include "core/base/numeric.hpp"
#include "core/base/wide_vectors.hpp"
#include "core/resample/grid.hpp"
#include "core/resample/interpolation.hpp"

namespace velnora {

namespace {

// The helpers of the emission loop are forced inline: the loop is compiled
// once per quad form, and the AVX2 version must carry its own copy.

// Moves segment [i, i + 1] forward until its end is the first sample not
// before t, or to the last sample when all are before t. A run always has a
// sample queued.
[[gnu::always_inline]] inline std::size_t segment_index(std::span<const double> times, std::size_t i,
                                                        double t) {
  const std::size_t last = times.size() - 1;
  while (i < last && t > times[i + 1]) ++i;
  return i;
}

// Whether segment i exists and holds t; written so that a NaN time fails.
[[gnu::always_inline]] inline bool holds(std::span<const double> times, std::size_t i, double t) {
  return i + 1 < times.size() && t >= times[i] && t <= times[i + 1];
}

// The values at t in segment i: cubic, or linear where the segment has no
// outer neighbour.
template <class Quad, std::size_t live_quads>
[[gnu::always_inline]] inline PointValues point_values(std::span<const SampleValues> values,
                                                       std::span<const double> times, std::size_t i,
                                                       bool cubic, double t) {
  const SampleValues& b = values[i];
  const SampleValues& c = values[i + 1];
  if (!cubic)
    return interpolate<Quad, live_quads>(linear_weights<Quad>(t, times[i], times[i + 1]), b, b, c, c);
  return interpolate<Quad, live_quads>(cubic_weights<Quad>(t, Quad::load(&times[i - 1])), values[i - 1], b, c,
                                       values[i + 2]);
}

}  // namespace

Result<StreamingResampler> StreamingResampler::create(std::optional<double> range_start_time,
                                                      std::optional<double> range_end_time,
                                                      double resample_hz, IncludeFlags include,
                                                      std::size_t capacity_hint) {
  const MemoryLimit limit = memory_room();
  const std::uint64_t bytes = point_bytes(include);
  // Room past the memory limit would never be used: such a grid is refused.
  const std::size_t capacity = std::min<std::uint64_t>(capacity_hint, limit.bytes / bytes);
  auto output = CwaDataResult::create(include, capacity);
  if (!output) return fail(std::move(output.error()));
  return StreamingResampler(range_start_time, range_end_time, 1000.0 / resample_hz, std::move(*output), limit,
                            bytes);
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
  auto slots = queue_.add_slots(samples.size());
  if (!slots) return fail(slots.error());
  const bool third_quiet = set_timed_samples(*slots, timestamps, samples, readings);
  queued_total_ += samples.size();
  if (!third_quiet) third_quad_zero_from_ = queued_total_;
  if (!grid_origin_ms_) anchor_grid(queue_.times().front());
  if (auto fits = check_grid_size(timestamps); !fits) return fits;
  return emit_ready(false);
}

// Every point the grid will produce lies no later than the latest sample and
// before the window's end, so counting them to there bounds the whole result
// so far plus the gap the block opens. One gap in a hostile or misdated file
// can span decades: it is refused here, before a point of it is made. Most
// blocks end before the first point that would not fit or find no room,
// which one comparison shows; only past it are the points counted.
Result<void> StreamingResampler::check_grid_size(std::span<const std::int64_t> timestamps) {
  const double latest = seconds_from_us(latest_timestamp(timestamps));
  if (!(std::min(first_unaffordable_time_, first_unreserved_time_) <= latest)) return {};
  std::uint64_t points = points_through(latest, step_ms_, *grid_origin_ms_);
  if (range_end_time_) {
    const double last_before_end = std::nextafter(*range_end_time_, -std::numeric_limits<double>::infinity());
    points = std::min(points, points_through(last_before_end, step_ms_, *grid_origin_ms_));
  }
  const double bytes = static_cast<double>(points) * static_cast<double>(point_bytes_);
  if (bytes > static_cast<double>(memory_limit_.bytes)) return grid_too_large(points, bytes, memory_limit_);
  if (follower_rows_ != nullptr) return {};
  if (reserve_rows(points)) return {};
  return grid_too_large(points, bytes, memory_limit_);
}

// Every column gets room for `points` rows before one of them is made, so
// that no column fails to grow seconds into the work: a grid the process
// cannot map is refused here, with the grid's own message. Room grows by
// doubling where the limit allows, so that a short estimate costs a few
// reservations, not one per block. A follower writing into the columns is
// stopped first, as they may move. False when the room cannot be had.
bool StreamingResampler::reserve_rows(std::uint64_t points) {
  const std::uint64_t capacity = row_capacity(output_);
  if (points > capacity) {
    if (borrower_ != nullptr) take_back_lent_rows();
    const std::uint64_t affordable = unaffordable_points(memory_limit_.bytes, point_bytes_) - 1;
    const std::uint64_t doubled = std::max(points, std::min(2 * capacity, affordable));
    const auto reserve_all = [&](std::uint64_t rows) {
      return output_.for_each_column(
          [&](std::string_view, auto& column) { return column.reserve(rows).has_value(); });
    };
    if (!reserve_all(doubled) && !reserve_all(points)) return false;
  }
  first_unreserved_time_ = grid_time(row_capacity(output_), step_ms_, *grid_origin_ms_);
  return true;
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
  next_time_ = grid_time(0, step_ms_, *grid_origin_ms_);
  // The grid is monotonic, so a block that ends before this point holds
  // fewer points than the limit allows.
  const std::uint64_t unaffordable = unaffordable_points(memory_limit_.bytes, point_bytes_);
  first_unaffordable_time_ = grid_time(unaffordable - 1, step_ms_, *grid_origin_ms_);
  first_unreserved_time_ = grid_time(row_capacity(output_), step_ms_, *grid_origin_ms_);
}

// Points are computed as soon as the samples allow, into the stage, which
// goes to the output whenever it is full. A gap in the recording can hold
// millions of points, so the stage may fill up many times within one block.
Result<void> StreamingResampler::emit_ready(bool final) {
  if (!grid_origin_ms_) return {};
  while (produce_points(final)) {
    if (auto flushed = flush_stage(); !flushed) return flushed;
    if (auto going_on = interruption_point(); !going_on) return going_on;
  }
  drop_unneeded();
  return {};
}

// Walks the grid from the next point until one has to wait for input, the
// grid reaches the window's end, or `sink` is full; true for the last. Each
// point goes to the sink with its segment and form. The queue may still
// hold samples before needed_from_, dropped once the emission ends: to the
// rules below, the queue starts at needed_from_. The first and the last segment have no
// outer neighbour, and a cubic inside the recording needs the sample after
// the segment, for which a point waits unless the input has ended. The loop
// keeps its state in locals and stores it back once.
template <class Sink>
[[gnu::always_inline]] inline bool StreamingResampler::walk_grid(bool final, Sink& sink) {
  const std::span<const double> times = queue_.times();
  const std::size_t first = needed_from_ - front_index();
  // Without a window end, NaN: a comparison that never holds.
  const double end = range_end_time_.value_or(std::numeric_limits<double>::quiet_NaN());
  const double step_ms = step_ms_;
  const double origin_ms = *grid_origin_ms_;
  std::size_t i = cursor_;
  std::uint64_t k = emitted_;
  double t = next_time_;
  // The time after t is computed a point ahead: its division then runs
  // while the current point is taken, instead of delaying the next.
  double t_after = grid_time(k + 1, step_ms, origin_ms);
  bool full = false;
  for (;;) {
    if (t >= end) {
      done_ = true;
      break;
    }
    i = segment_index(times, i, t);
    const bool needs_next = i > first && i + 2 >= times.size() && !final;
    if (!holds(times, i, t) || needs_next) break;
    if (sink.full()) {
      full = true;
      break;
    }
    sink.take(t, i, i > first && i + 2 < times.size());
    ++k;
    t = t_after;
    t_after = grid_time(k + 1, step_ms, origin_ms);
  }
  emitted_ = k;
  next_time_ = t;
  keep_from(i, t, first);
  return full;
}

namespace {

// Where walk_grid puts points: computed straight into the stage, the first
// `live_quads` quads in quads of type Quad.
template <class Quad, std::size_t live_quads>
struct StageSink {
  OutputStage& stage;
  std::size_t count;
  std::span<const SampleValues> values;
  std::span<const double> times;

  bool full() const { return count == OutputStage::capacity; }
  [[gnu::always_inline]] void take(double t, std::size_t i, bool cubic) {
    stage.put<live_quads>(count++, t, point_values<Quad, live_quads>(values, times, i, cubic, t));
  }
};

}  // namespace

// One function per form of the loop, each with the registers to itself.
template <class Quad, std::size_t live_quads>
[[gnu::always_inline]] inline bool StreamingResampler::produce_into_stage(bool final) {
  StageSink<Quad, live_quads> sink{stage_, staged_, queue_.values(), queue_.times()};
  const bool full = walk_grid(final, sink);
  staged_ = sink.count;
  return full;
}

template <std::size_t live_quads>
[[gnu::noinline]] bool StreamingResampler::produce_in_halves(bool final) {
  return produce_into_stage<SplitQuad, live_quads>(final);
}

#if defined(VELNORA_WIDE_VECTORS)
template <std::size_t live_quads>
[[gnu::target("avx2"), gnu::noinline]] bool StreamingResampler::produce_wide(bool final) {
  return produce_into_stage<WideQuad, live_quads>(final);
}
#endif

// Computes points into the stage until it is full (true) or walk_grid stops.
// In 256-bit vectors where the processor has them. The third quad, the last
// gyroscope axis and the magnetometer, is +0.0 throughout 3-axis data: while
// no queued sample has it otherwise, it is neither computed nor stored. A
// stage holds rows of one kind only, so it counts as full when the kind
// changes.
bool StreamingResampler::produce_points(bool final) {
  const std::size_t live_quads = third_quad_zero_from_ > front_index() ? channel_quads : channel_quads - 1;
  if (staged_ > 0 && live_quads != staged_quads_) return true;
  staged_quads_ = live_quads;
  const bool third_quad_live = live_quads == channel_quads;
#if defined(VELNORA_WIDE_VECTORS)
  if (wide_vectors_available())
    return third_quad_live ? produce_wide<channel_quads>(final) : produce_wide<channel_quads - 1>(final);
#endif
  return third_quad_live ? produce_in_halves<channel_quads>(final)
                         : produce_in_halves<channel_quads - 1>(final);
}

// Writes the staged rows to new rows of the output, or a follower's to its
// lead's columns. Errors: OutOfMemory when an output column cannot grow, or
// when a follower's rows pass its lead's room.
Result<void> StreamingResampler::flush_stage() {
  const std::size_t rows = std::exchange(staged_, 0);
  if (rows == 0) return {};
  if (follower_rows_ != nullptr) return store_follower_rows(rows);
  const std::size_t first_row = output_.size();
  if (borrower_ != nullptr && first_row + rows > lent_from_) take_back_lent_rows();
  if (auto added = add_zero_rows(output_, rows); !added) return added;
  store_staged(rows_at(output_, first_row), 0, rows);
  return {};
}

// The staged rows, of the form they were produced in, into rows
// [offset, offset + rows) of `to`.
void StreamingResampler::store_staged(const RowDestination& to, std::size_t offset, std::size_t rows) const {
  if (staged_quads_ == channel_quads) {
    stage_.store_into<channel_quads>(to, offset, rows);
  } else {
    stage_.store_into<channel_quads - 1>(to, offset, rows);
  }
}

// Lets go of the samples that no grid point from t on can need: those before
// the sample ahead of segment i, the segment of t or one before it.
void StreamingResampler::keep_from(std::size_t i, double t, std::size_t first) {
  const std::uint64_t front = front_index();
  if (i >= first + 2) {
    needed_from_ = front + i - 1;
  } else if (std::isnan(t)) {
    // A rate so small that its step overflows puts point 0 at NaN. It can
    // never be produced and, as the grid never moves on, no sample is ever
    // needed: the queue keeps only the newest instead of the whole recording.
    needed_from_ = front + queue_.size() - 1;
    i = queue_.size() - 1;
  }
  cursor_ = i;
}

// Removes from the queue the samples no later point needs.
void StreamingResampler::drop_unneeded() {
  const std::size_t unneeded = needed_from_ - front_index();
  queue_.drop_front(unneeded);
  cursor_ -= unneeded;
}

Result<CwaDataResult> StreamingResampler::take_output() && {
  if (auto flushed = flush_stage(); !flushed) return fail(flushed.error());
  return std::move(output_);
}

}  // namespace velnora
