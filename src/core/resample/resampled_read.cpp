#include "core/resample/resampled_read.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <string>

#include "core/base/numeric.hpp"
#include "core/read/decoded_block_stream.hpp"
#include "core/resample/split_run.hpp"
#include "core/resample/streaming_resampler.hpp"

namespace velnora {

namespace {

constexpr double max_resample_hz = 10000.0;

[[gnu::cold]] std::unexpected<CwaError> rate_too_high() {
  // Shortest round-trip form, so the limit reads "10000", not "10000.0".
  char digits[32];
  auto written = std::to_chars(digits, digits + sizeof digits, max_resample_hz);
  return fail("resample_hz must be <= " + std::string(digits, written.ptr));
}

[[gnu::cold]] std::unexpected<CwaError> unsupported_method(std::string_view method) {
  std::string text = "Unsupported resample_method '";
  text += method;
  text += "'. Supported: cubic";
  return fail(std::move(text));
}

}  // namespace

Result<std::optional<double>> validate_resample_options(std::optional<double> resample_hz,
                                                        std::string_view resample_method) {
  // Without a rate the method is never looked at, so any text passes.
  if (!resample_hz) return std::optional<double>();
  double rate = *resample_hz;
  // Written so that NaN fails too; positive subnormals pass.
  if (!(std::isfinite(rate) && rate > 0.0)) return fail("resample_hz must be a finite value > 0");
  if (rate > max_resample_hz) return rate_too_high();
  if (resample_method != "cubic") return unsupported_method(resample_method);
  return resample_hz;
}

namespace {

struct ResampleSettings {
  std::string_view path;
  DamagedBlocks* damaged;  // where the stream lists damage it passes over, or null
  double resample_hz;
  IncludeFlags include;
  std::optional<double> range_start_time;
  std::optional<double> range_end_time;
};

// Room for the points the range will likely give: each planned block as long
// as the first, within the window when that is shorter, with a margin for a
// drifting clock. A single-sample first block tells no duration: the range
// is then assumed to hold as many points as it could hold samples.
std::size_t planned_points(std::uint64_t planned_blocks, const DecodedBlock& first,
                           const ResampleSettings& settings) {
  const std::span<const std::int64_t> times = first.timestamps;
  if (times.size() < 2) return planned_blocks * max_samples_per_block;
  const double period = seconds_from_us(times.back() - times.front()) / static_cast<double>(times.size() - 1);
  double seconds = period * static_cast<double>(times.size()) * static_cast<double>(planned_blocks);
  if (settings.range_end_time) {
    const double from =
        std::max(settings.range_start_time.value_or(-INFINITY), seconds_from_us(times.front()));
    seconds = std::min(seconds, *settings.range_end_time - from);
  }
  const double points = std::max(seconds, 0.0) * settings.resample_hz * (1.0 + 1.0 / 64.0) + 256.0;
  return static_cast<std::size_t>(std::min(points, 0x1p62));
}

// Creates the resampler at the first data block, whose times size its output.
Result<StreamingResampler> create_resampler(const DecodedBlockStream& stream, const DecodedBlock& first,
                                            const ResampleSettings& settings) {
  // Only address space, sized by what the path will hold; the columns grow
  // without copying should the estimate be short.
  return StreamingResampler::create(settings.range_start_time, settings.range_end_time, settings.resample_hz,
                                    settings.include,
                                    planned_points(stream.planned_blocks(), first, settings));
}

std::atomic<std::uint64_t> adopted_split_count{0};

// Runs the blocks through a resampler up to the first that anchors its grid;
// resample_rest reads the rest, split between this thread and a helper where
// it is long. Nothing when the range holds no data block.
Result<std::optional<StreamingResampler>> resample_blocks(DecodedBlockStream& stream,
                                                          const ResampleSettings& settings) {
  std::optional<StreamingResampler> resampler;
  while (!resampler || !resampler->anchored()) {
    auto block = stream.next();
    if (!block) return fail(std::move(block.error()));
    if (!*block) return resampler;
    if (!resampler) {
      auto created = create_resampler(stream, **block, settings);
      if (!created) return fail(std::move(created.error()));
      resampler.emplace(std::move(*created));
    }
    const DecodedBlock& decoded = **block;
    if (auto fed = resampler->append_block(decoded.timestamps, decoded.samples, decoded.readings); !fed) {
      return fail(std::move(fed.error()));
    }
  }
  auto rest =
      resample_rest(settings.path, stream, *resampler, settings.include.magnetometer, settings.damaged);
  if (!rest) return fail(std::move(rest.error()));
  if (*rest == RestRead::rows_adopted) adopted_split_count.fetch_add(1, std::memory_order_relaxed);
  return resampler;
}

}  // namespace

Result<CwaDataResult> read_cwa_data_resampled_streaming(
    std::string_view path, std::optional<std::uint64_t> start_block, std::optional<std::uint64_t> block_count,
    double resample_hz, IncludeFlags include, std::optional<double> range_start_time,
    std::optional<double> range_end_time, DamagedBlocks* damaged) {
  auto stream = DecodedBlockStream::open(path, start_block, block_count, include.magnetometer, damaged);
  if (!stream) return fail(std::move(stream.error()));
  auto resampler =
      resample_blocks(*stream, {path, damaged, resample_hz, include, range_start_time, range_end_time});
  if (!resampler) return fail(std::move(resampler.error()));
  // An empty range and a range of non-data sectors alike.
  if (!*resampler) return fail(no_samples_in_range);
  auto output = std::move(**resampler).take_output();
  if (output && output->size() == 0) return fail("No samples remain after applying time range/resampling");
  return output;
}

std::uint64_t adopted_split_runs() { return adopted_split_count.load(std::memory_order_relaxed); }

}  // namespace velnora
