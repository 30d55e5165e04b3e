#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/activity/windowed_stage.hpp"
#include "core/io/mapped_buffer.hpp"

namespace velnora {

// The keys of a sample's axes on the readings' grid (CountedWindow).
using AxisKeys = std::array<std::uint32_t, 3>;

// The median of a window of one axis's values: the middle value of an odd
// count, the mean of the two middle values (in double, rounded to float) of
// an even one. Two forms give the same bits for the same values: a sorted
// vector, for any float, and counts over the grid of the decoded readings.

// The values kept sorted, ordered as their bits are (-0 before +0, NaNs at
// the ends), so that equal bits are the only ties and the median depends on
// the values alone, whatever their order of arrival.
class SortedWindow {
 public:
  // Allocates room for `capacity` values.
  explicit SortedWindow(std::size_t capacity) { values_.reserve(capacity); }

  void insert(float value);
  // `value` must be held.
  void erase(float value);
  // erase(leaving) then insert(entering), moving only the values ranked between them.
  void replace(float leaving, float entering);
  void clear() { values_.clear(); }
  // The window must hold a value.
  float median() const;

 private:
  std::vector<float> values_;
};

// Every reading the decoder makes is an integer multiple of 2^-15 g under
// 128 g in size (a 16-bit or a scaled 10-bit integer over 256 << code, code
// < 8), so its key, value * 2^15, is an exact integer in [-2^22, 2^22). The
// window is kept as a count per key over that range, with bits marking the
// keys held, and the median's key with the count of values below it: an
// update moves the median by a held key or two, found from the bits in a
// few word operations, whatever the window's length. Keys are counted in
// steps as coarse as the values met allow (2^7 keys for the usual 2^-8 g),
// so that a window's counts lie in a few cache lines. The arrays are
// reserved address space, of which only the pages of the keys met are ever
// touched. Values leave in the order they entered, their keys kept in that order.
class CountedWindow {
 public:
  // A value's key, offset by 2^22 to be unsigned, and whether the value is
  // on the grid (neither between keys, nor 128 g or more in size, nor -0,
  // nor NaN).
  struct Key {
    std::uint32_t key;
    bool on_grid;
  };
  static Key key_of(float value) {
    std::array<std::uint32_t, 4> keys;
    const bool on_grid = keys_of({value, 0.0f, 0.0f, 0.0f}, keys) == 0;
    return {keys[0], on_grid};
  }
  // The keys of four values at once; says which are off the grid, as bits.
  static unsigned keys_of(const std::array<float, 4>& values, std::array<std::uint32_t, 4>& keys) {
    Words on_grid;
    keys = std::bit_cast<std::array<std::uint32_t, 4>>(keys_of(std::bit_cast<Floats>(values), on_grid));
    return (on_grid[0] == 0 ? 1u : 0u) | (on_grid[1] == 0 ? 2u : 0u) | (on_grid[2] == 0 ? 4u : 0u) |
           (on_grid[3] == 0 ? 8u : 0u);
  }
  // The keys of each axis of `samples` into `keys`, of as many: whether all
  // are on the grid, and the bits set in any key on it.
  struct Keys {
    bool on_grid;
    std::uint32_t bits;
  };
  static Keys keys_of(std::span<const Axes> samples, std::span<AxisKeys> keys);

  // A window of up to `capacity` values, or nothing when the counts cannot
  // be reserved or would not fit 16 bits: the sorted form then serves.
  // Allocates the keys' order.
  static std::optional<CountedWindow> reserve(std::size_t capacity);

  // Adds the value of an on-grid key as the newest.
  void push(std::uint32_t key);
  // Removes the oldest value.
  void pop();
  // Counts in steps fine enough for on-grid keys whose bits are among `bits`.
  void admit(std::uint32_t bits) {
    if ((bits & ((1u << step_) - 1)) != 0) refine(std::countr_zero(bits));
  }
  // For each sample's keys: pop(), push(keys[i][axis]), and the median into
  // medians[i][axis]. The keys must have been admitted.
  void slide(std::span<const AxisKeys> keys, std::span<Axes> medians, std::size_t axis);
  std::size_t size() const { return size_; }
  // The window must hold a value.
  float median() const;
  // Moves the values held to `sorted`, leaving this window empty.
  void drain_into(SortedWindow& sorted);
  void clear();

 private:
  static constexpr int key_bits = 23;
  static constexpr std::size_t key_count = std::size_t{1} << key_bits;
  static constexpr std::uint32_t key_offset = std::uint32_t{1} << (key_bits - 1);
  static constexpr float key_scale = 0x1p15f;
  static constexpr int levels = 4;  // bits over 2^23, 2^17, 2^11 and 2^5 places

  using Floats = float __attribute__((vector_size(16)));
  using Words = std::uint32_t __attribute__((vector_size(16)));
  using Ints = std::int32_t __attribute__((vector_size(16)));
  // The keys of four values, all-ones in `on_grid` where a value is on the grid.
  static Words keys_of(Floats value, Words& on_grid) {
    const Floats scaled = value * key_scale;  // exact: a power of two
    const auto bits = std::bit_cast<Words>(scaled);
    // A value out of range (NaN too) converts as 2^23, which differs from
    // it: the conversion is then defined, and the key off the grid.
    const auto in_range = std::bit_cast<Words>((bits & 0x7FFFFFFFu) <= std::bit_cast<std::uint32_t>(0x1p22f));
    const Words safe = (bits & in_range) | (std::bit_cast<std::uint32_t>(0x1p23f) & ~in_range);
    const Ints whole = __builtin_convertvector(std::bit_cast<Floats>(safe), Ints);
    const Words key = std::bit_cast<Words>(whole) + key_offset;
    const auto exact = std::bit_cast<Words>(__builtin_convertvector(whole, Floats) == scaled);
    const auto under_top = std::bit_cast<Words>(key < static_cast<std::uint32_t>(key_count));
    const auto not_minus_zero = std::bit_cast<Words>(std::bit_cast<Words>(value) != 0x80000000u);
    on_grid = exact & under_top & not_minus_zero;
    return key;
  }

  CountedWindow(MappedBuffer memory, std::size_t capacity);

  float value_at(std::uint32_t index) const;
  // Hands each value held to `take(float)`, in order, and empties the window.
  template <class Take>
  void drain(Take take);
  // Counts every key in steps of 2^step, step under the current one.
  void refine(int step);
  // Counts at `index` `n` values more or fewer, its bits set or cleared as
  // its count starts or ends.
  void count(std::uint32_t index, std::uint16_t n = 1);
  void uncount(std::uint32_t index, std::uint16_t n = 1);
  // The first held index at or after `from`, the last at or before it; one must exist.
  std::uint32_t next_held(std::uint32_t from) const;
  std::uint32_t previous_held(std::uint32_t from) const;
  // Moves `median` to the held index where `rank` lies, with `below` values under it.
  void settle(std::uint32_t& median, std::size_t& below, std::size_t rank) const;

  MappedBuffer memory_;
  std::uint16_t* counts_;
  std::array<std::uint64_t*, levels> bits_;  // level 0 marks the indices held
  int step_;
  std::vector<std::uint32_t> order_;  // the keys held, oldest at `oldest_`, a ring
  std::size_t oldest_ = 0;
  std::size_t size_ = 0;
  std::uint32_t median_ = 0;  // an index, held when the window is not empty
  std::size_t below_ = 0;     // the values at indices under median_
};

}  // namespace velnora
