#include "core/read/read_plan.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/base/interruption.hpp"
#include "core/base/numeric.hpp"
#include "core/format/block_clock.hpp"
#include "core/format/cwa_file.hpp"
#include "core/format/data_block.hpp"
#include "core/io/sector_reader.hpp"
#include "core/read/damaged_blocks.hpp"

namespace velnora {

namespace {

Result<void> validate_seconds_value(std::optional<double> value) {
  if (!value) return {};
  if (!std::isfinite(*value)) return fail("seconds cut values must be finite");
  // -0.0 compares equal to zero and is accepted.
  if (*value < 0.0) return fail("seconds cut values must be >= 0");
  return {};
}

Result<void> validate_blocks(const CutConfig::Blocks& cut) {
  // A lone bound is always accepted; a start beyond the file is the read plan's concern.
  if (cut.start && cut.end && *cut.end <= *cut.start) return fail("blocks end must be greater than start");
  return {};
}

Result<void> validate_seconds(const CutConfig::Seconds& cut) {
  // start is checked completely before end, so its message wins when both are bad.
  if (auto valid = validate_seconds_value(cut.start); !valid) return valid;
  if (auto valid = validate_seconds_value(cut.end); !valid) return valid;
  if (cut.start && cut.end && *cut.start >= *cut.end) return fail("seconds end must be greater than start");
  return {};
}

// Screening a sector takes nanoseconds: the scan asks whether to stop once
// per half a megabyte.
constexpr std::uint64_t sectors_between_polls = 1024;

// One data block's place in time, as the seconds scan sees it.
struct BlockTimeSpan {
  std::uint64_t block_index;
  double start_time;  // after the continuity correction
  double end_time;    // the block's natural end
};

// Spans of every data block in file order; empty when the file has block
// positions but no data block. With `damaged`, malformed blocks are passed
// over and listed there.
// Errors: the file check's, "Start block is beyond file size" (no block
// positions), "Unexpected end of CWA data", a malformed block's message, Io.
// Allocates the span list.
Result<std::vector<BlockTimeSpan>> scan_block_time_spans(std::string_view path, DamagedBlocks* damaged) {
  auto checked = open_checked_cwa_file(path);
  if (!checked) return fail(std::move(checked.error()));
  const std::uint64_t total = checked->block_count;
  if (total == 0) return fail("Start block is beyond file size");
  SectorReader reader(std::move(checked->file));
  if (auto moved = reader.seek_block(0); !moved) return fail(std::move(moved.error()));

  std::vector<BlockTimeSpan> spans;
  // The clock the block reader uses, so each span starts where the block's
  // first sample will be.
  BlockClock clock;
  for (std::uint64_t index = 0; index < total; ++index) {
    if (index % sectors_between_polls == 0) {
      if (auto going_on = interruption_point(); !going_on) return fail(std::move(going_on.error()));
    }
    auto sector = reader.next();
    if (!sector) return fail(std::move(sector.error()));
    if (!*sector) return fail("Unexpected end of CWA data");
    auto block = screen_past_damage(**sector, index, damaged, clock);
    if (!block) return fail(std::move(block.error()));
    if (!*block) continue;
    const BlockTiming timing = clock.next(**block);
    spans.push_back({index, timing.start, timing.end});
  }
  return spans;
}

ReadPlan plan_blocks(const CutConfig::Blocks& cut) {
  ReadPlan plan;
  plan.start_block = cut.start.value_or(0);
  if (cut.end) plan.block_count = *cut.end - *plan.start_block;
  return plan;
}

struct Hits {
  std::size_t first;
  std::size_t last;
};

// The spans that meet [start, end): spans ending at or before the start are
// passed over, and the first remaining span starting at or after the end stops
// the search.
std::optional<Hits> find_hits(const std::vector<BlockTimeSpan>& spans, std::optional<double> start,
                              std::optional<double> end) {
  std::optional<Hits> hits;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    if (start && spans[i].end_time <= *start) continue;
    if (end && spans[i].start_time >= *end) break;
    if (!hits) hits = Hits{i, i};
    hits->last = i;
  }
  return hits;
}

// The damage the scan passed over outside the planned blocks, listed as
// such: a plain read of the cut scans them too. The read lists the rest.
void list_outside_damage(DamagedBlocks& scanned, const ReadPlan& plan, DamagedBlocks& damaged) {
  for (DamagedBlock& entry : scanned) {
    if (entry.block >= *plan.start_block && entry.block - *plan.start_block < *plan.block_count) continue;
    entry.outside_range = true;
    damaged.push_back(std::move(entry));
  }
}

Result<ReadPlan> plan_seconds(std::string_view path, const CutConfig::Seconds& cut, DamagedBlocks* damaged) {
  DamagedBlocks scanned;
  auto spans = scan_block_time_spans(path, damaged != nullptr ? &scanned : nullptr);
  if (!spans) return fail(std::move(spans.error()));
  if (spans->empty()) return fail("No valid sample data found");

  // The origin is the first data block's first sample as the reader stamps
  // it: its natural start (which the scan keeps uncorrected) truncated to
  // whole microseconds. The untruncated start can lie a fraction of a
  // microsecond after that stamp, and a cut from 0 would then drop the
  // recording's first sample.
  const double origin = seconds_from_us(truncated_us(spans->front().start_time));
  ReadPlan plan;
  if (cut.start) plan.range_start_time = origin + *cut.start;
  if (cut.end) plan.range_end_time = origin + *cut.end;

  auto hits = find_hits(*spans, plan.range_start_time, plan.range_end_time);
  if (!hits) return fail("No samples remain after applying seconds cut");
  if (auto window = check_time_window(plan.range_start_time, plan.range_end_time); !window)
    return fail(std::move(window.error()));
  // One span of margin on each side gives the block reader the neighbours that
  // the timestamps at the window's edges depend on.
  const std::size_t first = hits->first == 0 ? 0 : hits->first - 1;
  const std::size_t last = std::min(hits->last + 1, spans->size() - 1);
  plan.start_block = (*spans)[first].block_index;
  plan.block_count = (*spans)[last].block_index - (*spans)[first].block_index + 1;
  if (damaged != nullptr) list_outside_damage(scanned, plan, *damaged);
  return plan;
}

bool is_finite_or_absent(std::optional<double> bound) { return !bound || std::isfinite(*bound); }

}  // namespace

Result<void> check_time_window(std::optional<double> start, std::optional<double> end) {
  if (!is_finite_or_absent(start) || !is_finite_or_absent(end))
    return fail("time range values must be finite");
  if (start && end && *start >= *end) return fail("range_end_time must be greater than range_start_time");
  return {};
}

Result<void> CutConfig::validate() const {
  if (const auto* blocks = std::get_if<Blocks>(&range)) return validate_blocks(*blocks);
  if (const auto* seconds = std::get_if<Seconds>(&range)) return validate_seconds(*seconds);
  return {};
}

Result<ReadPlan> resolve_read_plan(std::string_view path, const CutConfig& cut, DamagedBlocks* damaged) {
  if (auto valid = cut.validate(); !valid) return fail(std::move(valid.error()));
  if (const auto* blocks = std::get_if<CutConfig::Blocks>(&cut.range)) return plan_blocks(*blocks);
  if (const auto* seconds = std::get_if<CutConfig::Seconds>(&cut.range))
    return plan_seconds(path, *seconds, damaged);
  return ReadPlan{};
}

}  // namespace velnora
