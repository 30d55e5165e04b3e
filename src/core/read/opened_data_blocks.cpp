#include "core/read/opened_data_blocks.hpp"

#include <array>
#include <limits>

#include "core/format/cwa_file_check.hpp"
#include "core/format/packet_meta.hpp"

namespace velnora {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// One sector at a block position, read directly: the backward search visits
// single sectors in reverse order, where a read-ahead buffer would only waste reads.
Result<std::array<std::byte, sector_size>> read_sector_at(const File& file, std::uint64_t index) {
  if (auto moved = file.seek(metadata_size + sector_size * index); !moved)
    return fail(std::move(moved.error()));
  std::array<std::byte, sector_size> sector;
  auto filled = file.read_up_to(sector);
  if (!filled) return fail(std::move(filled.error()));
  if (*filled == 0) return fail("Unexpected end of CWA data");
  if (*filled < sector_size) return fail(CwaError::unexpected_eof());
  return sector;
}

// The natural end of the nearest data block before `start`, searching backwards.
Result<std::optional<double>> previous_block_end(const File& file, std::uint64_t start) {
  for (std::uint64_t index = start; index-- > 0;) {
    auto sector = read_sector_at(file, index);
    if (!sector) return fail(std::move(sector.error()));
    auto meta = packet_meta(Sector(*sector));
    if (!meta) return fail(std::move(meta.error()));
    if (*meta) return std::optional<double>((*meta)->natural_bounds().end);
  }
  return std::optional<double>();
}

}  // namespace

Result<OpenedDataBlocks> open_cwa_data_blocks(std::string_view path, std::optional<std::uint64_t> start_block,
                                              std::optional<std::uint64_t> block_count) {
  auto checked = open_checked_cwa_file(path);
  if (!checked) return fail(std::move(checked.error()));
  const std::uint64_t total = checked->block_count;
  const std::uint64_t start = start_block.value_or(0);
  if (start >= total) return fail("Start block is beyond file size");
  const std::uint64_t count = block_count.value_or(total - start);
  const std::uint64_t end = std::min(saturating_add(start, count), total);

  auto prev_end = previous_block_end(checked->file, start);
  if (!prev_end) return fail(std::move(prev_end.error()));

  SectorReader reader(std::move(checked->file));
  if (auto moved = reader.seek_block(start); !moved) return fail(std::move(moved.error()));
  return OpenedDataBlocks{std::move(reader), start, end, *prev_end};
}

}  // namespace velnora
