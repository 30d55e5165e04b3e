#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "core/base/cwa_error.hpp"
#include "core/columns/data_result.hpp"
#include "core/format/channels.hpp"
#include "core/format/data_block.hpp"
#include "core/io/memory_limit.hpp"
#include "core/resample/interpolation.hpp"
#include "core/resample/sample_queue.hpp"

namespace velnora {

// Grid points on their way into the output columns. Written straight into
// thirteen columns, one value each per point, the stores scatter over as many
// streams of fresh memory and stall on them; gathered here column by column,
// a few hundred rows at a time, they reach each column as one sequential
// copy, as a block's samples do on the direct path.
class OutputRows {
 public:
  // Small enough that the stage stays in the first-level cache.
  static constexpr std::size_t capacity = 256;

  std::size_t size() const { return count_; }

  // Stages row `row` at grid time `time` (seconds); rows are staged in order
  // from size(), below capacity, and count once resize() is told how many
  // there are. A producer keeps its count in a register meanwhile. Only the
  // first `live_quads` quads are stored; see expect_loud_third_quad. No
  // errors, no allocation.
  template <std::size_t live_quads>
  void put(std::size_t row, double time, const PointValues& values) {
    times_[row] = time;
    for (std::size_t q = 0; q < live_quads; ++q) quads_[q][row] = values.quads[q];
  }
  void resize(std::size_t rows) { count_ = rows; }

  // Rows staged from now until the next flush may have a third quad that is
  // not +0.0. Until this is called, a row's third quad is +0.0 by the
  // producer's word and is neither stored nor looked at; from then on, the
  // rows already staged have theirs written, and every row must store its
  // own (third_quad_stored).
  void expect_loud_third_quad() {
    if (third_quad_loud_) return;
    third_quad_loud_ = true;
    std::fill_n(quads_[channel_quads - 1].begin(), count_, FloatQuad{});
  }
  bool third_quad_stored() const { return third_quad_loud_; }

  // Appends the staged rows to the present columns of `output` and empties
  // the stage. Errors: OutOfMemory when a column cannot grow; the output must
  // then be discarded. Maps memory only past the columns' reservation.
  Result<void> flush_into(CwaDataResult& output);

 private:
  std::size_t count_ = 0;
  bool third_quad_loud_ = false;
  // Times stay float64 until the flush turns a whole run into timestamps.
  std::array<double, capacity> times_;
  std::array<std::array<FloatQuad, capacity>, channel_quads> quads_;
};

// One resampling run: samples go in block by block, in file order, and come out as
// points of a regular grid at `resample_hz` by four-point cubic interpolation,
// linear where the cubic cannot be used. Grid point k lies at
// ((k × (1000 / resample_hz)) + grid_origin_ms) / 1000 seconds. The time window
// [range_start_time, range_end_time) acts through the grid alone: it starts no
// earlier than the window and stops before the window's end. A grid that would
// outgrow the process's memory_limit() is refused as soon as a sample shows it.
class StreamingResampler {
 public:
  // A resampler with no samples yet, whose output has the columns `include`
  // asks for, with address space for `capacity_hint` points (no more than
  // the memory limit allows). Errors: those of check_time_window,
  // OutOfMemory. Reserves address space only.
  static Result<StreamingResampler> create(std::optional<double> range_start_time,
                                           std::optional<double> range_end_time, double resample_hz,
                                           IncludeFlags include, std::size_t capacity_hint);

  // Queues a block's samples in order, each with its microsecond timestamp
  // (`timestamps` and `samples` of equal length) and the block's readings, the
  // first sample of the run anchoring the grid; then produces the points they
  // allow, as emit_ready(false) does. Takes nothing once done() holds.
  // Errors: OutOfMemory, before any point is produced, when the grid up to the
  // block's latest sample would need more than the memory limit, naming the
  // points and bytes; OutOfMemory when the queue or an output column cannot
  // grow; Interrupted between runs of points. Allocates only when the queue is
  // full; maps memory only past the
  // output's reservation.
  Result<void> append_block(std::span<const std::int64_t> timestamps, std::span<const SampleData> samples,
                            const BlockReadings& readings);

  // Produces every grid point the queued samples allow. `final` is true for
  // the one call after the last sample: the points of the last segment, which
  // until then wait for a right neighbour, are then produced linearly.
  // Errors: OutOfMemory when an output column cannot grow, Interrupted between runs of
  // points. Maps memory only
  // past the output's reservation.
  Result<void> emit_ready(bool final);

  // Whether the grid has reached the window's end: no later sample can add a point.
  bool done() const { return done_; }

  // The queue's capacity, which only grows: the longest the queue has needed to be.
  std::size_t queue_capacity() const { return queue_.capacity(); }

  // The grid points produced; the resampler is spent. Errors: OutOfMemory
  // when an output column cannot grow. Maps memory only past the output's reservation.
  Result<CwaDataResult> take_output() &&;

 private:
  StreamingResampler(std::optional<double> range_start_time, std::optional<double> range_end_time,
                     double resample_hz, CwaDataResult output, MemoryLimit memory_limit,
                     std::uint64_t point_bytes)
      : range_start_time_(range_start_time),
        range_end_time_(range_end_time),
        step_ms_(1000.0 / resample_hz),
        output_(std::move(output)),
        memory_limit_(memory_limit),
        point_bytes_(point_bytes) {}

  void anchor_grid(double first_time);
  Result<void> check_grid_size(std::span<const std::int64_t> timestamps);
  Result<void> emit(bool final);
  bool produce_run(bool final);
  template <std::size_t live_quads>
  bool produce_run_split(bool final);
  template <std::size_t live_quads>
  bool produce_run_wide(bool final);
  template <class Quad, std::size_t live_quads>
  bool produce_points(bool final);
  void keep_from(std::size_t i, double t);

  std::optional<double> range_start_time_;
  std::optional<double> range_end_time_;
  double step_ms_;
  std::optional<double> grid_origin_ms_;
  double next_time_ = 0.0;  // the time of grid point emitted_ once the grid is anchored
  SampleQueue queue_;
  CwaDataResult output_;
  OutputRows rows_;
  std::size_t cursor_ = 0;
  std::uint64_t emitted_ = 0;
  std::uint64_t queued_total_ = 0;  // samples ever queued
  std::uint64_t loud_end_ = 0;      // queued_total_ after the last block whose third quad is not all +0.0
  bool done_ = false;
  MemoryLimit memory_limit_;
  std::uint64_t point_bytes_;  // a timestamp and the included channels
  // The time of the first grid point past the memory limit, once anchored.
  double first_unaffordable_time_ = std::numeric_limits<double>::infinity();
};

}  // namespace velnora
