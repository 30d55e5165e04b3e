#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/base/helper_thread.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/decoded_block_stream.hpp"
#include "core/resample/streaming_resampler.hpp"

namespace velnora {

// The later half of a resampled read, run by a follower on a helper thread
// while the lead, on the calling thread, reads the earlier half. The halves
// meet at the context block: the follower starts with it, the lead ends with
// it, and if both stand alike after it, the follower's rows are the lead's
// (StreamingResampler::follow). Destroying a run stops the follower first.
struct FollowerRun {
  HelperThread helper;
  // Where the follower's stream lists damage it passes over, when the read
  // does; merged into the lead's list once the rows are taken.
  DamagedBlocks damaged;
  std::optional<DecodedBlockStream> stream;
  std::optional<StreamingResampler> follower;
  SeamState seam{};
  std::uint64_t context_end = 0;  // the position after the context block
  std::atomic<bool> cancelled{false};
  Result<void> outcome;
  // An allocation failed on the helper thread, where nothing may throw: the
  // lead reads on alone.
  bool threw = false;

  explicit FollowerRun(HelperThread helper) : helper(std::move(helper)) {}
  ~FollowerRun() { stop(); }
  // Asks the follower to stop and waits until it has.
  void stop();
};

// Feeds the blocks of `stream` to `resampler` until the stream ends or the
// grid reaches the window's end. Errors: the stream's and the resampler's.
Result<void> feed_rest(DecodedBlockStream& stream, StreamingResampler& resampler);

// Ranges shorter than this stay on one thread: the second half would not
// repay opening the file again and starting a thread.
inline constexpr std::uint64_t min_blocks_to_split = 4096;

// How far from the middle of a range the later half looks for its context
// block, and back from there for the block before it.
inline constexpr std::uint64_t seam_search = 64;

// Splits the rest of `stream`'s range, from its position on, between `lead`,
// which has taken its first block, and a follower started on a helper
// thread; `stream` then ends with the context block. Nothing, with `lead` and
// `stream` unchanged, where the range is shorter than `min_blocks`, no
// helper thread may run, or the later half does not open or start cleanly.
// Errors: Interrupted only; the lead meets any other itself.
// With `damaged`, the lead's list, the follower too reads past damage.
Result<std::unique_ptr<FollowerRun>> start_follower(std::string_view path, DecodedBlockStream& stream,
                                                    StreamingResampler& lead, bool include_magnetometer,
                                                    DamagedBlocks* damaged,
                                                    std::uint64_t min_blocks = min_blocks_to_split);

// After the lead has taken its half: true when the follower's rows complete
// the run, now the lead's, and the damage it passed over is listed in
// `damaged` (the lead's list, or null); false when the lead must go on
// alone, `stream` then reaching to its old end. The run is finished either
// way. Errors: the follower's, where the lead would have met it;
// Interrupted while waiting; OutOfMemory.
Result<bool> join_follower(std::unique_ptr<FollowerRun> run, StreamingResampler& lead,
                           DecodedBlockStream& stream, std::uint64_t end, DamagedBlocks* damaged);

}  // namespace velnora
