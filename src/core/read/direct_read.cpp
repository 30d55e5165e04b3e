#include "core/read/direct_read.hpp"

#include <algorithm>
#include <vector>

#include "core/base/interruption.hpp"
#include "core/base/numeric.hpp"
#include "core/format/data_block.hpp"
#include "core/read/decoded_block_stream.hpp"

namespace velnora {

namespace {

// Selected samples as runs of consecutive indices: a window over a recording
// is one run or a few, where a list of indices would be as long as the data.
struct Run {
  std::size_t begin;
  std::size_t end;
};

// A week of samples takes a noticeable time to select and to move: both
// stop for a request to stop between slices of this many samples.
constexpr std::size_t samples_between_polls = std::size_t{1} << 20;

Result<std::vector<Run>> select_samples(std::span<const std::int64_t> timestamps, std::optional<double> start,
                                        std::optional<double> end) {
  std::vector<Run> runs;
  for (std::size_t k = 0; k < timestamps.size(); ++k) {
    if (k % samples_between_polls == 0) {
      if (auto going_on = interruption_point(); !going_on) return fail(std::move(going_on.error()));
    }
    const double t = seconds_from_us(timestamps[k]);
    if ((start && *start > t) || (end && t >= *end)) continue;
    if (!runs.empty() && runs.back().end == k) {
      runs.back().end = k + 1;
    } else {
      runs.push_back({k, k + 1});
    }
  }
  return runs;
}

// Moves the selected entries to the front, in order. Every run lands at or
// before where it was, so the column is its own destination: no second copy
// of the store exists at any time and no fresh memory is touched. A column
// never written (zeros throughout) is not touched at all. Slices moved front
// to back never overwrite entries still to be moved.
template <class T>
Result<void> keep_runs(Column<T>& column, std::span<const Run> runs) {
  std::size_t kept = 0;
  for (const Run& run : runs) {
    for (std::size_t from = run.begin; from < run.end; from += samples_between_polls) {
      if (auto going_on = interruption_point(); !going_on) return going_on;
      const std::size_t length = std::min(run.end - from, samples_between_polls);
      column.move_down(from, kept, length);
      kept += length;
    }
  }
  column.truncate(kept);
  return {};
}

}  // namespace

Result<CwaDataResult> read_cwa_data(std::string_view path, std::optional<std::uint64_t> start_block,
                                    std::optional<std::uint64_t> block_count, IncludeFlags include,
                                    DamagedBlocks* damaged) {
  auto stream = DecodedBlockStream::open(path, start_block, block_count, include.magnetometer, damaged);
  if (!stream) return fail(std::move(stream.error()));
  std::optional<CwaDataResult> result;
  for (;;) {
    auto block = stream->next();
    if (!block) return fail(std::move(block.error()));
    if (!*block) break;
    const DecodedBlock& decoded = **block;
    if (!result) {
      // Room for every planned block as full as the first: only address
      // space, so the columns of a recording in one block layout never move
      // while they grow, and none of it beyond what such a recording fills.
      auto created = CwaDataResult::create(include, stream->planned_blocks() * decoded.samples.size());
      if (!created) return fail(std::move(created.error()));
      result.emplace(std::move(*created));
    }
    if (auto appended = result->append_block(decoded.timestamps, decoded.samples, decoded.readings);
        !appended) {
      return fail(std::move(appended.error()));
    }
  }
  if (!result) return fail(no_samples_in_range);
  return std::move(*result);
}

Result<CwaDataResult> filter_data_by_time_range(CwaDataResult&& data, std::optional<double> start,
                                                std::optional<double> end) {
  CwaDataResult owned = std::move(data);
  if (!start && !end) return owned;
  auto runs = select_samples(owned.timestamp.values(), start, end);
  if (!runs) return fail(std::move(runs.error()));
  if (runs->empty()) return fail("No samples remain after applying time range");
  Result<void> kept;
  owned.for_each_column([&](std::string_view, auto& column) {
    kept = keep_runs(column, *runs);
    return kept.has_value();
  });
  if (!kept) return fail(std::move(kept.error()));
  return owned;
}

}  // namespace velnora
