#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <thread>

#include "core/activity/sample_feed.hpp"
#include "core/activity/time_grid.hpp"
#include "core/base/helper_thread.hpp"
#include "core/base/interruption.hpp"
#include "core/format/cwa_file.hpp"

namespace velnora {

// The sums of a plan's samples: the earlier half's, and the later half's to
// be joined after them when two threads shared the work; and what was fed
// and left out.
template <class Sums>
struct FedSums {
  Sums earlier;
  std::optional<Sums> later;
  FeedOutcome outcome;
};

// Ranges shorter than this are fed on the calling thread alone: a thread's
// start and the extra reading up to the seam would cost more than they save.
inline constexpr std::uint64_t min_split_blocks = 4096;

namespace split_detail {

// Adds a run to sums, as context (`add_context`) when it is: only sums
// that take context are ever fed any.
template <class Sums>
Result<void> add_to(Sums& sums, const SampleRun& run, bool context) {
  if constexpr (requires { sums.add_context(run); }) {
    if (context) return sums.add_context(run);
  }
  return sums.add(run);
}

// The later half's work on the helper thread, and where it leaves its outcome.
template <class Sums>
struct LaterHalf {
  std::string_view path;
  ReadPlan plan;
  bool past_damage;
  std::int64_t seam_us;
  std::size_t context;
  Sums sums;
  DamagedBlocks left_out;
  std::atomic<bool> stop{false};
  std::optional<Result<FeedOutcome>> outcome;  // nothing when the helper ran out of memory

  static void run(void* context) noexcept {
    auto& half = *static_cast<LaterHalf*>(context);
    try {
      half.outcome = feed_samples(
          half.path, half.plan, half.past_damage, half.left_out,
          [&](const SampleRun& run, bool as_context) -> Result<void> {
            if (half.stop.load(std::memory_order_relaxed)) return fail(CwaError::interrupted());
            return add_to(half.sums, run, as_context);
          },
          FeedSeam{.stop_at_us = std::nullopt, .start_at_us = half.seam_us, .context_samples = half.context});
    } catch (const std::bad_alloc&) {
      // No outcome: the calling thread then feeds it all alone.
    }
  }
};

// The first sample at or after block `mid`, read as the later half will
// read it: its time and the count of its block's samples; nothing when there
// is none or the read fails otherwise than by an interruption (the whole
// feed then meets the failure where it lies). Errors: Interrupted.
struct FirstSample {
  std::int64_t time;
  std::size_t block_samples;
};
inline Result<std::optional<FirstSample>> first_sample_from(std::string_view path, std::uint64_t mid,
                                                            std::uint64_t end, bool past_damage) {
  const auto none_unless_interrupted = [](CwaError&& error) -> Result<std::optional<FirstSample>> {
    if (error.kind() == CwaError::Kind::Interrupted) return fail(std::move(error));
    return std::nullopt;
  };
  DamagedBlocks ignored;
  auto stream = DecodedBlockStream::open(path, mid, end - mid, false, past_damage ? &ignored : nullptr);
  if (!stream) return none_unless_interrupted(std::move(stream.error()));
  auto block = stream->next();
  if (!block) return none_unless_interrupted(std::move(block.error()));
  if (!*block) return std::nullopt;
  return FirstSample{(*block)->timestamps.front(), (*block)->timestamps.size()};
}

}  // namespace split_detail

// Feeds a plan's samples to sums made by `make()` (each with `Result<void>
// add(const SampleRun&)`). A long range is split in two at a seam time, a
// multiple of `seam_interval_us` (0: never split) just after the first
// sample of its middle block: the calling thread feeds its sums up to the
// first sample at or after the seam, a helper thread feeds a second set from
// that sample on. Every interval the sums keep lies wholly on one side, so
// the two sets joined are the bits one feed would give. Sums whose samples
// are windows over their neighbours (`add_context(const SampleRun&)`) are
// fed `context_samples` more either side of the seam as context: the
// earlier set those after it, the later set those before it, read from
// enough blocks before the middle one. The halves are kept only if both
// met the seam at the same sample, no later sample went back before it and
// both fed the same samples just before it; otherwise, or when the helper
// failed, one feed on the calling thread does it all again. Errors: those
// of feed_samples, Interrupted (the calling thread answers while it waits;
// the helper is stopped first), and the reader's "No valid sample data
// found in the specified range" when no sample was fed. `past_damage` and
// `left_out` as feed_samples's, the list appended to in file order.
template <class Sums, class Make>
Result<FedSums<Sums>> feed_in_halves(std::string_view path, const ReadPlan& plan, bool past_damage,
                                     DamagedBlocks& left_out, std::int64_t seam_interval_us,
                                     std::size_t context_samples, Make make) {
  const std::size_t listed_before = left_out.size();
  const auto some_fed = [](FedSums<Sums>&& sums) -> Result<FedSums<Sums>> {
    if (sums.outcome.fed == 0) return fail(no_samples_in_range);
    return std::move(sums);
  };
  const auto alone = [&]() -> Result<FedSums<Sums>> {
    left_out.resize(listed_before);
    Sums sums = make();
    auto fed = feed_samples(path, plan, past_damage, left_out,
                            [&](const SampleRun& run, bool) { return sums.add(run); });
    if (!fed) return fail(std::move(fed.error()));
    return some_fed(FedSums<Sums>{std::move(sums), std::nullopt, *fed});
  };
  auto checked = open_checked_cwa_file(path);
  if (!checked || seam_interval_us <= 0) return alone();
  const std::uint64_t start = plan.start_block.value_or(0);
  const std::uint64_t total = checked->block_count;
  const std::uint64_t end =
      start >= total ? start : start + std::min(plan.block_count.value_or(total), total - start);
  if (end - start < min_split_blocks) return alone();
  const std::uint64_t mid = start + (end - start) / 2;
  auto middle = split_detail::first_sample_from(path, mid, end, past_damage);
  if (!middle) return fail(std::move(middle.error()));
  if (!*middle) return alone();
  const std::int64_t seam_us = (interval_index((*middle)->time, seam_interval_us) + 1) * seam_interval_us;
  // The blocks the later half's context may need, a block to spare.
  const std::uint64_t context_blocks =
      context_samples == 0 ? 0 : context_samples / std::max<std::size_t>((*middle)->block_samples, 1) + 2;
  const std::uint64_t later_start = mid - std::min(context_blocks, mid - start);
  split_detail::LaterHalf<Sums> later{
      path,
      ReadPlan{later_start, end - later_start, plan.range_start_time, plan.range_end_time},
      past_damage,
      seam_us,
      context_samples,
      make(),
      {},
      {},
      std::nullopt};
  auto helper = HelperThread::start(&split_detail::LaterHalf<Sums>::run, &later);
  if (!helper) return alone();
  // On every way out the helper is stopped and joined before `later` goes.
  struct Joined {
    HelperThread& helper;
    std::atomic<bool>& stop;
    ~Joined() {
      stop.store(true, std::memory_order_relaxed);
      helper.join();
    }
  } joined{*helper, later.stop};

  Sums earlier = make();
  auto lead = feed_samples(
      path, plan, past_damage, left_out,
      [&](const SampleRun& run, bool as_context) { return split_detail::add_to(earlier, run, as_context); },
      FeedSeam{.stop_at_us = seam_us, .start_at_us = std::nullopt, .context_samples = context_samples});
  if (!lead) return fail(std::move(lead.error()));
  while (!helper->finished()) {
    if (auto going_on = interruption_point(); !going_on) return fail(std::move(going_on.error()));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  helper->join();
  if (!later.outcome || !*later.outcome || later.outcome->value().seam != lead->seam ||
      later.outcome->value().went_back || later.outcome->value().before_seam != lead->before_seam)
    return alone();
  if (lead->seam) {
    // Past the seam's block, the later half's list: the earlier half read there only for context.
    const auto past_seam = [&](const DamagedBlock& entry) { return entry.block > lead->seam->block; };
    left_out.erase(std::remove_if(left_out.begin() + static_cast<std::ptrdiff_t>(listed_before),
                                  left_out.end(), past_seam),
                   left_out.end());
    for (DamagedBlock& entry : later.left_out) {
      if (entry.block > lead->seam->block) left_out.push_back(std::move(entry));
    }
  }
  return some_fed(FedSums<Sums>{std::move(earlier), std::move(later.sums),
                                outcome_of_both(*lead, later.outcome->value())});
}

}  // namespace velnora
