#pragma once

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
#include "core/resample/output_stage.hpp"
#include "core/resample/sample_queue.hpp"

namespace velnora {

// The seam between the two halves of a split run (split_run.hpp).
struct FollowerRows;
struct SeamState;
class FollowerRun;

// One resampling run: samples go in block by block, in file order, and come out as
// points of a regular grid at `resample_hz` by four-point cubic interpolation,
// linear where the cubic cannot be used. Grid point k lies at
// ((k × (1000 / resample_hz)) + grid_origin_ms) / 1000 seconds. The time window
// [range_start_time, range_end_time) acts through the grid alone: it starts no
// earlier than the window and stops before the window's end. A grid that would
// outgrow the process's memory_room(), or find no room in it, is refused as
// soon as a sample shows it; the columns then hold room for every point up
// to that sample, so producing the points allocates nothing more.
class StreamingResampler {
 public:
  // A resampler with no samples yet, whose output has the columns `include`
  // asks for, with address space for `capacity_hint` points (no more than
  // the memory limit allows). The window must be a plan's (check_time_window).
  // Errors: OutOfMemory. Reserves address space only.
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
  // full; maps memory only past the output's reservation.
  Result<void> append_block(std::span<const std::int64_t> timestamps, std::span<const SampleData> samples,
                            const BlockReadings& readings);

  // Produces every grid point the queued samples allow. `final` is true for
  // the one call after the last sample: the points of the last segment, which
  // until then wait for a right neighbour, are then produced linearly.
  // Errors: OutOfMemory when an output column cannot grow, Interrupted between
  // runs of points. Maps memory only past the output's reservation.
  Result<void> emit_ready(bool final);

  // Whether the grid has reached the window's end: no later sample can add a point.
  bool done() const { return done_; }
  // Whether a sample has anchored the grid.
  bool anchored() const { return grid_origin_ms_.has_value(); }

  // The queue's capacity, which only grows: the longest the queue has needed to be.
  std::size_t queue_capacity() const { return queue_.capacity(); }

  // The grid points produced; the resampler is spent. Errors: OutOfMemory
  // when an output column cannot grow. Maps memory only past the output's reservation.
  Result<CwaDataResult> take_output() &&;

  // A run's side of the split seam, defined with the rest of the seam in
  // split_run.cpp, where each is described.
  static Result<StreamingResampler> follow(StreamingResampler& lead, double from_time, FollowerRows& rows);
  bool start_storing_rows(SeamState& seam);
  bool continues_as(const SeamState& seam) const;
  void lend_rows(std::uint64_t from_row, FollowerRun& borrower);
  Result<void> adopt_rows(std::uint64_t end);
  void reclaim_rows(std::uint64_t end);

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
  bool reserve_rows(std::uint64_t points);
  template <class Sink>
  bool walk_grid(bool final, Sink& sink);
  bool produce_points(bool final);
  template <class Quad, std::size_t live_quads>
  bool produce_into_stage(bool final);
  template <std::size_t live_quads>
  bool produce_in_halves(bool final);
#if defined(VELNORA_WIDE_VECTORS)
  template <std::size_t live_quads>
  bool produce_wide(bool final);
#endif
  Result<void> flush_stage();
  void store_staged(const RowDestination& to, std::size_t offset, std::size_t rows) const;
  Result<void> store_follower_rows(std::size_t rows);
  void take_back_lent_rows();
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
  OutputStage stage_;
  std::size_t staged_ = 0;
  std::size_t staged_quads_ = channel_quads - 1;  // the quads the staged rows hold
  std::size_t cursor_ = 0;                        // the queue index of the next point's segment, or before it
  std::uint64_t emitted_ = 0;                     // grid points taken so far
  std::uint64_t queued_total_ = 0;                // samples ever queued
  std::uint64_t needed_from_ = 0;                 // the first sample a point not yet taken may need
  // The samples from this count on have a third quad of +0.0 throughout.
  std::uint64_t third_quad_zero_from_ = 0;
  bool done_ = false;
  MemoryLimit memory_limit_;
  std::uint64_t point_bytes_;  // a timestamp and the included channels
  // The time of the first grid point past the memory limit, once anchored.
  double first_unaffordable_time_ = std::numeric_limits<double>::infinity();
  // The time of the first grid point past the columns' room, once anchored;
  // never reached in a follower, which grows nothing.
  double first_unreserved_time_ = std::numeric_limits<double>::infinity();
  // A follower's rows go to its lead's columns instead of its own output.
  FollowerRows* follower_rows_ = nullptr;
  // A lead's rows from lent_from_ on are the borrower's to write until the
  // lead takes them back.
  FollowerRun* borrower_ = nullptr;
  std::uint64_t lent_from_ = 0;
};

}  // namespace velnora
