#include "core/read/read_plan.hpp"

#include <algorithm>
#include <variant>

#include "core/base/numeric.hpp"
#include "core/read/block_time_span.hpp"

namespace velnora {

namespace {

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

Result<ReadPlan> plan_seconds(std::string_view path, const CutConfig::Seconds& cut) {
  auto spans = scan_block_time_spans(path);
  if (!spans) return fail(std::move(spans.error()));
  if (spans->empty()) return fail("No valid sample data found");

  // The origin is the first data block's first sample as the reader stamps
  // it: its natural start (which the scan keeps uncorrected) truncated to
  // whole microseconds. The untruncated start can lie a fraction of a
  // microsecond after that stamp, and a cut from 0 would then drop the
  // recording's first sample.
  const double origin =
      static_cast<double>(truncate_to_i64(spans->front().start_time * 1000000.0)) / 1000000.0;
  ReadPlan plan;
  if (cut.start) plan.range_start_time = origin + *cut.start;
  if (cut.end) plan.range_end_time = origin + *cut.end;

  auto hits = find_hits(*spans, plan.range_start_time, plan.range_end_time);
  if (!hits) return fail("No samples remain after applying seconds cut");
  // One span of margin on each side gives the block reader the neighbours that
  // the timestamps at the window's edges depend on.
  const std::size_t first = hits->first == 0 ? 0 : hits->first - 1;
  const std::size_t last = std::min(hits->last + 1, spans->size() - 1);
  plan.start_block = (*spans)[first].block_index;
  plan.block_count = (*spans)[last].block_index - (*spans)[first].block_index + 1;
  return plan;
}

}  // namespace

Result<ReadPlan> resolve_read_plan(std::string_view path, const CutConfig& cut) {
  if (auto valid = cut.validate(); !valid) return fail(std::move(valid.error()));
  if (const auto* blocks = std::get_if<CutConfig::Blocks>(&cut.range)) return plan_blocks(*blocks);
  if (const auto* seconds = std::get_if<CutConfig::Seconds>(&cut.range)) return plan_seconds(path, *seconds);
  return ReadPlan{};
}

}  // namespace velnora
