#include "core/resample/resampled_read.hpp"

#include <charconv>
#include <cmath>
#include <string>

#include "core/read/decoded_block_stream.hpp"
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
  double resample_hz;
  IncludeFlags include;
  std::optional<double> range_start_time;
  std::optional<double> range_end_time;
};

// Runs the blocks through a resampler created at the first data block, so
// that the window is checked only once there is data, and stops reading once
// the grid reaches the window's end. Nothing when the range holds no data block.
Result<std::optional<StreamingResampler>> resample_blocks(DecodedBlockStream& stream,
                                                          const ResampleSettings& settings) {
  std::optional<StreamingResampler> resampler;
  while (!resampler || !resampler->done()) {
    auto block = stream.next();
    if (!block) return fail(std::move(block.error()));
    if (!*block) break;
    if (!resampler) {
      // Room for as many points as the range could hold samples: only address
      // space, and the columns grow without copying should the rate be higher.
      auto created =
          StreamingResampler::create(settings.range_start_time, settings.range_end_time, settings.resample_hz,
                                     settings.include, stream.planned_blocks() * max_samples_per_block);
      if (!created) return fail(std::move(created.error()));
      resampler.emplace(std::move(*created));
    }
    const DecodedBlock& decoded = **block;
    if (auto fed = resampler->append_block(decoded.timestamps, decoded.samples, decoded.readings); !fed) {
      return fail(std::move(fed.error()));
    }
  }
  return resampler;
}

}  // namespace

Result<CwaDataResult> read_cwa_data_resampled_streaming(
    std::string_view path, std::optional<std::uint64_t> start_block, std::optional<std::uint64_t> block_count,
    double resample_hz, IncludeFlags include, std::optional<double> range_start_time,
    std::optional<double> range_end_time, DamagedBlocks* damaged) {
  auto stream = DecodedBlockStream::open(path, start_block, block_count, include.magnetometer, damaged);
  if (!stream) return fail(std::move(stream.error()));
  auto resampler = resample_blocks(*stream, {resample_hz, include, range_start_time, range_end_time});
  if (!resampler) return fail(std::move(resampler.error()));
  // An empty range and a range of non-data sectors alike.
  if (!*resampler) return fail("No valid sample data found in the specified range");
  if (auto last = (*resampler)->emit_ready(true); !last) return fail(std::move(last.error()));
  auto output = std::move(**resampler).take_output();
  if (output && output->size() == 0) return fail("No samples remain after applying time range/resampling");
  return output;
}

}  // namespace velnora
