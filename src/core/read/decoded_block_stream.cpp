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

// What the backward search has met, nearest first: the data blocks before a
// range that a reader wants (its clock one, a judge of blocks' places two),
// and whether damage ended the search.
struct FoundBefore {
  std::size_t wanted;
  PreviousBlocks blocks;
  bool damage = false;
  bool done() const { return damage || blocks.count == wanted; }
};

// Takes what the sector at block position `index` holds. The nearest data
// block's malformed block is its message's error; read past damage, it is
// listed in `damaged` as lying outside the range and ends the search, after
// which the block clock keeps the next block's natural start, as it does after
// a damaged block mid-read. Damage behind the nearest data block only ends
// the search: a plain read never looks that far.
Result<void> take_sector(Sector sector, std::uint64_t index, DamagedBlocks* damaged, FoundBefore& found) {
  auto block = screen_data_block(sector);
  if (!block && found.blocks.count > 0) {
    found.damage = true;
    return {};
  }
  if (!block && damaged != nullptr) {
    damaged->push_back(damaged_entry(block.error(), sector, index, true));
    found.damage = true;
    return {};
  }
  if (!block) return fail(std::move(block.error()).at_damaged_block(index));
  if (*block) found.blocks.nearest_first[found.blocks.count++] = {index, natural_timing(**block)};
  return {};
}

// The search over block positions [first, end), last to first, one sector per
// read.
Result<void> search_sector_by_sector(const File& file, std::uint64_t first, std::uint64_t end,
                                     DamagedBlocks* damaged, FoundBefore& found) {
  for (std::uint64_t index = end; index-- > first && !found.done();) {
    auto sector = read_sector_at(file, index);
    if (!sector) return fail(std::move(sector.error()));
    if (auto taken = take_sector(Sector(*sector), index, damaged, found); !taken) return taken;
  }
  return {};
}

// Fills `chunk` from block position `first`; false on any failure or a short file.
bool read_whole_chunk(const File& file, std::uint64_t first, std::span<std::byte> chunk) {
  if (!file.seek(metadata_size + sector_size * first)) return false;
  auto filled = file.read_up_to(chunk);
  return filled && *filled == chunk.size();
}

// The search over the block positions whose sectors fill `chunk`, from
// `first` on, last to first, with one read; nothing for a hole of a sparse
// file, whose zero sectors hold no data block. A read that fails or comes up
// short is done again sector by sector, which meets its error at the very
// sector where it lies.
Result<void> search_chunk(const File& file, std::uint64_t first, std::span<std::byte> chunk,
                          DamagedBlocks* damaged, FoundBefore& found) {
  if (!file.may_hold_data(metadata_size + sector_size * first, chunk.size())) return {};
  if (!read_whole_chunk(file, first, chunk)) {
    return search_sector_by_sector(file, first, first + chunk.size() / sector_size, damaged, found);
  }
  for (std::size_t offset = chunk.size(); offset > 0 && !found.done();) {
    offset -= sector_size;
    auto taken = take_sector(Sector(chunk.subspan(offset).first<sector_size>()), first + offset / sector_size,
                             damaged, found);
    if (!taken) return taken;
  }
  return {};
}

// The nearest data blocks before `start`, no further back than `look_back`
// positions, searching backwards with reads that grow to the sector reader's
// 1 MiB: the block is nearly always the adjacent sector, but may lie
// gigabytes back.
Result<FoundBefore> previous_blocks(const File& file, std::uint64_t start, DamagedBlocks* damaged,
                                    std::uint64_t look_back, std::size_t wanted) {
  constexpr std::uint64_t first_chunk_sectors = 8;
  constexpr std::uint64_t max_chunk_sectors = SectorReader::buffer_sectors;
  FoundBefore found{wanted, {}};
  const std::uint64_t floor = start - std::min(start, look_back);
  if (start == floor) return found;
  const auto buffer = std::make_unique_for_overwrite<std::byte[]>(sector_size * max_chunk_sectors);
  std::uint64_t end = start;
  std::uint64_t sectors = first_chunk_sectors;
  while (end > floor && !found.done()) {
    if (auto go_on = interruption_point(); !go_on) return fail(std::move(go_on.error()));
    const std::uint64_t first = end - std::min(end - floor, sectors);
    auto searched =
        search_chunk(file, first, std::span(buffer.get(), sector_size * (end - first)), damaged, found);
    if (!searched) return fail(std::move(searched.error()));
    end = first;
    sectors = std::min(2 * sectors, max_chunk_sectors);
  }
  return found;
}

// The clock's start: the nearest previous block's natural end; NaN, which
// keeps the first block's natural start, when damage came first.
std::optional<double> clock_start(const FoundBefore& found) {
  if (found.blocks.count > 0) return found.blocks.nearest_first[0].natural.end;
  if (found.damage) return std::numeric_limits<double>::quiet_NaN();
  return std::nullopt;
}

}  // namespace

Result<OpenedDataBlocks> open_cwa_data_blocks(std::string_view path, std::optional<std::uint64_t> start_block,
                                              std::optional<std::uint64_t> block_count,
                                              DamagedBlocks* damaged, std::uint64_t look_back,
                                              std::size_t blocks_before) {
  auto checked = open_checked_cwa_file(path);
  if (!checked) return fail(std::move(checked.error()));
  const std::uint64_t total = checked->block_count;
  const std::uint64_t start = start_block.value_or(0);
  if (start >= total) return fail("Start block is beyond file size");
  const std::uint64_t count = block_count.value_or(total - start);
  const std::uint64_t end = std::min(saturating_add(start, count), total);

  auto before =
      previous_blocks(checked->file, start, damaged, look_back, std::max<std::size_t>(blocks_before, 1));
  if (!before) return fail(std::move(before.error()));

  SectorReader reader(std::move(checked->file));
  if (auto moved = reader.seek_block(start); !moved) return fail(std::move(moved.error()));
  return OpenedDataBlocks{std::move(reader), start, end, BlockClock(clock_start(*before)), total,
                          before->blocks};
}

Result<DecodedBlockStream> DecodedBlockStream::open(std::string_view path,
                                                    std::optional<std::uint64_t> start_block,
                                                    std::optional<std::uint64_t> block_count,
                                                    bool include_magnetometer, DamagedBlocks* damaged,
                                                    std::uint64_t look_back, std::size_t blocks_before) {
  auto opened = open_cwa_data_blocks(path, start_block, block_count, damaged, look_back, blocks_before);
  if (!opened) return fail(std::move(opened.error()));
  return DecodedBlockStream(std::move(*opened), include_magnetometer, damaged);
}

Result<std::optional<DecodedBlock>> DecodedBlockStream::next() {
  auto block = next_untimed(samples_);
  if (!block) return fail(std::move(block.error()));
  if (!*block) return std::optional<DecodedBlock>();
  const UntimedBlock& untimed = **block;
  if (untimed.after_damage) opened_.clock = BlockClock();
  const BlockTiming timing = opened_.clock.next(untimed.natural);
  return timed(untimed, timing, timestamps_);
}

Result<std::optional<UntimedBlock>> DecodedBlockStream::next_untimed(SampleBuffer& into) {
  const std::size_t damaged_before = damaged_ != nullptr ? damaged_->size() : 0;
  while (position_ < opened_.end_block) {
    if (position_ % positions_between_polls == 0) {
      if (auto going_on = interruption_point(); !going_on) return fail(std::move(going_on.error()));
    }
    ++position_;
    auto sector = opened_.reader.next();
    if (!sector) return fail(std::move(sector.error()));
    // The file was checked to hold this block: a missing sector means it shrank.
    if (!*sector) return fail("Unexpected end of CWA data");
    // Damage restarts the clock of whoever times the blocks, at the next data block.
    BlockClock ignored;
    auto block = screen_past_damage(**sector, position_ - 1, damaged_, ignored);
    if (!block) return fail(std::move(block.error()));
    if (!*block) continue;
    const DecodedSamples decoded = (*block)->parse_samples(include_magnetometer_, into);
    const bool after_damage = damaged_ != nullptr && damaged_->size() > damaged_before;
    return UntimedBlock{position_ - 1,        natural_timing(**block),
                        decoded.samples,      decoded.has_magnetometer,
                        (*block)->readings(), after_damage};
  }
  return std::optional<UntimedBlock>();
}

DecodedBlock timed(const UntimedBlock& block, const BlockTiming& timing,
                   std::array<std::int64_t, max_samples_per_block>& timestamps) {
  const std::span<std::int64_t> times(timestamps.data(), timing.sample_count);
  timing.sample_timestamps(times);
  return DecodedBlock{times, block.samples, block.has_magnetometer, block.readings, block.position};
}

}  // namespace velnora
