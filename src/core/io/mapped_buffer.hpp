#pragma once

#include <cstddef>
#include <utility>

#include "core/base/cwa_error.hpp"

namespace velnora {

// An anonymous private memory mapping that backs one column. Reserved address
// space costs nothing until a page is first written, so a column can reserve
// room for a whole planned read up front; it grows by moving page tables, never
// by copying, and gives back the unused tail at the end. Unmapped by the
// destructor unless moved away.
class MappedBuffer {
 public:
  MappedBuffer() = default;
  MappedBuffer(MappedBuffer&& other) noexcept
      : address_(std::exchange(other.address_, nullptr)), length_(std::exchange(other.length_, 0)) {}
  MappedBuffer& operator=(MappedBuffer&& other) noexcept;
  MappedBuffer(const MappedBuffer&) = delete;
  MappedBuffer& operator=(const MappedBuffer&) = delete;
  ~MappedBuffer();

  // Room for at least `bytes` (nothing is mapped for 0). Errors: OutOfMemory
  // when refused, Io for other failures of mmap.
  // Reserves address space only.
  static Result<MappedBuffer> reserve(std::size_t bytes);

  // Grows the mapping to at least `bytes`, keeping its contents; the address may
  // change. Errors: OutOfMemory when refused, Io for other failures of mmap
  // or mremap; the buffer then unchanged.
  Result<void> grow(std::size_t bytes);

  // Unmaps the whole pages past the first `used_bytes`; unmaps everything for 0.
  // No errors, no allocation.
  void trim(std::size_t used_bytes);

  std::byte* data() const { return address_; }
  std::size_t mapped_bytes() const { return length_; }

 private:
  MappedBuffer(std::byte* address, std::size_t length) : address_(address), length_(length) {}

  std::byte* address_ = nullptr;
  std::size_t length_ = 0;
};

}  // namespace velnora
