#include "core/read/decoded_block_stream.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <span>

#include "core/base/interruption.hpp"
#include "core/format/cwa_file.hpp"
#include "core/format/data_block.hpp"

namespace velnora {

namespace {

// A block costs up to tens of microseconds (as CSV rows); asking every few
// dozen keeps the check off the profile of a scan over empty sectors.
constexpr std::uint64_t positions_between_polls = 64;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// One sector at a block position, read directly.
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

// The natural end of the data block in `sector`, at block position `index`,
// or nothing when it holds none. A malformed block is its message's error;
// read past damage, it is listed in `damaged` as lying outside the range and
// ends the search with a NaN end instead, after which the block clock keeps
// the next block's natural start, as it does after a damaged block mid-read.
Result<std::optional<double>> data_block_end(Sector sector, std::uint64_t index, DamagedBlocks* damaged) {
  auto block = screen_data_block(sector);
  if (!block && damaged != nullptr) {
    damaged->push_back(damaged_entry(block.error(), sector, index, true));
    return std::optional<double>(std::numeric_limits<double>::quiet_NaN());
  }
  if (!block) return fail(std::move(block.error()));
  if (!*block) return std::optional<double>();
  return std::optional<double>(natural_timing(**block).end);
}

// The search over block positions [first, end), last to first, one sector per
// read.
Result<std::optional<double>> search_sector_by_sector(const File& file, std::uint64_t first,
                                                      std::uint64_t end, DamagedBlocks* damaged) {
  for (std::uint64_t index = end; index-- > first;) {
    auto sector = read_sector_at(file, index);
    if (!sector) return fail(std::move(sector.error()));
    auto found = data_block_end(Sector(*sector), index, damaged);
    if (!found || *found) return found;
  }
  return std::optional<double>();
}

// Fills `chunk` from block position `first`; false on any failure or a short file.
bool read_whole_chunk(const File& file, std::uint64_t first, std::span<std::byte> chunk) {
  if (!file.seek(metadata_size + sector_size * first)) return false;
  auto filled = file.read_up_to(chunk);
  return filled && *filled == chunk.size();
}

// The search over the block positions whose sectors fill `chunk`, from
// `first` on, last to first, with one read; none for a hole of a sparse
// file, whose zero sectors hold no data block. A read that fails or comes up
// short is done again sector by sector, which meets its error at the very
// sector where it lies.
Result<std::optional<double>> search_chunk(const File& file, std::uint64_t first, std::span<std::byte> chunk,
                                           DamagedBlocks* damaged) {
  if (!file.may_hold_data(metadata_size + sector_size * first, chunk.size())) return std::optional<double>();
  if (!read_whole_chunk(file, first, chunk)) {
    return search_sector_by_sector(file, first, first + chunk.size() / sector_size, damaged);
  }
  for (std::size_t offset = chunk.size(); offset > 0;) {
    offset -= sector_size;
    auto found = data_block_end(Sector(chunk.subspan(offset).first<sector_size>()),
                                first + offset / sector_size, damaged);
    if (!found || *found) return found;
  }
  return std::optional<double>();
}

// The natural end of the nearest data block before `start`, no further back
// than `look_back` positions, searching backwards with reads that grow to the
// sector reader's 1 MiB: the block is nearly always the adjacent sector, but
// may lie gigabytes back.
Result<std::optional<double>> previous_block_end(const File& file, std::uint64_t start,
                                                 DamagedBlocks* damaged, std::uint64_t look_back) {
  constexpr std::uint64_t first_chunk_sectors = 8;
  constexpr std::uint64_t max_chunk_sectors = SectorReader::buffer_sectors;
  const std::uint64_t floor = start - std::min(start, look_back);
  if (start == floor) return std::optional<double>();
  const auto buffer = std::make_unique_for_overwrite<std::byte[]>(sector_size * max_chunk_sectors);
  std::uint64_t end = start;
  std::uint64_t sectors = first_chunk_sectors;
  while (end > floor) {
    if (auto go_on = interruption_point(); !go_on) return fail(std::move(go_on.error()));
    const std::uint64_t first = end - std::min(end - floor, sectors);
    auto found = search_chunk(file, first, std::span(buffer.get(), sector_size * (end - first)), damaged);
    if (!found || *found) return found;
    end = first;
    sectors = std::min(2 * sectors, max_chunk_sectors);
  }
  return std::optional<double>();
}

}  // namespace

Result<OpenedDataBlocks> open_cwa_data_blocks(std::string_view path, std::optional<std::uint64_t> start_block,
                                              std::optional<std::uint64_t> block_count,
                                              DamagedBlocks* damaged, std::uint64_t look_back) {
  auto checked = open_checked_cwa_file(path);
  if (!checked) return fail(std::move(checked.error()));
  const std::uint64_t total = checked->block_count;
  const std::uint64_t start = start_block.value_or(0);
  if (start >= total) return fail("Start block is beyond file size");
  const std::uint64_t count = block_count.value_or(total - start);
  const std::uint64_t end = std::min(saturating_add(start, count), total);

  auto previous_end = previous_block_end(checked->file, start, damaged, look_back);
  if (!previous_end) return fail(std::move(previous_end.error()));

  SectorReader reader(std::move(checked->file));
  if (auto moved = reader.seek_block(start); !moved) return fail(std::move(moved.error()));
  return OpenedDataBlocks{std::move(reader), start, end, BlockClock(*previous_end)};
}

Result<DecodedBlockStream> DecodedBlockStream::open(std::string_view path,
                                                    std::optional<std::uint64_t> start_block,
                                                    std::optional<std::uint64_t> block_count,
                                                    bool include_magnetometer, DamagedBlocks* damaged,
                                                    std::uint64_t look_back) {
  auto opened = open_cwa_data_blocks(path, start_block, block_count, damaged, look_back);
  if (!opened) return fail(std::move(opened.error()));
  return DecodedBlockStream(std::move(*opened), include_magnetometer, damaged);
}

Result<std::optional<DecodedBlock>> DecodedBlockStream::next() {
  while (position_ < opened_.end_block) {
    if (position_ % positions_between_polls == 0) {
      if (auto going_on = interruption_point(); !going_on) return fail(std::move(going_on.error()));
    }
    ++position_;
    auto sector = opened_.reader.next();
    if (!sector) return fail(std::move(sector.error()));
    // The file was checked to hold this block: a missing sector means it shrank.
    if (!*sector) return fail("Unexpected end of CWA data");
    auto block = decode(**sector, position_ - 1);
    if (!block || *block) return block;
  }
  return std::optional<DecodedBlock>();
}

Result<std::optional<DecodedBlock>> DecodedBlockStream::decode(Sector sector, std::uint64_t position) {
  auto block = screen_past_damage(sector, position, damaged_, opened_.clock);
  if (!block) return fail(std::move(block.error()));
  if (!*block) return std::optional<DecodedBlock>();
  const DecodedSamples decoded = (*block)->parse_samples(include_magnetometer_, samples_);
  const BlockTiming timing = opened_.clock.next(**block);
  const std::span<std::int64_t> timestamps(timestamps_.data(), timing.sample_count);
  timing.sample_timestamps(timestamps);
  return DecodedBlock{timestamps, decoded.samples, decoded.has_magnetometer, (*block)->readings()};
}

}  // namespace velnora
