#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include "core/base/cwa_error.hpp"
#include "core/io/mapped_buffer.hpp"

namespace velnora {

// A column's storage after it left its column: `length` elements at the start
// of `memory`, freed when the handle is destroyed.
struct ColumnBuffer {
  MappedBuffer memory;
  std::size_t length = 0;
};

// A growable column of plain values on its own memory mapping. Appends never
// copy what is already stored: growth moves page tables, not bytes. Spans and
// pointers into the column are invalidated by any append that grows it.
//
// A fresh mapping reads as all bits clear, and a page never written costs no
// memory. So zeros (all bits clear: +0.0, never -0.0) are only written where
// the column once wrote something: at or past `written_end_`, the high-water
// mark of every write, the mapping has never been touched, and a zero there
// is left unwritten. Whole columns of zeros, such as the gyroscope of a 3-axis
// recording, then take no memory at all.
template <class T>
class Column {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  // Empty; maps nothing until the first append.
  Column() = default;
  Column(Column&& other) noexcept
      : buffer_(std::move(other.buffer_)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        written_end_(std::exchange(other.written_end_, 0)) {}
  Column& operator=(Column&& other) noexcept {
    buffer_ = std::move(other.buffer_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    written_end_ = std::exchange(other.written_end_, 0);
    return *this;
  }

  // Makes room for `capacity` elements in all; address space only, so a
  // generous estimate is cheap. Errors: OutOfMemory, the column then unchanged.
  Result<void> reserve(std::size_t capacity) {
    if (capacity <= capacity_) return {};
    return grow_to(capacity);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Elements that fit before the mapping has to grow, which moves it.
  std::size_t capacity() const { return capacity_; }
  T* data() { return reinterpret_cast<T*>(buffer_.data()); }
  const T* data() const { return reinterpret_cast<const T*>(buffer_.data()); }
  std::span<T> values() { return {data(), size_}; }
  std::span<const T> values() const { return {data(), size_}; }

  // Adds `count` elements and returns them for the caller to fill (their values
  // are unspecified). Errors: OutOfMemory when the mapping cannot grow, the column then
  // unchanged. Maps more memory only when the reservation is exhausted.
  Result<std::span<T>> extend(std::size_t count) {
    if (auto room = make_room(count); !room) return fail(room.error());
    const std::span<T> added(data() + size_, count);
    size_ += count;
    written_end_ = std::max(written_end_, size_);
    return added;
  }

  // Appends `count` zeros, writing only those below the high-water mark.
  // Errors as extend.
  Result<void> append_zeros(std::size_t count) {
    if (auto room = make_room(count); !room) return fail(room.error());
    if (size_ < written_end_) std::fill_n(data() + size_, std::min(count, written_end_ - size_), T{});
    size_ += count;
    return {};
  }

  // Adds `count` zeros for the caller to overwrite where it likes, and
  // returns them; zeros are written only below the high-water mark, which
  // then moves to the new end. Errors as extend.
  Result<std::span<T>> extend_zeroed(std::size_t count) {
    if (auto added = append_zeros(count); !added) return fail(added.error());
    written_end_ = std::max(written_end_, size_);
    return std::span<T>(data() + size_ - count, count);
  }

  // Appends values that do not live in this column. Errors as extend.
  Result<void> append(std::span<const T> values) {
    auto added = extend(values.size());
    if (!added) return fail(added.error());
    std::ranges::copy(values, added->begin());
    return {};
  }

  // Appends `count` copies of one value. Errors as extend.
  Result<void> append_copies(T value, std::size_t count) {
    if (is_zero(value)) return append_zeros(count);
    auto added = extend(count);
    if (!added) return fail(added.error());
    // Through the pointer: inlined into a block's append, g++ vectorizes this
    // where the span form stayed a loop of single-value stores.
    std::fill_n(added->data(), count, value);
    return {};
  }

  // Moves `count` elements from index `from` down to index `to` (to <= from,
  // both ranges within size()), as memmove would. The part of the source past
  // the high-water mark is zeros: it is written only where its destination
  // was written before.
  void move_down(std::size_t from, std::size_t to, std::size_t count) {
    const std::size_t stored = from < written_end_ ? std::min(count, written_end_ - from) : 0;
    if (to != from && stored != 0) std::memmove(data() + to, data() + from, stored * sizeof(T));
    const std::size_t zeros_begin = to + stored;
    const std::size_t zeros_end = std::min(to + count, written_end_);
    if (zeros_begin < zeros_end) std::fill_n(data() + zeros_begin, zeros_end - zeros_begin, T{});
  }

  // Counts the mapping up to element `end` (within capacity()) as written,
  // by whoever wrote there straight through data(): zeros appended there
  // later are then written too.
  void mark_written(std::size_t end) { written_end_ = std::max(written_end_, std::min(end, capacity_)); }

  // Keeps the first `count` elements (no effect when there are fewer). What
  // lies past them stays written: the high-water mark does not move back.
  void truncate(std::size_t count) { size_ = std::min(size_, count); }

  // Hands the storage over, without the unused tail pages; the column is left
  // empty. No errors, no allocation.
  ColumnBuffer release() && {
    buffer_.trim(size_ * sizeof(T));
    ColumnBuffer released{std::move(buffer_), std::exchange(size_, 0)};
    capacity_ = 0;
    written_end_ = 0;
    return released;
  }

 private:
  static constexpr bool is_zero(const T& value) {
    return std::ranges::all_of(std::bit_cast<std::array<std::byte, sizeof(T)>>(value),
                               [](std::byte b) { return b == std::byte{0}; });
  }

  Result<void> make_room(std::size_t count) {
    if (count > capacity_ - size_) [[unlikely]]
      return grow_for(count);
    return {};
  }

  [[gnu::noinline]] Result<void> grow_for(std::size_t count) {
    if (count > max_elements - size_) return fail(CwaError::io_errno(ENOMEM));
    // Doubling keeps the number of remaps logarithmic when a caller's hint
    // was far too small.
    const std::size_t doubled = capacity_ <= max_elements / 2 ? capacity_ * 2 : max_elements;
    return grow_to(std::max(size_ + count, doubled));
  }

  Result<void> grow_to(std::size_t capacity) {
    if (capacity > max_elements) return fail(CwaError::io_errno(ENOMEM));
    auto grown = buffer_.grow(capacity * sizeof(T));
    if (!grown) return grown;
    capacity_ = buffer_.mapped_bytes() / sizeof(T);
    return {};
  }

  static constexpr std::size_t max_elements = SIZE_MAX / sizeof(T);

  MappedBuffer buffer_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t written_end_ = 0;  // no element at or past it was ever written
};

}  // namespace velnora
