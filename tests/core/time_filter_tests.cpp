#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "core/read/direct_read.hpp"
#include "core/read/read_plan.hpp"

using namespace velnora;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// A store with timestamps in microseconds; acc_x and temperature carry the
// sample's position so that a misplaced entry shows.
CwaDataResult store_of(const std::vector<std::int64_t>& micros) {
  auto store = CwaDataResult::create(
      IncludeFlags{.magnetometer = false, .temperature = true, .light = false, .battery = false},
      micros.size());
  std::vector<SampleData> samples;
  for (std::size_t i = 0; i < micros.size(); ++i) {
    const auto position = static_cast<float>(i);
    samples.push_back({position, 0, 0, 0, 0, 0, 0, 0, 0});
  }
  // One block per sample, so the block-level temperature differs per sample too.
  for (std::size_t i = 0; i < micros.size(); ++i) {
    const BlockReadings readings{static_cast<float>(i) + 100.0f, 0, 0};
    (void)store->append_block(std::span(micros).subspan(i, 1), std::span(samples).subspan(i, 1), readings);
  }
  return std::move(*store);
}

std::string error_of(const Result<CwaDataResult>& result) { return result ? "" : result.error().text(); }

void window_messages() {
  check(check_time_window(std::nullopt, std::nullopt).has_value());
  check(check_time_window(nan, std::nullopt).error().text() == "time range values must be finite");
  check(check_time_window(5.0, nan).error().text() == "time range values must be finite");
  check(check_time_window(std::nullopt, -inf).error().text() == "time range values must be finite");
  // The finiteness of both bounds is tested before their order.
  check(check_time_window(inf, 1.0).error().text() == "time range values must be finite");
  check(check_time_window(2.0, 2.0).error().text() == "range_end_time must be greater than range_start_time");
  check(check_time_window(3.0, 2.0).error().text() == "range_end_time must be greater than range_start_time");
}

void no_bounds_returns_even_an_empty_store() {
  auto result = filter_data_by_time_range(CwaDataResult{}, std::nullopt, std::nullopt);
  check(result.has_value() && result->size() == 0);
  check(error_of(filter_data_by_time_range(CwaDataResult{}, 0.0, std::nullopt)) ==
        "No samples remain after applying time range");
}

// Out-of-order timestamps make the selection a scatter of runs; every column
// must be compacted alike, optional ones included, absent ones left absent.
void scattered_selection_compacts_every_column() {
  const std::vector<std::int64_t> micros{3000000, 1000000, 4000000, 4500000, 1500000,
                                         5000000, 2000000, 2500000, 9000000};
  auto result = filter_data_by_time_range(store_of(micros), 2.0, 5.0);
  check(result.has_value());
  check(std::ranges::equal(result->timestamp.values(),
                           std::vector<std::int64_t>{3000000, 4000000, 4500000, 2000000, 2500000}));
  check(std::ranges::equal(result->columns[channel_index("acc_x")]->values(),
                           std::vector<float>{0, 2, 3, 6, 7}));
  check(std::ranges::equal(result->columns[channel_index("temperature")]->values(),
                           std::vector<float>{100, 102, 103, 106, 107}));
  check(result->columns[channel_index("gyro_z")]->size() == 5 && !result->columns[channel_index("mag_x")] &&
        !result->columns[channel_index("light")]);
}

void bounds_are_half_open() {
  const std::vector<std::int64_t> micros{1000000, 1500000, 2000000};
  auto from = filter_data_by_time_range(store_of(micros), 1.5, 2.0);
  check(from.has_value() && std::ranges::equal(from->timestamp.values(), std::vector<std::int64_t>{1500000}));
  auto before = filter_data_by_time_range(store_of(micros), 1.0, 1.5);
  check(before.has_value() &&
        std::ranges::equal(before->columns[channel_index("acc_x")]->values(), std::vector<float>{0}));
  auto open_end = filter_data_by_time_range(store_of(micros), 1.5, std::nullopt);
  check(open_end.has_value() && open_end->size() == 2);
  check(error_of(filter_data_by_time_range(store_of(micros), 1.6, 1.9)) ==
        "No samples remain after applying time range");
}

}  // namespace

TEST_SUITE(time_filter_tests) {
  window_messages();
  no_bounds_returns_even_an_empty_store();
  scattered_selection_compacts_every_column();
  bounds_are_half_open();
}
