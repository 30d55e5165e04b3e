#include "core/read/block_reader.hpp"

#include "core/read/decoded_block_stream.hpp"
#include "core/format/sample_data.hpp"

namespace velnora {

Result<CwaDataResult> read_cwa_data(std::string_view path, std::optional<std::uint64_t> start_block,
                                    std::optional<std::uint64_t> block_count, IncludeFlags include) {
  auto stream = DecodedBlockStream::open(path, start_block, block_count, include.magnetometer);
  if (!stream) return fail(std::move(stream.error()));
  // Room for the fullest block format in every position: only address space,
  // so the columns never move or copy while they grow.
  auto result = CwaDataResult::create(include, stream->planned_blocks() * max_samples_per_block);
  if (!result) return fail(std::move(result.error()));
  for (;;) {
    auto block = stream->next();
    if (!block) return fail(std::move(block.error()));
    if (!*block) break;
    const DecodedBlock& decoded = **block;
    if (auto appended = result->append_block(decoded.timestamps, decoded.samples, decoded.readings);
        !appended) {
      return fail(std::move(appended.error()));
    }
  }
  if (result->size() == 0) return fail("No valid sample data found in the specified range");
  return std::move(*result);
}

}  // namespace velnora
