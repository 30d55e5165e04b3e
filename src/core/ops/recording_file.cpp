#include "core/ops/recording_file.hpp"

#include "core/io/file.hpp"
#include "core/io/sector_reader.hpp"

namespace velnora {

Result<CwaHeader> read_recording_header(std::string_view path) { return read_cwa_header(path); }

Result<CwaHeader> read_checked_header(std::string_view path) {
  auto header = read_cwa_header(path);
  if (!header) return header;
  if (auto checked = open_checked_cwa_file(path); !checked) return fail(std::move(checked.error()));
  return header;
}

Result<std::uint64_t> count_block_positions(std::string_view path) {
  auto file = File::open_read(path);
  if (!file) return fail(std::move(file.error()));
  auto size = file->size();
  if (!size) return fail(std::move(size.error()));
  if (*size < metadata_size) return std::uint64_t{0};
  return (*size - metadata_size) / sector_size;
}

}  // namespace velnora
