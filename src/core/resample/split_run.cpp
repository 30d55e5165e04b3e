#include "core/resample/split_run.hpp"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "core/base/interruption.hpp"
#include "core/base/numeric.hpp"

namespace velnora {

namespace {

// The follower's stop request, seen by its thread's interruption points, so
// that it stops within a block or a run of points.
thread_local const std::atomic<bool>* follower_cancelled = nullptr;

bool follower_stop_requested() { return follower_cancelled->load(std::memory_order_relaxed); }

// The follower's half, as resample_blocks reads a whole range.
Result<void> follow_to_end(DecodedBlockStream& stream, StreamingResampler& follower) {
  if (auto fed = feed_rest(stream, follower); !fed) return fed;
  if (auto last = follower.emit_ready(true); !last) return last;
  auto flushed = std::move(follower).take_output();
  if (!flushed) return fail(std::move(flushed.error()));
  return {};
}

void follow_task(void* context) {
  FollowerRun& run = *static_cast<FollowerRun*>(context);
  follower_cancelled = &run.cancelled;
  InterruptionScope scope(follower_stop_requested);
  try {
    run.outcome = follow_to_end(*run.stream, *run.follower);
  } catch (...) {
    run.threw = true;
  }
}

// The lead's fence: stops the follower before the lead writes its rows.
std::uint64_t release_rows(void* context) {
  FollowerRun& run = *static_cast<FollowerRun*>(context);
  run.stop();
  return run.follower->foreign_rows().end;
}

// A failure to start a follower leaves the lead to meet the error itself,
// in its place, but a stop the caller asked for is answered at once.
Result<std::unique_ptr<FollowerRun>> interrupted_or_none(CwaError& error) {
  if (error.kind() == CwaError::Kind::Interrupted) return fail(std::move(error));
  return nullptr;
}

// Waits for the follower, answering interruptions meanwhile.
Result<void> wait_for(FollowerRun& run) {
  while (!run.helper.idle()) {
    if (auto going_on = interruption_point(); !going_on) return going_on;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return {};
}

}  // namespace

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

void FollowerRun::stop() {
  cancelled.store(true, std::memory_order_relaxed);
  helper.finish();
}

Result<std::unique_ptr<FollowerRun>> start_follower(std::string_view path, DecodedBlockStream& stream,
                                                    StreamingResampler& lead, bool include_magnetometer,
                                                    DamagedBlocks* damaged, std::uint64_t min_blocks) {
  const std::uint64_t from = stream.position(), end = stream.end_position();
  if (end - from < std::max<std::uint64_t>(min_blocks, 2 * seam_search)) return nullptr;
  auto helper = HelperThread::start();
  if (!helper) return nullptr;
  auto run = std::make_unique<FollowerRun>(std::move(*helper));
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
  auto follower = StreamingResampler::follow(lead, seconds_from_us(block.timestamps.front()));
  if (!follower) return nullptr;
  if (auto fed = follower->append_block(block.timestamps, block.samples, block.readings); !fed)
    return interrupted_or_none(fed.error());
  auto seam = follower->begin_rows();
  if (!seam) return nullptr;
  run->seam = *seam;
  run->follower.emplace(std::move(*follower));
  lead.fence_rows(std::min(seam->emitted, run->follower->foreign_rows().limit), release_rows, run.get());
  stream.end_at(run->context_end);
  run->helper.run(follow_task, run.get());
  return run;
}

// The damage the follower passed over after the context block; the lead
// listed that before it.
void merge_damage(const FollowerRun& run, DamagedBlocks& damaged) {
  for (const DamagedBlock& block : run.damaged) {
    if (block.block >= run.context_end) damaged.push_back(block);
  }
}

Result<bool> join_follower(std::unique_ptr<FollowerRun> run, StreamingResampler& lead,
                           DecodedBlockStream& stream, std::uint64_t end, DamagedBlocks* damaged) {
  if (!lead.done() && lead.continues_as(run->seam)) {
    if (auto waited = wait_for(*run); !waited) return fail(std::move(waited.error()));
    const ForeignRows& rows = run->follower->foreign_rows();
    if (!rows.overflowed && !run->threw) {
      if (damaged != nullptr) merge_damage(*run, *damaged);
      if (!run->outcome) return fail(std::move(run->outcome.error()));
      if (auto adopted = lead.adopt_rows(rows.end); !adopted) return fail(std::move(adopted.error()));
      return true;
    }
  }
  run->stop();
  lead.disown_rows(run->follower->foreign_rows().end);
  stream.end_at(end);
  return false;
}

}  // namespace velnora
