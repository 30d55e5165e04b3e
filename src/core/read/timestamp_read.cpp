#include "core/read/timestamp_read.hpp"

#include "core/read/decoded_block_stream.hpp"

namespace velnora {

Result<std::optional<Column<std::int64_t>>> read_block_timestamps(std::string_view path,
                                                                  std::optional<std::uint64_t> start_block,
                                                                  std::optional<std::uint64_t> block_count,
                                                                  DamagedBlocks* damaged) {
  auto stream = DecodedBlockStream::open(path, start_block, block_count, false, damaged);
  if (!stream) return fail(std::move(stream.error()));
  std::optional<Column<std::int64_t>> timestamps;
  for (;;) {
    auto block = stream->next();
    if (!block) return fail(std::move(block.error()));
    if (!*block) return timestamps;
    const std::span<const std::int64_t> times = (*block)->timestamps;
    if (!timestamps) {
      timestamps.emplace();
      if (auto room = timestamps->reserve(stream->planned_blocks() * times.size()); !room)
        return fail(std::move(room.error()));
    }
    if (auto appended = timestamps->append(times); !appended) return fail(std::move(appended.error()));
  }
}

}  // namespace velnora
