#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "core/columns/column.hpp"
#include "core/columns/data_result.hpp"

using namespace velnora;

namespace {

std::size_t page() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

// How many pages of [begin, begin + bytes) are resident: none that was never written.
std::size_t resident_pages(const void* begin, std::size_t bytes) {
  const auto address = reinterpret_cast<std::uintptr_t>(begin);
  const std::uintptr_t first = address / page() * page();
  const std::size_t length = address + bytes - first;
  std::vector<unsigned char> flags((length + page() - 1) / page());
  check(mincore(reinterpret_cast<void*>(first), length, flags.data()) == 0);
  return static_cast<std::size_t>(std::ranges::count_if(flags, [](unsigned char f) { return (f & 1) != 0; }));
}

std::vector<std::uint32_t> bits_of(std::span<const float> values) {
  std::vector<std::uint32_t> bits;
  for (float v : values) bits.push_back(std::bit_cast<std::uint32_t>(v));
  return bits;
}

// 1, 2, 3, ... with -0.0 at every seventh place: a value that must be written.
std::vector<float> counting(std::size_t count) {
  std::vector<float> values;
  for (std::size_t i = 0; i < count; ++i) values.push_back(i % 7 == 3 ? -0.0f : static_cast<float>(i + 1));
  return values;
}

void empty_column_maps_nothing() {
  Column<float> column;
  check(column.reserve(0).has_value());
  ColumnBuffer released = std::move(column).release();
  check(released.length == 0 && released.memory.data() == nullptr && released.memory.mapped_bytes() == 0);
}

// The reservation is far too small: the column must remap several times and
// keep every value, then give back all but the pages it uses.
void growth_past_reservation_keeps_values() {
  Column<std::int64_t> column;
  check(column.reserve(1).has_value());
  constexpr std::size_t count = 3'000'000;  // 24 MB, past a 2 MiB reservation
  std::vector<std::int64_t> chunk(1000);
  for (std::size_t start = 0; start < count; start += chunk.size()) {
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::int64_t>(start + i) * 3 - 7;
    check(column.append(chunk).has_value());
  }
  check(column.size() == count);
  bool intact = true;
  for (std::size_t i = 0; i < count; ++i) intact &= column.data()[i] == static_cast<std::int64_t>(i) * 3 - 7;
  check(intact);
  ColumnBuffer released = std::move(column).release();
  check(column.size() == 0 && column.data() == nullptr);
  check(released.length == count);
  const std::size_t used = count * sizeof(std::int64_t);
  check(released.memory.mapped_bytes() == (used + page() - 1) / page() * page());
  check(reinterpret_cast<const std::int64_t*>(released.memory.data())[count - 1] ==
        static_cast<std::int64_t>(count - 1) * 3 - 7);
}

void copies_and_extend_append_in_order() {
  Column<float> column;
  check(column.append_copies(2.5f, 3).has_value());
  auto added = column.extend(2);
  check(added.has_value() && added->size() == 2);
  (*added)[0] = -1.0f;
  (*added)[1] = 7.0f;
  check(column.append_copies(0.0f, 0).has_value());
  const std::vector<float> expected{2.5f, 2.5f, 2.5f, -1.0f, 7.0f};
  check(std::ranges::equal(column.values(), expected));
  column.truncate(9);
  check(column.size() == 5);
  column.truncate(0);
  ColumnBuffer released = std::move(column).release();
  check(released.length == 0 && released.memory.data() == nullptr);
}

// Zeros past everything ever written are not stored: 16 MiB of them leave
// the mapping untouched, and still read as +0.0. A -0.0 is stored.
void zeros_past_the_high_water_mark_are_not_written() {
  constexpr std::size_t count = std::size_t{4} << 20;
  Column<float> column;
  check(column.reserve(count + 8).has_value());
  check(column.append_copies(0.0f, count / 2).has_value());
  check(column.append_zeros(count / 2).has_value());
  check(column.append_copies(-0.0f, 2).has_value());
  check(column.size() == count + 2);
  // The half of it away from the written end, whatever its huge page spans.
  check(resident_pages(column.data(), count / 2 * sizeof(float)) == 0);
  const std::vector<std::uint32_t> tail = bits_of(column.values().subspan(count - 2));
  check(tail == std::vector<std::uint32_t>{0, 0, 0x80000000u, 0x80000000u});
  check(std::ranges::all_of(column.values().first(count),
                            [](float v) { return std::bit_cast<std::uint32_t>(v) == 0; }));
}

// After a truncation the memory past the size holds old values: zeros
// appended there are written up to the high-water mark, and only past it skipped.
void zeros_below_the_high_water_mark_are_written() {
  Column<float> column;
  check(column.append(counting(100)).has_value());
  column.truncate(10);
  check(column.append_zeros(50).has_value());
  check(column.append_copies(0.0f, 100).has_value());
  check(column.append_copies(7.0f, 1).has_value());
  std::vector<float> expected = counting(10);
  expected.resize(160, 0.0f);
  expected.push_back(7.0f);
  check(bits_of(column.values()) == bits_of(expected));
}

// Moving down: stored values are moved, -0.0 among them; the zeros past the
// mark are written only onto memory once written. A column never written
// is not touched at all.
void move_down_writes_zeros_only_onto_written_memory() {
  Column<float> column;
  check(column.append(counting(100)).has_value());
  check(column.append_zeros(100).has_value());
  column.move_down(50, 0, 100);
  column.move_down(150, 100, 50);
  column.truncate(150);
  std::vector<float> expected = counting(100);
  expected.erase(expected.begin(), expected.begin() + 50);
  expected.resize(150, 0.0f);
  check(bits_of(column.values()) == bits_of(expected));

  constexpr std::size_t count = std::size_t{4} << 20;
  Column<float> zeros;
  check(zeros.append_zeros(count).has_value());
  zeros.move_down(count / 2, 0, count / 2);
  zeros.move_down(count / 4, count / 8, count / 8);
  check(resident_pages(zeros.data(), count * sizeof(float)) == 0);
}

void store_has_the_included_columns_and_appends_blocks() {
  auto store = CwaDataResult::create(
      IncludeFlags{.magnetometer = true, .temperature = false, .light = true, .battery = false}, 4);
  check(store.has_value());
  std::vector<std::string_view> names;
  store->for_each_column([&](std::string_view name, auto&) {
    names.push_back(name);
    return true;
  });
  const std::vector<std::string_view> expected{"timestamp", "acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y",
                                               "gyro_z",    "mag_x", "mag_y", "mag_z", "light"};
  check(names == expected);
  const SampleData samples[] = {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {-1, -2, -3, -4, -5, -6, 0, 0, 0}};
  const std::int64_t times[] = {10, 20};
  check(store->append_block(times, samples, BlockReadings{25.0f, 1.0f, 4.0f}).has_value());
  check(store->append_block(std::span(times, 1), std::span(samples, 1), BlockReadings{26.0f, 10.0f, 4.0f})
            .has_value());
  const auto mismatch = store->append_block(times, std::span(samples, 1), BlockReadings{});
  check(!mismatch && mismatch.error().text() ==
                         "velnora internal error: a block's timestamps and samples differ in count");
  check(store->size() == 3);
  check(std::ranges::equal(store->columns[channel_index("acc_z")]->values(), std::vector<float>{3, -3, 3}));
  check(std::ranges::equal(store->columns[channel_index("gyro_x")]->values(), std::vector<float>{4, -4, 4}));
  check(std::ranges::equal(store->columns[channel_index("mag_z")]->values(), std::vector<float>{9, 0, 9}));
  check(std::ranges::equal(store->columns[channel_index("light")]->values(),
                           std::vector<float>{1.0f, 1.0f, 10.0f}));
  check(!store->columns[channel_index("temperature")] && !store->columns[channel_index("battery")]);
}

}  // namespace

TEST_SUITE(column_tests) {
  empty_column_maps_nothing();
  growth_past_reservation_keeps_values();
  copies_and_extend_append_in_order();
  zeros_past_the_high_water_mark_are_not_written();
  zeros_below_the_high_water_mark_are_written();
  move_down_writes_zeros_only_onto_written_memory();
  store_has_the_included_columns_and_appends_blocks();
}
