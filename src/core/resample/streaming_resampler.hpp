#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "core/base/cwa_error.hpp"
#include "core/base/wide_vectors.hpp"
#include "core/columns/data_result.hpp"
#include "core/format/channels.hpp"
#include "core/format/data_block.hpp"
#include "core/io/memory_limit.hpp"
#include "core/resample/interpolation.hpp"
#include "core/resample/sample_queue.hpp"

namespace velnora {

// Where rows of the output go: the first row's timestamp and, quad by quad,
// the first row's value in each lane's column (null where a column is not
// wanted). The addresses stay valid while the output moves, until a column
// grows.
struct RowDestination {
  std::int64_t* timestamps;
  std::array<std::array<float*, 4>, channel_quads> lanes;
};

// The destination of rows from `first_row` on in `output`'s columns.
RowDestination rows_at(CwaDataResult& output, std::size_t first_row);

// Grid points on their way into the output columns. Written straight into
// thirteen columns, one value each per point, the stores scatter over as many
// streams of fresh memory and stall on them; gathered here column by column,
// a few hundred rows at a time, they reach each column as one sequential
// copy, as a block's samples do on the direct path.
class OutputRows {
 public:
  // Small enough that the stage stays in the first-level cache.
  static constexpr std::size_t capacity = 256;

  // Stages row `row` (below capacity) at grid time `time` (seconds). Only
  // the first `live_quads` quads are stored: the others are +0.0 by the
  // producer's word. No errors, no allocation.
  template <std::size_t live_quads>
  void put(std::size_t row, double time, const PointValues& values) {
    times_[row] = time;
    for (std::size_t q = 0; q < live_quads; ++q) quads_[q][row] = values.quads[q];
  }

  // Writes the first `rows` staged rows to rows [offset, offset + rows) of
  // `to`, whose columns must hold them already as zeros (add_zero_rows). A
  // lane of zeros throughout the rows is not written, so that a channel of
  // zeros, such as the gyroscope of 3-axis data, never touches its column.
  // `live_quads` as put's. No errors, no allocation.
  template <std::size_t live_quads>
  void store_into(const RowDestination& to, std::size_t offset, std::size_t rows) const;

 private:
  // Times stay float64 until a whole run turns into timestamps.
  std::array<double, capacity> times_;
  std::array<std::array<FloatQuad, capacity>, channel_quads> quads_;
};

// Adds `rows` rows of zeros to every present column of `output`, without
// writing past the columns' high-water marks. Errors: OutOfMemory when a
// column cannot grow; the output must then be discarded.
Result<void> add_zero_rows(CwaDataResult& output, std::size_t rows);

// Where a follower stores its rows (StreamingResampler::follow): straight
// into its lead's columns, at their grid points' indices.
struct ForeignRows {
  RowDestination rows;      // row 0
  std::uint64_t limit;      // rows below this fit without the columns moving
  bool keeping = false;     // past the context: rows are stored
  bool overflowed = false;  // a row at or past limit came: the rows cannot serve
  std::uint64_t end = 0;    // one past the last row stored
};

// A follower's state once it has taken its context block, kept for its lead
// to compare with its own after the same block: counts of samples start at
// the block's first sample. The samples that later points may need are
// copied, when they are few, as the follower's queue moves on.
struct SeamState {
  static constexpr std::size_t max_needed = 8;
  std::uint64_t emitted;
  std::uint64_t cursor;
  std::uint64_t needed_from;
  std::uint64_t queued;
  std::size_t needed = 0;
  std::array<SampleValues, max_needed> values;
  std::array<double, max_needed> times;
};

// One resampling run: samples go in block by block, in file order, and come out as
// points of a regular grid at `resample_hz` by four-point cubic interpolation,
// linear where the cubic cannot be used. Grid point k lies at
// ((k × (1000 / resample_hz)) + grid_origin_ms) / 1000 seconds. The time window
// [range_start_time, range_end_time) acts through the grid alone: it starts no
// earlier than the window and stops before the window's end. A grid that would
// outgrow the process's memory_limit() is refused as soon as a sample shows it.
// A lead may move while its follower runs: the follower writes only to the
// lead's column mappings, which stay where they are.
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
  // Whether a sample has anchored the grid.
  bool anchored() const { return grid_origin_ms_.has_value(); }

  // The queue's capacity, which only grows: the longest the queue has needed to be.
  std::size_t queue_capacity() const { return queue_.capacity(); }

  // A run in two halves, each on its own thread. The follower takes the
  // later half on `lead`'s grid, starting with a context block whose first
  // sample lies at `from_time`: its points are dropped until begin_rows. It
  // stores its rows straight into lead's columns at their indices
  // (ForeignRows); its own output stays empty. Its rows are the lead's, bit
  // for bit, once the lead has taken the same context block and
  // continues_as() holds. The lead's grid must be anchored. Gives lead's
  // columns room for the follower's rows. Errors: OutOfMemory when they
  // cannot have it. Reserves address space only.
  static Result<StreamingResampler> follow(StreamingResampler& lead, double from_time);
  // Follower: points from here on are stored. The state the lead must reach,
  // or nothing when the state depends on more samples than a seam holds.
  std::optional<SeamState> begin_rows();
  const ForeignRows& foreign_rows() const { return *foreign_; }
  // Lead, after the context block: whether every later point comes out of
  // this run as it does out of the follower's.
  bool continues_as(const SeamState& seam) const;
  // Lead: rows from `row` on belong to another writer until release(context)
  // has stopped it, which the lead calls before writing there; release
  // returns the end of the rows the writer stored, which disown_rows then
  // takes back.
  using FenceRelease = std::uint64_t (*)(void* context);
  void fence_rows(std::uint64_t row, FenceRelease release, void* context) {
    fence_ = {row, release, context};
  }
  // Lead: the follower's rows [size(), end) become this run's, after its own
  // staged rows. Errors: OutOfMemory when a column cannot grow.
  Result<void> adopt_rows(std::uint64_t end);
  // Lead: rows written below `end` by a follower that did not serve are
  // overwritten as the run goes on.
  void disown_rows(std::uint64_t end);

  // The grid points produced; the resampler is spent. Errors: OutOfMemory
  // when an output column cannot grow. Maps memory only past the output's reservation.
  Result<CwaDataResult> take_output() &&;

 private:
  StreamingResampler(std::optional<double> range_start_time, std::optional<double> range_end_time,
                     double step_ms, CwaDataResult output, MemoryLimit memory_limit,
                     std::uint64_t point_bytes)
      : range_start_time_(range_start_time),
        range_end_time_(range_end_time),
        step_ms_(step_ms),
        output_(std::move(output)),
        memory_limit_(memory_limit),
        point_bytes_(point_bytes) {}

  void anchor_grid(double first_time);
  Result<void> check_grid_size(std::span<const std::int64_t> timestamps);
  Result<void> emit(bool final);
  template <class Sink>
  bool walk_grid(bool final, Sink& sink);
  bool produce_points(bool final);
  template <class Quad, std::size_t live_quads>
  bool produce_into_stage(bool final);
  template <std::size_t live_quads>
  bool produce_split(bool final);
#if defined(VELNORA_WIDE_VECTORS)
  template <std::size_t live_quads>
  bool produce_wide(bool final);
#endif
  Result<void> flush_stage();
  void keep_from(std::size_t i, double t, std::size_t first);
  void drop_unneeded();
  // The run's count of the sample at the queue's front.
  std::uint64_t front_index() const { return queued_total_ - queue_.size(); }

  std::optional<double> range_start_time_;
  std::optional<double> range_end_time_;
  double step_ms_;
  std::optional<double> grid_origin_ms_;
  double next_time_ = 0.0;  // the time of grid point emitted_ once the grid is anchored
  SampleQueue queue_;
  CwaDataResult output_;
  OutputRows rows_;  // the stage
  std::size_t staged_ = 0;
  std::size_t staged_quads_ = channel_quads - 1;  // the quads the staged rows hold
  std::size_t cursor_ = 0;                        // the queue index of the next point's segment, or before it
  std::uint64_t emitted_ = 0;                     // grid points taken so far
  std::uint64_t queued_total_ = 0;                // samples ever queued
  std::uint64_t needed_from_ = 0;                 // the first sample a point not yet taken may need
  std::uint64_t loud_end_ = 0;  // queued_total_ after the last block whose third quad is not all +0.0
  bool done_ = false;
  MemoryLimit memory_limit_;
  std::uint64_t point_bytes_;  // a timestamp and the included channels
  // The time of the first grid point past the memory limit, once anchored.
  double first_unaffordable_time_ = std::numeric_limits<double>::infinity();
  // A follower's destination, and a lead's fence.
  std::optional<ForeignRows> foreign_;
  struct RowFence {
    std::uint64_t row;
    FenceRelease release;
    void* context;
  };
  Result<void> store_foreign(std::size_t rows);
  std::optional<RowFence> fence_;
};

}  // namespace velnora
