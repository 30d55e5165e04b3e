#include "core/resample/split_run.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "core/base/helper_thread.hpp"
#include "core/base/interruption.hpp"
#include "core/base/numeric.hpp"
#include "core/resample/grid.hpp"
#include "core/resample/output_stage.hpp"

// A long resampled range in two halves. The follower, on a helper thread,
// takes the later half on the lead's grid, starting with a context block
// near the middle whose points it drops; the lead, on the calling thread,
// reads up to and including that block. After it, the rows the follower
// stored straight into the lead's columns are the lead's only if the lead
// then stands where the follower stood (continues_as); otherwise the lead
// reads on alone over them. The lead may move while its follower runs: the
// follower writes only to the lead's column mappings, which stay where they
// are.

namespace velnora {

// Where a follower stores its rows: straight into its lead's columns, at
// their grid points' indices.
struct FollowerRows {
  RowDestination rows;     // row 0 of the lead's columns
  std::uint64_t room;      // rows below this fit without the columns moving
  bool storing = false;    // past the context block: rows are stored
  bool past_room = false;  // a row at or past room came: the rows cannot serve
  std::uint64_t end = 0;   // one past the last row stored
};

// A follower's state once it has taken its context block, kept for its lead
// to compare with its own after the same block. Sample counts start at the
// context block's first sample. The samples that later points may need are
// copied, when they are few.
struct SeamState {
  static constexpr std::size_t max_needed = 8;
  std::uint64_t emitted;      // the next grid point
  std::uint64_t cursor;       // the sample that starts the next point's segment, or one before it
  std::uint64_t needed_from;  // the first sample a later point may need
  std::uint64_t queued;       // the samples taken
  std::size_t needed = 0;     // queued - needed_from, no more than max_needed
  std::array<SampleValues, max_needed> values;  // of the needed samples
  std::array<double, max_needed> times;
};

// The later half: its stream, its resampler, the seam to meet, and its
// thread, which is stopped and joined before anything else here goes.
class FollowerRun {
 public:
  // Where the follower's stream lists damage it passes over, when the read
  // does; merged into the lead's list once the rows are taken.
  DamagedBlocks damaged;
  std::optional<DecodedBlockStream> stream;
  FollowerRows rows{};
  std::optional<StreamingResampler> follower;
  SeamState seam{};
  std::uint64_t context_end = 0;  // the position after the context block
  std::atomic<bool> stop_requested{false};
  Result<void> outcome;
  // An allocation failed on the helper thread, where nothing may throw: the
  // lead reads on alone.
  bool allocation_failed = false;
  std::optional<HelperThread> helper;

  FollowerRun() = default;
  FollowerRun(const FollowerRun&) = delete;
  FollowerRun& operator=(const FollowerRun&) = delete;
  ~FollowerRun() { stop(); }

  // Asks the follower to stop and waits until it has.
  void stop() {
    stop_requested.store(true, std::memory_order_relaxed);
    if (helper) helper->join();
  }
};

// --- The resampler's side of the seam ---------------------------------------

// A follower on `lead`'s grid, for a later half whose context block starts
// at from_time; its rows go to `rows`, its own output stays empty. It starts
// at the first point not before from_time: those before it lie in segments
// it does not have. Gives lead's columns room for the follower's rows. Errors: OutOfMemory when they cannot
// have it. Reserves address space only.
Result<StreamingResampler> StreamingResampler::follow(StreamingResampler& lead, double from_time,
                                                      FollowerRows& rows) {
  StreamingResampler follower(lead.range_start_time_, lead.range_end_time_, lead.step_ms_, CwaDataResult{},
                              lead.memory_limit_, lead.point_bytes_);
  follower.grid_origin_ms_ = lead.grid_origin_ms_;
  follower.first_unaffordable_time_ = lead.first_unaffordable_time_;
  const double before = std::nextafter(from_time, -std::numeric_limits<double>::infinity());
  follower.emitted_ = points_through(before, follower.step_ms_, *follower.grid_origin_ms_);
  follower.next_time_ = grid_time(follower.emitted_, follower.step_ms_, *follower.grid_origin_ms_);
  // The lead's room was estimated for the whole range; a gap before the
  // middle puts the later half's rows past it. Address space only, and no
  // more than the memory limit lets a grid have.
  const std::uint64_t reserve = std::min(follower.emitted_ + row_capacity(lead.output_) / 2,
                                         lead.memory_limit_.bytes / lead.point_bytes_);
  const bool reserved = lead.output_.for_each_column(
      [&](std::string_view, auto& column) { return column.reserve(reserve).has_value(); });
  if (!reserved) return fail(CwaError::io_errno(ENOMEM));
  rows = FollowerRows{.rows = rows_at(lead.output_, 0), .room = row_capacity(lead.output_)};
  follower.follower_rows_ = &rows;
  return follower;
}

// Follower, after the context block: points from here on are stored. False
// when the state the lead must reach depends on more samples than a seam
// holds, or the grid has ended.
bool StreamingResampler::start_storing_rows(SeamState& seam) {
  staged_ = 0;
  follower_rows_->storing = true;
  follower_rows_->end = emitted_;
  const std::uint64_t needed = queued_total_ - needed_from_;
  if (done_ || needed > SeamState::max_needed) return false;
  seam.emitted = emitted_;
  seam.cursor = front_index() + cursor_;
  seam.needed_from = needed_from_;
  seam.queued = queued_total_;
  seam.needed = static_cast<std::size_t>(needed);
  const std::size_t first = needed_from_ - front_index();
  std::ranges::copy(queue_.values().subspan(first, seam.needed), seam.values.begin());
  std::ranges::copy(queue_.times().subspan(first, seam.needed), seam.times.begin());
  return true;
}

// Lead, after the context block: whether every later point comes out of
// this run as it does out of the follower's. Later points depend on the
// grid, which the two share, on the next point, the segment reached and the
// first sample still needed, and on the samples from there on, which are the
// same samples of the same blocks if they compare equal; the samples before
// them are never read again.
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

// Lead: rows from `from_row` on are the follower's of `borrower` to write;
// the lead stops it before writing there itself (take_back_lent_rows).
void StreamingResampler::lend_rows(std::uint64_t from_row, FollowerRun& borrower) {
  borrower_ = &borrower;
  lent_from_ = from_row;
}

void StreamingResampler::take_back_lent_rows() {
  borrower_->stop();
  reclaim_rows(borrower_->rows.end);
}

// Lead: the follower's rows [size(), end) become this run's, after its own
// staged rows. Errors: OutOfMemory when a column cannot grow.
Result<void> StreamingResampler::adopt_rows(std::uint64_t end) {
  borrower_ = nullptr;
  if (auto flushed = flush_stage(); !flushed) return flushed;
  const std::size_t rows = end - std::min<std::uint64_t>(end, output_.size());
  const bool grown = output_.for_each_column(
      [&](std::string_view, auto& column) { return column.extend(rows).has_value(); });
  if (!grown) return fail(CwaError::io_errno(ENOMEM));
  return {};
}

// Lead: rows written below `end` by a follower whose rows were refused hold
// values, not the zeros of fresh memory: marked as written, they are
// overwritten as the run goes on.
void StreamingResampler::reclaim_rows(std::uint64_t end) {
  borrower_ = nullptr;
  output_.for_each_column([&](std::string_view, auto& column) {
    column.mark_written(end);
    return true;
  });
}

// Follower: the staged rows are the last points emitted, and row k holds
// point k. Errors: OutOfMemory past the lead's room.
Result<void> StreamingResampler::store_follower_rows(std::size_t rows) {
  FollowerRows& to = *follower_rows_;
  if (!to.storing) return {};
  const std::uint64_t first_row = emitted_ - rows;
  if (first_row + rows > to.room) {
    to.past_room = true;
    return fail(CwaError::io_errno(ENOMEM));
  }
  store_staged(to.rows, first_row, rows);
  to.end = first_row + rows;
  return {};
}

// --- The two halves ----------------------------------------------------------

namespace {

// How far from the middle of a range the later half looks for its context
// block, and back from there for the block before it.
constexpr std::uint64_t seam_search = 64;

// Feeds the blocks of `stream` to `resampler` until the stream ends or the
// grid reaches the window's end. Errors: the stream's and the resampler's.
Result<void> feed_rest(DecodedBlockStream& stream, StreamingResampler& resampler) {
  while (!resampler.done()) {
    auto block = stream.next();
    if (!block) return fail(std::move(block.error()));
    if (!*block) return {};
    const DecodedBlock& decoded = **block;
    if (auto fed = resampler.append_block(decoded.timestamps, decoded.samples, decoded.readings); !fed)
      return fed;
  }
  return {};
}

// The follower's stop request, seen by its thread's interruption points, so
// that it stops within a block or a run of points.
thread_local const std::atomic<bool>* follower_stop_requested = nullptr;

bool follower_asked_to_stop() { return follower_stop_requested->load(std::memory_order_relaxed); }

// The follower's half, as resample_rest reads a whole range.
Result<void> follow_to_end(DecodedBlockStream& stream, StreamingResampler& follower) {
  if (auto fed = feed_rest(stream, follower); !fed) return fed;
  if (auto last = follower.emit_ready(true); !last) return last;
  auto flushed = std::move(follower).take_output();
  if (!flushed) return fail(std::move(flushed.error()));
  return {};
}

void follow_task(void* context) noexcept {
  FollowerRun& run = *static_cast<FollowerRun*>(context);
  follower_stop_requested = &run.stop_requested;
  InterruptionScope scope(follower_asked_to_stop);
  try {
    run.outcome = follow_to_end(*run.stream, *run.follower);
  } catch (...) {
    run.allocation_failed = true;
  }
}

// A failure to start a follower leaves the lead to meet the error itself,
// in its place, but a stop the caller asked for is answered at once.
Result<std::unique_ptr<FollowerRun>> interrupted_or_none(CwaError& error) {
  if (error.kind() == CwaError::Kind::Interrupted) return fail(std::move(error));
  return nullptr;
}

// Splits the rest of `stream`'s range, from its position on, between `lead`
// and a follower on a helper thread; `stream` then ends with the context
// block. Nothing, with `lead` and `stream` unchanged, where the rest is
// shorter than `min_blocks`, no helper thread may run, or the later half
// does not open or start cleanly. Errors: Interrupted only; the lead meets
// any other itself.
Result<std::unique_ptr<FollowerRun>> start_follower(std::string_view path, DecodedBlockStream& stream,
                                                    StreamingResampler& lead, bool include_magnetometer,
                                                    DamagedBlocks* damaged, std::uint64_t min_blocks) {
  const std::uint64_t from = stream.position(), end = stream.end_position();
  if (end - from < std::max<std::uint64_t>(min_blocks, 2 * seam_search)) return nullptr;
  if (!helper_thread_allowed()) return nullptr;
  auto run = std::make_unique<FollowerRun>();
  // Near the middle there is nearly always a data block, with another just
  // before it. Where there is not, the file is not worth splitting: its
  // halves would each be searched on this thread first.
  const std::uint64_t middle = from + (end - from) / 2;
  auto later = DecodedBlockStream::open(path, middle, seam_search, include_magnetometer,
                                        damaged ? &run->damaged : nullptr, seam_search);
  if (!later) return interrupted_or_none(later.error());
  run->stream.emplace(std::move(*later));
  auto context = run->stream->next();
  if (!context) return interrupted_or_none(context.error());
  if (!*context) return nullptr;
  run->context_end = run->stream->position();
  run->stream->end_at(end);
  const DecodedBlock& block = **context;
  auto follower = StreamingResampler::follow(lead, seconds_from_us(block.timestamps.front()), run->rows);
  if (!follower) return nullptr;
  if (auto fed = follower->append_block(block.timestamps, block.samples, block.readings); !fed)
    return interrupted_or_none(fed.error());
  if (!follower->start_storing_rows(run->seam)) return nullptr;
  run->follower.emplace(std::move(*follower));
  auto helper = HelperThread::start(follow_task, run.get());
  if (!helper) return nullptr;
  run->helper.emplace(std::move(*helper));
  lead.lend_rows(std::min(run->seam.emitted, run->rows.room), *run);
  stream.end_at(run->context_end);
  return run;
}

// Waits for the follower, answering interruptions meanwhile.
Result<void> wait_for(const FollowerRun& run) {
  while (!run.helper->finished()) {
    if (auto going_on = interruption_point(); !going_on) return going_on;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return {};
}

// The damage the follower passed over after the context block; the lead
// listed that before it.
void merge_damage(const FollowerRun& run, DamagedBlocks& damaged) {
  for (const DamagedBlock& block : run.damaged) {
    if (block.block >= run.context_end) damaged.push_back(block);
  }
}

// After the lead has taken its half: true when the follower's rows complete
// the run, now the lead's, and the damage it passed over is listed in
// `damaged` (the lead's list, or null); false when the lead must go on
// alone, `stream` then reaching to its old end. The run is finished either
// way. Errors: the follower's, where the lead would have met it;
// Interrupted while waiting; OutOfMemory.
Result<bool> join_follower(std::unique_ptr<FollowerRun> run, StreamingResampler& lead,
                           DecodedBlockStream& stream, std::uint64_t end, DamagedBlocks* damaged) {
  if (!lead.done() && lead.continues_as(run->seam)) {
    if (auto waited = wait_for(*run); !waited) return fail(std::move(waited.error()));
    if (!run->rows.past_room && !run->allocation_failed) {
      if (damaged != nullptr) merge_damage(*run, *damaged);
      if (!run->outcome) return fail(std::move(run->outcome.error()));
      if (auto adopted = lead.adopt_rows(run->rows.end); !adopted) return fail(std::move(adopted.error()));
      return true;
    }
  }
  run->stop();
  lead.reclaim_rows(run->rows.end);
  stream.end_at(end);
  return false;
}

}  // namespace

Result<RestRead> resample_rest(std::string_view path, DecodedBlockStream& stream,
                               StreamingResampler& resampler, bool include_magnetometer,
                               DamagedBlocks* damaged, std::uint64_t min_blocks) {
  const std::uint64_t end = stream.end_position();
  std::unique_ptr<FollowerRun> follower;  // stopped before the caller's resampler goes
  if (!resampler.done()) {
    auto started = start_follower(path, stream, resampler, include_magnetometer, damaged, min_blocks);
    if (!started) return fail(std::move(started.error()));
    follower = std::move(*started);
  }
  if (auto fed = feed_rest(stream, resampler); !fed) return fail(std::move(fed.error()));
  RestRead read = RestRead::one_thread;
  if (follower) {
    auto joined = join_follower(std::move(follower), resampler, stream, end, damaged);
    if (!joined) return fail(std::move(joined.error()));
    if (*joined) return RestRead::rows_adopted;
    read = RestRead::rows_refused;
    if (auto fed = feed_rest(stream, resampler); !fed) return fail(std::move(fed.error()));
  }
  if (auto last = resampler.emit_ready(true); !last) return fail(std::move(last.error()));
  return read;
}

}  // namespace velnora
