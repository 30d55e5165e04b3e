#include "core/read/time_filter.hpp"

#include <cstring>
#include <vector>

#include "core/read/time_window.hpp"

namespace velnora {

namespace {

// Selected samples as runs of consecutive indices: a window over a recording
// is one run or a few, where a list of indices would be as long as the data.
struct Run {
  std::size_t begin;
  std::size_t end;
};

std::vector<Run> select_samples(std::span<const std::int64_t> timestamps, std::optional<double> start,
                                std::optional<double> end) {
  std::vector<Run> runs;
  for (std::size_t k = 0; k < timestamps.size(); ++k) {
    const double t = static_cast<double>(timestamps[k]) / 1000000.0;
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
// of the store exists at any time and no fresh memory is touched.
template <class T>
void keep_runs(Column<T>& column, std::span<const Run> runs) {
  T* values = column.data();
  std::size_t kept = 0;
  for (const Run& run : runs) {
    const std::size_t length = run.end - run.begin;
    if (kept != run.begin) std::memmove(values + kept, values + run.begin, length * sizeof(T));
    kept += length;
  }
  column.truncate(kept);
}

}  // namespace

Result<CwaDataResult> filter_data_by_time_range(CwaDataResult&& data, std::optional<double> start,
                                                std::optional<double> end) {
  CwaDataResult owned = std::move(data);
  if (!start && !end) return owned;
  if (auto window = check_time_window(start, end); !window) return fail(window.error());
  const std::vector<Run> runs = select_samples(owned.timestamp.values(), start, end);
  if (runs.empty()) return fail("No samples remain after applying time range");
  owned.for_each_column([&](std::string_view, auto& column) {
    keep_runs(column, runs);
    return true;
  });
  return owned;
}

}  // namespace velnora
