#include "core/read/placed_block_stream.hpp"

#include <algorithm>
#include <span>
#include <string>

#include "core/base/numeric.hpp"
#include "core/time/date_time.hpp"

namespace velnora {

namespace {

// Past its range, a stream reads this many data blocks: enough to judge the range's last.
constexpr std::size_t blocks_beyond_range = 2;

std::string instant_text(double seconds) {
  return timestamp_us_to_rfc3339(truncated_us(seconds)).value_or("a time beyond the calendar");
}

}  // namespace

Result<PlacedBlockStream> PlacedBlockStream::open(std::string_view path,
                                                  std::optional<std::uint64_t> start_block,
                                                  std::optional<std::uint64_t> block_count,
                                                  DamagedBlocks* damaged, DamagedBlocks& left_out) {
  auto stream =
      DecodedBlockStream::open(path, start_block, block_count, false, damaged, unlimited_look_back, 2);
  if (!stream) return fail(std::move(stream.error()));
  const std::uint64_t range_end = stream->end_position();
  return PlacedBlockStream(std::move(*stream), range_end, left_out);
}

PlacedBlockStream::PlacedBlockStream(DecodedBlockStream stream, std::uint64_t range_end,
                                     DamagedBlocks& left_out)
    : stream_(std::move(stream)), range_end_(range_end), left_out_(left_out) {
  // The nearest block before the range is judged first, for the clock of the
  // range's first block; the one before it is its neighbour.
  const PreviousBlocks& before = stream_.blocks_before();
  if (before.count == 0) return;
  const PreviousBlock& nearest = before.nearest_first[0];
  ahead_[0] = {{nearest.position, nearest.natural, {}, false, {}, false}, no_slot};
  ahead_count_ = 1;
  if (before.count == 2) behind_[1] = before.nearest_first[1].natural;
}

Result<std::optional<DecodedBlock>> PlacedBlockStream::next() {
  released_slot_ = no_slot;
  for (;;) {
    if (auto read = read_ahead(); !read) return fail(std::move(read.error()));
    if (ahead_count_ == 0 || ahead_[0].block.position >= range_end_) return std::optional<DecodedBlock>();
    if (ahead_[0].block.after_damage) {
      behind_ = {};
      clock_ = BlockClock();
    }
    const std::optional<double> place = place_of_front();
    const Ahead front = take_front();
    const bool in_range = front.slot != no_slot;
    if (place) {
      if (in_range) leave_out(front.block, *place);
      // The block after it keeps its natural start.
      clock_ = BlockClock();
      continue;
    }
    const BlockTiming timing = clock_.next(front.block.natural);
    if (!in_range) continue;
    released_slot_ = front.slot;
    return timed_acceleration(front.block, timing);
  }
}

Result<void> PlacedBlockStream::read_ahead() {
  while (ahead_count_ < slot_count && !stream_ended_) {
    std::size_t slot = 0;
    while (slot == released_slot_ || std::ranges::any_of(std::span(ahead_).first(ahead_count_),
                                                         [&](const Ahead& a) { return a.slot == slot; }))
      ++slot;
    auto block = stream_.next_untimed(slots_[slot]);
    if (!block) return fail(std::move(block.error()));
    if (!*block && !past_range_ && range_end_ < stream_.file_blocks()) {
      // Past the range: damage there only ends the look ahead.
      past_range_ = true;
      stream_.list_damage_into(&beyond_range_);
      stream_.end_at(stream_.file_blocks());
      continue;
    }
    const bool beyond = *block && (*block)->position >= range_end_;
    if (!*block || (beyond && (*block)->after_damage)) {
      stream_ended_ = true;
      break;
    }
    ahead_[ahead_count_++] = {**block, slot};
    blocks_beyond_ += beyond ? 1 : 0;
    stream_ended_ = blocks_beyond_ == blocks_beyond_range;
  }
  return {};
}

std::optional<double> PlacedBlockStream::place_of_front() const {
  const BlockTiming& block = ahead_[0].block.natural;
  // A neighbour after the front, or after that one, with no damage between.
  const auto after = [&](std::size_t k) -> const BlockTiming* {
    for (std::size_t i = 1; i <= k; ++i) {
      if (i >= ahead_count_ || ahead_[i].block.after_damage) return nullptr;
    }
    return &ahead_[k].block.natural;
  };
  const BlockTiming* next = after(1);
  const BlockTiming* after_next = after(2);
  const std::optional<BlockTiming>& previous = behind_[1];
  const std::optional<BlockTiming>& before_previous = behind_[0];
  if (previous && next) {
    if (out_of_place_between(*previous, block, *next)) return previous->end;
  } else if (next && after_next) {
    if (out_of_place_first(block, *next, *after_next)) return next->start - (block.end - block.start);
  } else if (previous && before_previous) {
    if (out_of_place_last(*before_previous, *previous, block)) return previous->end;
  }
  return std::nullopt;
}

PlacedBlockStream::Ahead PlacedBlockStream::take_front() {
  const Ahead front = ahead_[0];
  std::shift_left(ahead_.begin(), ahead_.begin() + static_cast<std::ptrdiff_t>(ahead_count_), 1);
  --ahead_count_;
  behind_ = {behind_[1], front.block.natural};
  return front;
}

void PlacedBlockStream::leave_out(const UntimedBlock& block, double place) {
  std::string message = "its clock puts it at " + instant_text(block.natural.start) +
                        ", the data blocks around it leave room for it at " + instant_text(place);
  left_out_.push_back(
      {block.position, std::move(message), false, block.natural.sample_count, LeftOut::time_out_of_place});
}

}  // namespace velnora
