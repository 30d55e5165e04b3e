#pragma once

#include <cstdint>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/decoded_block_stream.hpp"
#include "core/resample/streaming_resampler.hpp"

namespace velnora {

// Ranges shorter than this stay on one thread: the second half would not
// repay opening the file again and starting a thread.
inline constexpr std::uint64_t min_blocks_to_split = 4096;

// How the rest of a range was read.
enum class RestRead {
  one_thread,    // not split
  rows_adopted,  // split, and the follower's rows completed the run
  rows_refused,  // split, but the lead then read the later half alone
};

// Reads the rest of `stream`'s range into `resampler`, whose grid is
// anchored, and produces the last points. A rest of `min_blocks` blocks or
// more is split at its middle where a helper thread may run: a follower on
// the helper reads the later half and stores its rows straight into the
// lead's columns, while `resampler`, the lead, reads the earlier half on the
// calling thread; the rows are the lead's if the halves meet. With
// `damaged`, both halves read past damage into it. Errors: the stream's and
// the resampler's, the follower's where the lead would have met them,
// Interrupted while waiting for the follower, OutOfMemory.
Result<RestRead> resample_rest(std::string_view path, DecodedBlockStream& stream,
                               StreamingResampler& resampler, bool include_magnetometer,
                               DamagedBlocks* damaged, std::uint64_t min_blocks = min_blocks_to_split);

}  // namespace velnora
