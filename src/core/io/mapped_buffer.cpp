#include "core/io/mapped_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace velnora {

namespace {

// Mappings are sized in whole transparent huge pages, so that the kernel can
// back them with huge pages from the first byte: at gigabytes of columns the
// page faults of first touch dominate the read, and huge pages cut them 512-fold.
constexpr std::size_t huge_page = std::size_t{2} << 20;

std::size_t page_size() {
  static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// `bytes` rounded up to a multiple of `unit` (a power of two), or 0 on overflow.
std::size_t round_up(std::size_t bytes, std::size_t unit) {
  if (bytes > SIZE_MAX - (unit - 1)) return 0;
  return (bytes + unit - 1) & ~(unit - 1);
}

// Only advice: a kernel without transparent huge pages still gives a working mapping.
void advise_huge_pages(std::byte* address, std::size_t length) { madvise(address, length, MADV_HUGEPAGE); }

std::unexpected<CwaError> out_of_memory() { return fail(CwaError::io_errno(ENOMEM)); }

}  // namespace

MappedBuffer& MappedBuffer::operator=(MappedBuffer&& other) noexcept {
  if (this != &other) {
    if (address_ != nullptr) munmap(address_, length_);
    address_ = std::exchange(other.address_, nullptr);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

MappedBuffer::~MappedBuffer() {
  if (address_ != nullptr) munmap(address_, length_);
}

Result<MappedBuffer> MappedBuffer::reserve(std::size_t bytes) {
  if (bytes == 0) return MappedBuffer();
  const std::size_t length = round_up(bytes, huge_page);
  if (length == 0) return out_of_memory();
  void* address =
      mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (address == MAP_FAILED) return fail(CwaError::io_errno(errno));
  auto* start = static_cast<std::byte*>(address);
  advise_huge_pages(start, length);
  return MappedBuffer(start, length);
}

Result<void> MappedBuffer::grow(std::size_t bytes) {
  if (bytes <= length_) return {};
  if (address_ == nullptr) {
    auto fresh = reserve(bytes);
    if (!fresh) return fail(fresh.error());
    *this = std::move(*fresh);
    return {};
  }
  const std::size_t length = round_up(bytes, huge_page);
  if (length == 0) return out_of_memory();
  void* address = mremap(address_, length_, length, MREMAP_MAYMOVE);
  if (address == MAP_FAILED) return fail(CwaError::io_errno(errno));
  address_ = static_cast<std::byte*>(address);
  length_ = length;
  advise_huge_pages(address_, length_);
  return {};
}

void MappedBuffer::trim(std::size_t used_bytes) {
  if (used_bytes >= length_) return;
  // Cannot overflow, and stays within the mapping: its length is a whole number of pages.
  const std::size_t keep = round_up(used_bytes, page_size());
  if (keep == length_) return;
  if (keep == 0) {
    munmap(address_, length_);
    address_ = nullptr;
    length_ = 0;
    return;
  }
  munmap(address_ + keep, length_ - keep);
  length_ = keep;
}

}  // namespace velnora
