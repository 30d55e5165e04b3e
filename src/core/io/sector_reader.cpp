#include "core/io/sector_reader.hpp"

#include <fcntl.h>

#include <cstring>
#include <span>

namespace velnora {

Result<std::uint64_t> count_block_positions(std::string_view path) {
  auto file = File::open_read(path);
  if (!file) return fail(std::move(file.error()));
  auto size = file->size();
  if (!size) return fail(std::move(size.error()));
  if (*size < metadata_size) return std::uint64_t{0};
  return (*size - metadata_size) / sector_size;
}

SectorReader::SectorReader(File file)
    : file_(std::move(file)), buffer_(std::make_unique_for_overwrite<std::byte[]>(buffer_size)) {
  // Recordings are read front to back; a larger read-ahead window helps when
  // the file is not in the page cache. Only a hint: a failure changes nothing.
  ::posix_fadvise(file_.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
}

Result<std::optional<Sector>> SectorReader::next() {
  if (buffered() < sector_size) {
    if (auto filled = refill(); !filled) return fail(std::move(filled.error()));
    if (buffered() < sector_size) return end_of_data();
  }
  const Sector sector(buffer_.get() + begin_, sector_size);
  begin_ += sector_size;
  return sector;
}

// Reads until at least one whole sector is buffered or the file ends. Reading
// stops there rather than insisting on a full buffer, so an error further on
// is only met when the sectors before it have been served.
Result<void> SectorReader::refill() {
  const std::size_t kept = buffered();
  std::memmove(buffer_.get(), buffer_.get() + begin_, kept);
  begin_ = 0;
  end_ = kept;
  while (end_ < sector_size) {
    auto got = file_.read_some(std::span(buffer_.get() + end_, buffer_size - end_), true);
    if (!got) return fail(std::move(got.error()));
    if (*got == 0) break;
    end_ += *got;
  }
  return {};
}

// A file that stops inside a sector fails on that sector; its bytes are gone,
// so the next request finds the end of the file, as a sector-by-sector reader
// would.
Result<std::optional<Sector>> SectorReader::end_of_data() {
  if (buffered() == 0) return std::nullopt;
  begin_ = end_ = 0;
  return fail(CwaError::unexpected_eof());
}

Result<void> SectorReader::seek(std::uint64_t offset) {
  begin_ = end_ = 0;
  return file_.seek(offset);
}

}  // namespace velnora
