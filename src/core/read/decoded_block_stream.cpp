#include "core/read/decoded_block_stream.hpp"

#include <algorithm>
#include <limits>

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
    auto block = screen_data_block(Sector(*sector));
    if (!block) return fail(std::move(block.error()));
    if (*block) return std::optional<double>(natural_timing(**block).end);
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

  auto previous_end = previous_block_end(checked->file, start);
  if (!previous_end) return fail(std::move(previous_end.error()));

  SectorReader reader(std::move(checked->file));
  if (auto moved = reader.seek_block(start); !moved) return fail(std::move(moved.error()));
  return OpenedDataBlocks{std::move(reader), start, end, BlockClock(*previous_end)};
}

Result<DecodedBlockStream> DecodedBlockStream::open(std::string_view path,
                                                    std::optional<std::uint64_t> start_block,
                                                    std::optional<std::uint64_t> block_count,
                                                    bool include_magnetometer) {
  auto opened = open_cwa_data_blocks(path, start_block, block_count);
  if (!opened) return fail(std::move(opened.error()));
  return DecodedBlockStream(std::move(*opened), include_magnetometer);
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
    auto block = decode(**sector);
    if (!block || *block) return block;
  }
  return std::optional<DecodedBlock>();
}

Result<std::optional<DecodedBlock>> DecodedBlockStream::decode(Sector sector) {
  auto block = screen_data_block(sector);
  if (!block) return fail(std::move(block.error()));
  if (!*block) return std::optional<DecodedBlock>();
  const DecodedSamples decoded = (*block)->parse_samples(include_magnetometer_, samples_);
  const BlockTiming timing = opened_.clock.next(**block);
  const std::span<std::int64_t> timestamps(timestamps_.data(), timing.sample_count);
  timing.sample_timestamps(timestamps);
  return DecodedBlock{timestamps, decoded.samples, decoded.has_magnetometer, (*block)->readings()};
}

}  // namespace velnora
