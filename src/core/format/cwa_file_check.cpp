#include "core/format/cwa_file_check.hpp"

#include <array>
#include <cstddef>

#include "core/io/sector.hpp"

namespace velnora {

Result<CheckedCwaFile> open_checked_cwa_file(std::string_view path) {
  auto file = File::open_read(path);
  if (!file) return fail(std::move(file.error()));
  std::array<std::byte, 2> magic;
  if (auto read = file->read_exact(magic); !read) return fail(std::move(read.error()));
  if (magic[0] != std::byte{'M'} || magic[1] != std::byte{'D'}) return fail("Not a valid CWA file");
  auto size = file->size();
  if (!size) return fail(std::move(size.error()));
  if (*size < metadata_size) return fail("File too small to be a valid CWA file");
  if (*size % sector_size != 0) return fail("Incomplete CWA data block");
  return CheckedCwaFile{std::move(*file), (*size - metadata_size) / sector_size};
}

}  // namespace velnora
