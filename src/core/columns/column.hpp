#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
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
template <class T>
class Column {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  // Empty; maps nothing until the first append.
  Column() = default;
  Column(Column&& other) noexcept
      : buffer_(std::move(other.buffer_)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Column& operator=(Column&& other) noexcept {
    buffer_ = std::move(other.buffer_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
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
  T* data() { return reinterpret_cast<T*>(buffer_.data()); }
  const T* data() const { return reinterpret_cast<const T*>(buffer_.data()); }
  std::span<T> values() { return {data(), size_}; }
  std::span<const T> values() const { return {data(), size_}; }

  // Adds `count` elements and returns them for the caller to fill (their values
  // are unspecified). Errors: OutOfMemory when the mapping cannot grow, the column then
  // unchanged. Maps more memory only when the reservation is exhausted.
  Result<std::span<T>> extend(std::size_t count) {
    if (count > capacity_ - size_) [[unlikely]] {
      auto grown = grow_for(count);
      if (!grown) return fail(grown.error());
    }
    const std::span<T> added(data() + size_, count);
    size_ += count;
    return added;
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
    auto added = extend(count);
    if (!added) return fail(added.error());
    // Through the pointer: inlined into a block's append, g++ vectorizes this
    // where the span form stayed a loop of single-value stores.
    std::fill_n(added->data(), count, value);
    return {};
  }

  // Keeps the first `count` elements (no effect when there are fewer).
  void truncate(std::size_t count) { size_ = std::min(size_, count); }

  // Hands the storage over, without the unused tail pages; the column is left
  // empty. No errors, no allocation.
  ColumnBuffer release() && {
    buffer_.trim(size_ * sizeof(T));
    ColumnBuffer released{std::move(buffer_), std::exchange(size_, 0)};
    capacity_ = 0;
    return released;
  }

 private:
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
};

}  // namespace velnora
