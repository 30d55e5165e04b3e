#include "core/read/decoded_block_stream.hpp"

#include "core/format/data_block.hpp"
#include "core/format/sample_timestamps.hpp"
#include "core/format/packet_meta.hpp"

namespace velnora {

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
  auto meta = packet_meta(sector);
  if (!meta) return fail(std::move(meta.error()));
  if (!*meta) return std::optional<DecodedBlock>();
  auto block = CwaDataBlock::from_buffer(sector);
  if (!block) return fail(std::move(block.error()));
  auto decoded = CwaDataBlock::parse_samples(*block, include_magnetometer_, samples_);
  if (!decoded) return fail(std::move(decoded.error()));
  const std::size_t count = decoded->samples.size();
  auto end = calculate_sample_timestamps_with_prev_end(*block, count, opened_.prev_end, timestamps_);
  if (!end) return fail(std::move(end.error()));
  opened_.prev_end = *end;
  return DecodedBlock{std::span<const std::int64_t>(timestamps_.data(), count), decoded->samples,
                      decoded->has_magnetometer, block_readings(*block)};
}

}  // namespace velnora
