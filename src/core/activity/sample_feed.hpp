#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/base/numeric.hpp"
#include "core/format/data_block.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/decoded_block_stream.hpp"
#include "core/read/read_plan.hpp"

namespace velnora {

// A run of one block's samples in time order, with the block's temperature (°C).
struct SampleRun {
  std::span<const std::int64_t> timestamps;  // µs
  std::span<const SampleData> samples;       // accelerometer in g
  double temperature;
};

// Feeds the samples a plan selects, block by block, to `consume(const
// SampleRun&) -> Result<void>`, in time order: a sample timed before the
// last one fed (a device clock set back) is left out and counted, so that
// every interval of time is complete once a later one has begun. Returns how
// many were left out that way. Errors: those of DecodedBlockStream and of `consume`.
// With `damaged`, reads past damage into it. Allocates the stream's buffer.
template <class Consume>
Result<std::uint64_t> feed_samples(std::string_view path, const ReadPlan& plan, DamagedBlocks* damaged,
                                   Consume&& consume) {
  auto stream = DecodedBlockStream::open(path, plan.start_block, plan.block_count, false, damaged);
  if (!stream) return fail(std::move(stream.error()));
  std::uint64_t left_out = 0;
  std::int64_t last_fed = INT64_MIN;
  const bool windowed = plan.range_start_time || plan.range_end_time;
  while (true) {
    auto block = stream->next();
    if (!block) return fail(std::move(block.error()));
    if (!*block) return left_out;
    const auto times = (*block)->timestamps;
    const auto samples = (*block)->samples;
    const double temperature = (*block)->readings.temperature;
    const auto kept = [&](std::int64_t t) {
      if (t < last_fed) return false;
      if (!windowed) return true;
      const double seconds = seconds_from_us(t);
      return !(plan.range_start_time && *plan.range_start_time > seconds) &&
             !(plan.range_end_time && seconds >= *plan.range_end_time);
    };
    for (std::size_t k = 0; k < times.size();) {
      for (; k < times.size() && !kept(times[k]); ++k) left_out += times[k] < last_fed ? 1 : 0;
      const std::size_t first = k;
      for (; k < times.size() && kept(times[k]); ++k) last_fed = times[k];
      if (first == k) continue;
      const SampleRun run{times.subspan(first, k - first), samples.subspan(first, k - first), temperature};
      if (auto consumed = consume(run); !consumed) return fail(std::move(consumed.error()));
    }
  }
}

}  // namespace velnora
