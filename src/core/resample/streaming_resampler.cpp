#include "core/resample/streaming_resampler.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "core/base/interruption.hpp"
#include "core/base/numeric.hpp"
#include "core/base/wide_numeric.hpp"
#include "core/base/wide_vectors.hpp"
#include "core/read/direct_read.hpp"
#include "core/resample/interpolation.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace velnora {

namespace {

// Where the four lanes of a quad go; null where a column is not wanted.
using LaneColumns = std::array<float*, 4>;

// Splits the staged quads of `rows` rows into their four lanes' columns (null:
// not wanted), four rows at a time by a transposition in registers.
void split_lanes(const std::array<FloatQuad, OutputRows::capacity>& quads, std::size_t rows,
                 const LaneColumns& lanes) {
  std::size_t r = 0;
#if defined(__SSE2__)
  for (; r + 4 <= rows; r += 4) {
    __m128 rows0 = quads[r], rows1 = quads[r + 1], rows2 = quads[r + 2], rows3 = quads[r + 3];
    _MM_TRANSPOSE4_PS(rows0, rows1, rows2, rows3);
    const __m128 by_lane[4] = {rows0, rows1, rows2, rows3};
    for (std::size_t lane = 0; lane < 4; ++lane) {
      if (lanes[lane]) _mm_storeu_ps(lanes[lane] + r, by_lane[lane]);
    }
  }
#endif
  for (; r < rows; ++r) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      if (lanes[lane]) lanes[lane][r] = quads[r][lane];
    }
  }
}

// Which of the four lanes are +0.0 (all bits clear) in every staged row. The
// bits of all rows are folded without an early exit, which a quad with one
// live and one zero lane (light, battery and a 3-axis gyroscope) would never
// take, and in four chains, so that the folding runs at the speed of loads.
std::array<bool, 4> zero_lanes(const std::array<FloatQuad, OutputRows::capacity>& quads, std::size_t rows) {
  using QuadBits = std::uint32_t __attribute__((vector_size(16)));
  std::array<QuadBits, 4> chains{};
  std::size_t r = 0;
  for (; r + 4 <= rows; r += 4) {
    for (std::size_t c = 0; c < 4; ++c) chains[c] |= std::bit_cast<QuadBits>(quads[r + c]);
  }
  for (; r < rows; ++r) chains[0] |= std::bit_cast<QuadBits>(quads[r]);
  const QuadBits bits = (chains[0] | chains[1]) | (chains[2] | chains[3]);
  return {bits[0] == 0, bits[1] == 0, bits[2] == 0, bits[3] == 0};
}

using StagedTimes = std::array<double, OutputRows::capacity>;

void store_timestamps_one_by_one(const StagedTimes& times, std::size_t from, std::size_t rows,
                                 std::int64_t* timestamps) {
  for (std::size_t r = from; r < rows; ++r) timestamps[r] = truncated_us(times[r]);
}

#if defined(VELNORA_WIDE_VECTORS)
[[gnu::target("avx2")]] void store_timestamps_in_vectors(const StagedTimes& times, std::size_t rows,
                                                         std::int64_t* timestamps) {
  std::size_t r = 0;
  for (; r + 4 <= rows; r += 4) {
    if (!truncated_us_x4(_mm256_loadu_pd(&times[r]), timestamps + r)) break;
  }
  store_timestamps_one_by_one(times, r, rows, timestamps);
}
#endif

void store_timestamps(const StagedTimes& times, std::size_t rows, std::int64_t* timestamps) {
#if defined(VELNORA_WIDE_VECTORS)
  if (wide_vectors_available()) return store_timestamps_in_vectors(times, rows, timestamps);
#endif
  store_timestamps_one_by_one(times, 0, rows, timestamps);
}

}  // namespace

template <std::size_t live_quads>
void OutputRows::store_into(const RowDestination& to, std::size_t offset, std::size_t rows) const {
  store_timestamps(times_, rows, to.timestamps + offset);
  for (std::size_t q = 0; q < live_quads; ++q) {
    const std::array<bool, 4> zeros = zero_lanes(quads_[q], rows);
    LaneColumns lanes{};
    for (std::size_t lane = 0; lane < 4; ++lane) {
      if (to.lanes[q][lane] != nullptr && !zeros[lane]) lanes[lane] = to.lanes[q][lane] + offset;
    }
    if (std::ranges::any_of(lanes, [](const float* lane) { return lane != nullptr; }))
      split_lanes(quads_[q], rows, lanes);
  }
}

RowDestination rows_at(CwaDataResult& output, std::size_t first_row) {
  RowDestination to{output.timestamp.data() + first_row, {}};
  for (std::size_t c = 0; c < channel_count; ++c) {
    std::optional<Column<float>>& column = output.columns[c];
    to.lanes[channels[c].lane / 4][channels[c].lane % 4] = column ? column->data() + first_row : nullptr;
  }
  return to;
}

namespace {

// The rows every present column of `output` holds without moving.
std::uint64_t row_capacity(CwaDataResult& output) {
  std::size_t rows = SIZE_MAX;
  output.for_each_column([&](std::string_view, const auto& column) {
    rows = std::min(rows, column.capacity());
    return true;
  });
  return rows;
}

}  // namespace

Result<void> add_zero_rows(CwaDataResult& output, std::size_t rows) {
  if (auto added = output.timestamp.extend_zeroed(rows); !added) return fail(added.error());
  for (std::optional<Column<float>>& column : output.columns) {
    if (!column) continue;
    if (auto added = column->extend_zeroed(rows); !added) return fail(added.error());
  }
  return {};
}

namespace {

// The helpers of the emission loop are forced inline: the loop is compiled
// once per quad form, and the AVX2 version must carry its own copy.

// Each time from k directly: adding a step to the previous time would let
// rounding errors accumulate along a week of grid points.
[[gnu::always_inline]] inline double grid_time(std::uint64_t k, double step_ms, double origin_ms) {
  // Through int64, which converts in one instruction: k stays far below 2^63,
  // as a grid that large is refused for memory long before.
  return (static_cast<double>(static_cast<std::int64_t>(k)) * step_ms + origin_ms) / 1000.0;
}

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

// The number of grid points no later than t: the k from 0 up whose
// grid_time(k) <= t, none when point 0 is later or NaN. The division puts the
// estimate within a point or two; the grid's own times settle it, so the count
// is that of the points the grid would produce.
std::uint64_t points_through(double t, double step_ms, double origin_ms) {
  if (!(grid_time(0, step_ms, origin_ms) <= t)) return 0;
  const double estimate = std::floor((t * 1000.0 - origin_ms) / step_ms);
  std::uint64_t k = estimate > 0.0 ? static_cast<std::uint64_t>(std::min(estimate, 0x1p62)) : 0;
  while (k > 0 && !(grid_time(k, step_ms, origin_ms) <= t)) --k;
  while (grid_time(k + 1, step_ms, origin_ms) <= t) ++k;
  return k + 1;
}

// The fewest points whose bytes exceed `limit`, compared as check_grid_size
// compares them. The integer quotient is within a few points of it.
std::uint64_t unaffordable_points(std::uint64_t limit, std::uint64_t point_bytes) {
  const auto exceeds = [&](std::uint64_t points) {
    return static_cast<double>(points) * static_cast<double>(point_bytes) > static_cast<double>(limit);
  };
  std::uint64_t points = limit / point_bytes + 1;
  while (!exceeds(points)) ++points;
  while (points > 1 && exceeds(points - 1)) --points;
  return points;
}

// The latest of a block's timestamps, which need not be in order in a
// hostile file; in four chains, as one chain of maxima would wait on itself.
std::int64_t latest_timestamp(std::span<const std::int64_t> timestamps) {
  std::array<std::int64_t, 4> chains;
  chains.fill(std::numeric_limits<std::int64_t>::min());
  std::size_t i = 0;
  for (; i + 4 <= timestamps.size(); i += 4) {
    for (std::size_t c = 0; c < 4; ++c) chains[c] = std::max(chains[c], timestamps[i + c]);
  }
  for (; i < timestamps.size(); ++i) chains[0] = std::max(chains[0], timestamps[i]);
  return std::ranges::max(chains);
}

// Bytes per grid point in the output: a timestamp and each included channel.
std::uint64_t point_bytes(IncludeFlags include) {
  std::uint64_t bytes = sizeof(std::int64_t);
  for (const Channel& channel : channels) {
    if (is_included(channel, include)) bytes += sizeof(float);
  }
  return bytes;
}

// "3.5 GiB", or MiB below one GiB.
std::string binary_size(double bytes) {
  const bool gib = bytes >= 0x1p30;
  char digits[64];
  const auto written = std::to_chars(digits, digits + sizeof digits, bytes / (gib ? 0x1p30 : 0x1p20),
                                     std::chars_format::fixed, 1);
  return std::string(digits, written.ptr) + (gib ? " GiB" : " MiB");
}

[[gnu::cold, gnu::noinline]] std::unexpected<CwaError> grid_too_large(std::uint64_t points, double bytes,
                                                                      const MemoryLimit& limit) {
  std::string text = "Resampling needs " + std::to_string(points) + " points (" + binary_size(bytes) + "), ";
  text += limit.address_space ? "more than this process's address-space limit ("
                              : "more than this machine's memory (";
  text += binary_size(static_cast<double>(limit.bytes)) + ")";
  return fail(CwaError::out_of_memory(std::move(text)));
}

}  // namespace

Result<StreamingResampler> StreamingResampler::create(std::optional<double> range_start_time,
                                                      std::optional<double> range_end_time,
                                                      double resample_hz, IncludeFlags include,
                                                      std::size_t capacity_hint) {
  if (auto window = check_time_window(range_start_time, range_end_time); !window) return fail(window.error());
  const MemoryLimit limit = memory_limit();
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
  if (!third_quiet) loud_end_ = queued_total_;
  if (!grid_origin_ms_) anchor_grid(queue_.times().front());
  if (auto fits = check_grid_size(timestamps); !fits) return fits;
  return emit(false);
}

// Every point the grid will produce lies no later than the latest sample and
// before the window's end, so counting them to there bounds the whole result
// so far plus the gap the block opens. One gap in a hostile or misdated file
// can span decades: it is refused here, before a point of it is made. Most
// blocks end before the first point that would not fit, which one comparison
// shows; only past it are the points counted.
Result<void> StreamingResampler::check_grid_size(std::span<const std::int64_t> timestamps) {
  const double latest = seconds_from_us(latest_timestamp(timestamps));
  if (!(first_unaffordable_time_ <= latest)) return {};
  std::uint64_t points = points_through(latest, step_ms_, *grid_origin_ms_);
  if (range_end_time_) {
    const double last_before_end = std::nextafter(*range_end_time_, -std::numeric_limits<double>::infinity());
    points = std::min(points, points_through(last_before_end, step_ms_, *grid_origin_ms_));
  }
  const double bytes = static_cast<double>(points) * static_cast<double>(point_bytes_);
  if (bytes > static_cast<double>(memory_limit_.bytes)) return grid_too_large(points, bytes, memory_limit_);
  return {};
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
}

Result<void> StreamingResampler::emit_ready(bool final) { return emit(final); }

// Points are computed as soon as the samples allow, into the stage, which
// goes to the output whenever it is full. A gap in the recording can hold
// millions of points, so the stage may fill up many times within one block.
Result<void> StreamingResampler::emit(bool final) {
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

// Where walk_grid puts points: computed straight into the stage, the first `live_quads` quads in quads of
// type Quad.
template <class Quad, std::size_t live_quads>
struct StageSink {
  OutputRows& rows;
  std::size_t count;
  std::span<const SampleValues> values;
  std::span<const double> times;

  bool full() const { return count == OutputRows::capacity; }
  [[gnu::always_inline]] void take(double t, std::size_t i, bool cubic) {
    rows.put<live_quads>(count++, t, point_values<Quad, live_quads>(values, times, i, cubic, t));
  }
};

}  // namespace

// One function per form of the loop, each with the registers to itself.
template <class Quad, std::size_t live_quads>
[[gnu::always_inline]] inline bool StreamingResampler::produce_into_stage(bool final) {
  StageSink<Quad, live_quads> sink{rows_, staged_, queue_.values(), queue_.times()};
  const bool full = walk_grid(final, sink);
  staged_ = sink.count;
  return full;
}

template <std::size_t live_quads>
[[gnu::noinline]] bool StreamingResampler::produce_split(bool final) {
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
  const std::size_t live_quads = loud_end_ > front_index() ? channel_quads : channel_quads - 1;
  if (staged_ > 0 && live_quads != staged_quads_) return true;
  staged_quads_ = live_quads;
  const bool loud = live_quads == channel_quads;
#if defined(VELNORA_WIDE_VECTORS)
  if (wide_vectors_available())
    return loud ? produce_wide<channel_quads>(final) : produce_wide<channel_quads - 1>(final);
#endif
  return loud ? produce_split<channel_quads>(final) : produce_split<channel_quads - 1>(final);
}

// Writes the staged rows to new rows of the output, or a follower's to its
// lead's columns. Errors: OutOfMemory when an output column cannot grow, or
// when a follower's rows pass its lead's room.
Result<void> StreamingResampler::flush_stage() {
  const std::size_t rows = std::exchange(staged_, 0);
  if (rows == 0) return {};
  if (foreign_) return store_foreign(rows);
  const std::size_t first_row = output_.size();
  if (fence_ && first_row + rows > fence_->row) {
    const RowFence fence = *fence_;
    disown_rows(fence.release(fence.context));
  }
  if (auto added = add_zero_rows(output_, rows); !added) return added;
  const RowDestination to = rows_at(output_, first_row);
  if (staged_quads_ == channel_quads) {
    rows_.store_into<channel_quads>(to, 0, rows);
  } else {
    rows_.store_into<channel_quads - 1>(to, 0, rows);
  }
  return {};
}

// The staged rows are the last points emitted, and row k holds point k.
Result<void> StreamingResampler::store_foreign(std::size_t rows) {
  ForeignRows& to = *foreign_;
  if (!to.keeping) return {};
  const std::uint64_t first_row = emitted_ - rows;
  if (first_row + rows > to.limit) {
    to.overflowed = true;
    return fail(CwaError::io_errno(ENOMEM));
  }
  if (staged_quads_ == channel_quads) {
    rows_.store_into<channel_quads>(to.rows, first_row, rows);
  } else {
    rows_.store_into<channel_quads - 1>(to.rows, first_row, rows);
  }
  to.end = first_row + rows;
  return {};
}

Result<StreamingResampler> StreamingResampler::follow(StreamingResampler& lead, double from_time) {
  StreamingResampler follower(lead.range_start_time_, lead.range_end_time_, lead.step_ms_, CwaDataResult{},
                              lead.memory_limit_, lead.point_bytes_);
  follower.grid_origin_ms_ = lead.grid_origin_ms_;
  follower.first_unaffordable_time_ = lead.first_unaffordable_time_;
  // The first point not before from_time: those before it lie in segments
  // the follower does not have.
  const double before = std::nextafter(from_time, -std::numeric_limits<double>::infinity());
  follower.emitted_ = points_through(before, follower.step_ms_, *follower.grid_origin_ms_);
  follower.next_time_ = grid_time(follower.emitted_, follower.step_ms_, *follower.grid_origin_ms_);
  // The lead's room was estimated for the whole range; a gap before the
  // middle puts the later half's rows past it. Address space only, and no
  // more than the memory limit lets a grid have.
  const std::uint64_t rows = std::min(follower.emitted_ + row_capacity(lead.output_) / 2,
                                      lead.memory_limit_.bytes / lead.point_bytes_);
  const bool reserved = lead.output_.for_each_column(
      [&](std::string_view, auto& column) { return column.reserve(rows).has_value(); });
  if (!reserved) return fail(CwaError::io_errno(ENOMEM));
  follower.foreign_ = ForeignRows{.rows = rows_at(lead.output_, 0), .limit = row_capacity(lead.output_)};
  return follower;
}

std::optional<SeamState> StreamingResampler::begin_rows() {
  staged_ = 0;
  foreign_->keeping = true;
  foreign_->end = emitted_;
  const std::uint64_t needed = queued_total_ - needed_from_;
  if (done_ || needed > SeamState::max_needed) return std::nullopt;
  SeamState seam;
  seam.emitted = emitted_;
  seam.cursor = front_index() + cursor_;
  seam.needed_from = needed_from_;
  seam.queued = queued_total_;
  seam.needed = static_cast<std::size_t>(needed);
  const std::size_t first = needed_from_ - front_index();
  std::ranges::copy(queue_.values().subspan(first, seam.needed), seam.values.begin());
  std::ranges::copy(queue_.times().subspan(first, seam.needed), seam.times.begin());
  return seam;
}

// Later points depend on the grid, which the two share, on the next point,
// the segment reached and the first sample still needed, and on the samples
// from there on, which are the same samples of the same blocks if they
// compare equal; the samples before them are never read again.
bool StreamingResampler::continues_as(const SeamState& seam) const {
  if (done_ || queued_total_ < seam.queued) return false;
  const std::uint64_t base = queued_total_ - seam.queued;
  if (emitted_ != seam.emitted || needed_from_ != base + seam.needed_from ||
      front_index() + cursor_ != base + seam.cursor || queued_total_ - needed_from_ != seam.needed)
    return false;
  const std::size_t first = needed_from_ - front_index();
  const auto values = queue_.values().subspan(first, seam.needed);
  const auto times = queue_.times().subspan(first, seam.needed);
  return std::memcmp(values.data(), seam.values.data(), values.size_bytes()) == 0 &&
         std::memcmp(times.data(), seam.times.data(), times.size_bytes()) == 0;
}

Result<void> StreamingResampler::adopt_rows(std::uint64_t end) {
  fence_.reset();
  if (auto flushed = flush_stage(); !flushed) return flushed;
  const std::size_t rows = end - std::min<std::uint64_t>(end, output_.size());
  const bool grown = output_.for_each_column(
      [&](std::string_view, auto& column) { return column.extend(rows).has_value(); });
  if (!grown) return fail(CwaError::io_errno(ENOMEM));
  return {};
}

void StreamingResampler::disown_rows(std::uint64_t end) {
  fence_.reset();
  output_.for_each_column([&](std::string_view, auto& column) {
    column.mark_written(end);
    return true;
  });
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
