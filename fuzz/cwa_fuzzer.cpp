// libFuzzer target over the core's readers. An input is a few option bytes
// followed by the bytes of a recording: the recording goes through the
// metadata decoder, the sector screen and the sample unpacker directly, and,
// written to an in-memory file, through every whole-file entry with the cut,
// include flags and resampling the option bytes choose: the reads and the CSV
// export, the export read, the timestamp scan, and the calibration and epoch
// passes.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/format/block_clock.hpp"
#include "core/format/cwa_file.hpp"
#include "core/format/data_block.hpp"
#include "core/ops/activity_passes.hpp"
#include "core/ops/export_read.hpp"
#include "core/ops/planned_samples.hpp"
#include "core/ops/timestamp_scan.hpp"
#include "core/report/sampling_report.hpp"
#include "core/resample/resampled_read.hpp"

namespace {

using namespace velnora;

// The option bytes, in order: include flags and choices, rate, cut bounds,
// two small cut values, then three raw 8-byte values (rate, cut start, cut end).
constexpr std::size_t option_size = 5 + 3 * 8;

// Grid points a resampled read may produce. The resampler refuses a grid only
// beyond the machine's memory (ASan rules out an address-space limit), which
// is far above the fuzzer's rss limit, so a rate across decades of packed time
// would end the run there instead of finding faults; the rate is lowered to
// keep the grid under this many points.
constexpr double max_grid_points = 50000.0;

constexpr std::array<double, 15> listed_rates = {1.0,   2.5,   10.0,  25.0,   30.0,   50.0,    60.0, 99.5,
                                                 100.0, 128.0, 500.0, 1000.0, 3200.0, 10000.0, 0.001};

struct FuzzOptions {
  IncludeFlags include;
  CutConfig cut;
  std::optional<double> resample_hz;
  std::string_view resample_method;
  // The epoch pass's stages: the centred non-wear rule, a 20 Hz low-pass, the rolling medians.
  bool centred_nonwear;
  bool lowpass;
  bool median_angle;
};

// Reads the option bytes; an input shorter than them reads zeros for the rest.
class OptionBytes {
 public:
  explicit OptionBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::uint8_t at(std::size_t index) const { return index < bytes_.size() ? bytes_[index] : 0; }

  std::uint64_t raw_u64(std::size_t raw_index) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value |= std::uint64_t{at(5 + 8 * raw_index + i)} << (8 * i);
    return value;
  }

  double raw_double(std::size_t raw_index) const {
    const std::uint64_t bits = raw_u64(raw_index);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

// Bound 0 is the start, bound 1 the end: absent, small (from a single byte) or
// raw (from 8 bytes), as the bits of option byte 2 say.
template <class T>
std::optional<T> cut_bound(const OptionBytes& options, int bound, T small, T raw) {
  const std::uint8_t bits = options.at(2);
  if (!(bits & (1u << bound))) return std::nullopt;
  return (bits & (4u << bound)) ? raw : small;
}

CutConfig choose_cut(const OptionBytes& options) {
  const auto kind = (options.at(0) >> 4) & 3;
  if (kind == 1) {
    return {CutConfig::Blocks{
        cut_bound<std::uint64_t>(options, 0, options.at(3), options.raw_u64(1)),
        cut_bound<std::uint64_t>(options, 1, options.at(4), options.raw_u64(2)),
    }};
  }
  if (kind == 2) {
    // Small seconds are signed half seconds, so negative and fractional
    // bounds come up without a raw value.
    const auto half_seconds = [&](std::size_t at) { return static_cast<std::int8_t>(options.at(at)) * 0.5; };
    return {CutConfig::Seconds{
        cut_bound(options, 0, half_seconds(3), options.raw_double(1)),
        cut_bound(options, 1, half_seconds(4), options.raw_double(2)),
    }};
  }
  return {CutConfig::NoCut{}};
}

std::optional<double> choose_rate(const OptionBytes& options) {
  if (!(options.at(0) & 0x40)) return std::nullopt;
  const std::size_t index = options.at(1) & 0x0F;
  return index < listed_rates.size() ? listed_rates[index] : options.raw_double(0);
}

FuzzOptions choose_options(const OptionBytes& options) {
  const std::uint8_t flags = options.at(0);
  return {
      .include = {.magnetometer = (flags & 1) != 0,
                  .temperature = (flags & 2) != 0,
                  .light = (flags & 4) != 0,
                  .battery = (flags & 8) != 0},
      .cut = choose_cut(options),
      .resample_hz = choose_rate(options),
      .resample_method = (options.at(1) & 0x80) ? "linear" : "cubic",
      .centred_nonwear = (options.at(1) & 0x10) != 0,
      .lowpass = (options.at(1) & 0x20) != 0,
      .median_angle = (options.at(1) & 0x40) != 0,
  };
}

// The sample unpacking of one screened block, as the readers chain it.
BlockTiming unpack_block(const CwaDataBlock& block, bool include_magnetometer) {
  SampleBuffer samples;
  const DecodedSamples decoded = block.parse_samples(include_magnetometer, samples);
  const BlockTiming timing = natural_timing(block);
  std::array<std::int64_t, max_samples_per_block> timestamps;
  timing.sample_timestamps(std::span(timestamps).first(decoded.samples.size()));
  (void)block.readings();
  return timing;
}

struct TimeSpan {
  double start;
  double end;
};

// Screens every whole sector after the metadata area and unpacks the data
// blocks; returns the span of their natural bounds, which holds every sample
// time a read of the file can give.
std::optional<TimeSpan> screen_recording(std::span<const std::uint8_t> file, bool include_magnetometer) {
  std::optional<TimeSpan> span;
  for (std::size_t at = metadata_size; at + sector_size <= file.size(); at += sector_size) {
    const Sector sector(reinterpret_cast<const std::byte*>(file.data() + at), sector_size);
    auto block = screen_data_block(sector);
    if (!block || !*block) continue;
    const auto [start, end, count] = unpack_block(**block, include_magnetometer);
    (void)count;
    span = span ? TimeSpan{std::min(span->start, start), std::max(span->end, end)} : TimeSpan{start, end};
  }
  return span;
}

std::optional<double> bounded_rate(std::optional<double> rate, std::optional<TimeSpan> span) {
  if (!rate || !span || !(*rate > 0.0 && *rate <= 10000.0)) return rate;
  const double seconds = span->end - span->start;
  return seconds * *rate > max_grid_points ? max_grid_points / seconds : *rate;
}

// Epochs of at least 5 s, longer where the file's span would hold more than
// max_grid_points of them: the epoch grid, like the resampler's, is refused
// only beyond the machine's memory.
std::int64_t bounded_epoch_us(std::optional<TimeSpan> span) {
  constexpr double shortest_s = 5.0;
  const double seconds = span ? span->end - span->start : 0.0;
  const double epoch_s = std::max(shortest_s, seconds / max_grid_points);
  return epoch_s < 1e12 ? static_cast<std::int64_t>(epoch_s * 1e6) : std::int64_t{1} << 60;
}

// An anonymous in-memory file, reachable by path through /proc.
class MemoryFile {
 public:
  explicit MemoryFile(const char* name) : fd_(memfd_create(name, 0)) {
    if (fd_ < 0) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() { close(fd_); }

  const std::string& path() const { return path_; }

  void replace(std::span<const std::uint8_t> bytes) const {
    if (ftruncate(fd_, 0) != 0) std::abort();
    if (!bytes.empty() && pwrite(fd_, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
      std::abort();
    }
  }

  std::string contents() const {
    std::string text(static_cast<std::size_t>(lseek(fd_, 0, SEEK_END)), '\0');
    if (!text.empty() && pread(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
      std::abort();
    }
    return text;
  }

 private:
  int fd_;
  std::string path_;
};

// Every column of a result is as long as the timestamps.
void check_columns(CwaDataResult& data) {
  const std::size_t rows = data.size();
  data.for_each_column([&](std::string_view, const auto& column) {
    if (column.size() != rows) std::abort();
    return true;
  });
}

// The export of a plan holds the same rows as its read, each with the header's
// field count, and never a quote or a carriage return.
void check_csv(const std::string& csv, std::size_t rows) {
  if (csv.find_first_of("\"\r") != std::string::npos) std::abort();
  const std::size_t header_end = csv.find('\n');
  if (header_end == std::string::npos || csv.back() != '\n') std::abort();
  const auto header_commas = std::count(csv.begin(), csv.begin() + header_end, ',');
  std::size_t lines = 0;
  std::size_t line_start = 0;
  for (std::size_t end = header_end; end != std::string::npos; end = csv.find('\n', line_start)) {
    if (std::count(csv.begin() + line_start, csv.begin() + end, ',') != header_commas) std::abort();
    ++lines;
    line_start = end + 1;
  }
  if (lines != rows + 1) std::abort();
}

// The read past damage of the same options. Where the plain read succeeds it
// met no damage, so this one gives the same rows and lists nothing.
void read_past_damage(const MemoryFile& input, const FuzzOptions& options, std::optional<double> rate,
                      std::optional<std::size_t> plain_rows) {
  DamagedBlocks damaged;
  auto plan = resolve_read_plan(input.path(), options.cut, &damaged);
  std::optional<std::size_t> rows;
  if (plan) {
    auto data = read_planned_samples(input.path(), *plan, options.include, rate, &damaged);
    if (data) check_columns(*data);
    if (data) rows = data->size();
  }
  if (plain_rows && (rows != plain_rows || !damaged.empty())) std::abort();
  DamagedBlocks listed;
  (void)sampling_report_past_damage(input.path(), listed);
}

// The calibration's pass and the epochs' (with non-wear, on a fixed
// calibration, with the stages the option bytes choose), plainly and past damage. Where the plain pass
// succeeds it met no damage, so the one past damage gives the same epochs and leaves out the same blocks,
// those whose time is out of place.
void study_passes(const MemoryFile& input, const FuzzOptions& options, std::optional<TimeSpan> span) {
  const std::int64_t epoch_us = bounded_epoch_us(span);
  std::optional<std::size_t> plain_rows;
  std::size_t plain_left_out = 0;
  for (const bool past_damage : {false, true}) {
    DamagedBlocks left_out;
    auto plan = resolve_read_plan(input.path(), options.cut, past_damage ? &left_out : nullptr);
    if (!plan) continue;
    left_out.clear();
    (void)estimate_gravity_calibration(input.path(), *plan, past_damage, left_out);
    left_out.clear();
    NonwearRule rule;
    if (options.centred_nonwear) rule.windows = NonwearRule::Windows::centred;
    const std::optional<double> lowpass_hz = options.lowpass ? std::optional(20.0) : std::nullopt;
    auto epochs = summarise_epochs(input.path(), *plan, epoch_us, GravityCalibration{}, rule, lowpass_hz,
                                   options.median_angle, past_damage, left_out);
    if (!past_damage && epochs) {
      plain_rows = epochs->epochs.rows.size();
      plain_left_out = left_out.size();
    } else if (past_damage && plain_rows &&
               (!epochs || epochs->epochs.rows.size() != *plain_rows || left_out.size() != plain_left_out)) {
      std::abort();
    }
  }
}

// The reads the companion's exports and scans make: the header, report and
// samples in one, and the timestamps of a blocks cut.
void export_reads(const MemoryFile& input, const FuzzOptions& options, std::optional<double> rate) {
  for (const bool past_damage : {false, true}) {
    DamagedBlocks damaged;
    auto read = read_for_export(input.path(), options.cut, options.include, rate,
                                past_damage ? &damaged : nullptr, past_damage);
    if (read) check_columns(read->samples);
    const auto* blocks = std::get_if<CutConfig::Blocks>(&options.cut.range);
    if (blocks && !options.cut.validate()) continue;
    (void)read_timestamps(input.path(), blocks ? *blocks : CutConfig::Blocks{},
                          past_damage ? &damaged : nullptr);
  }
}

// The entries in the binding's order: the cut and the rate are checked first,
// then the plan is made, read and exported.
void read_and_export(const MemoryFile& input, const MemoryFile& output, const FuzzOptions& options) {
  auto rate = validate_resample_options(options.resample_hz, options.resample_method);
  if (!rate) return;
  auto plan = resolve_read_plan(input.path(), options.cut);
  if (!plan) return;
  auto data = read_planned_samples(input.path(), *plan, options.include, *rate);
  if (data) check_columns(*data);
  auto written = write_planned_csv(input.path(), output.path(), *plan, options.include, *rate);
  if (data && written) check_csv(output.contents(), data->size());
  read_past_damage(input, options, *rate, data ? std::optional(data->size()) : std::nullopt);
  export_reads(input, options, *rate);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const MemoryFile input("cwa-fuzz-input");
  static const MemoryFile output("cwa-fuzz-output");
  const std::span<const std::uint8_t> bytes(data, size);
  const OptionBytes option_bytes(bytes.first(std::min(size, option_size)));
  const std::span<const std::uint8_t> file = bytes.subspan(std::min(size, option_size));

  FuzzOptions options = choose_options(option_bytes);
  const std::optional<TimeSpan> span = screen_recording(file, options.include.magnetometer);
  options.resample_hz = bounded_rate(options.resample_hz, span);

  input.replace(file);
  (void)read_cwa_header(input.path());
  (void)sampling_consistency_report(input.path());
  read_and_export(input, output, options);
  study_passes(input, options, span);
  return 0;
}
