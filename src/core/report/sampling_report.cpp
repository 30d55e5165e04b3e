#include "core/report/sampling_report.hpp"

#include <array>
#include <cstdint>
#include <span>

#include "core/base/interruption.hpp"
#include "core/base/numeric.hpp"
#include "core/format/block_clock.hpp"
#include "core/format/cwa_file.hpp"
#include "core/format/data_block.hpp"
#include "core/io/sector_reader.hpp"
#include "core/time/date_time.hpp"

namespace velnora {

namespace {

// Screening a sector takes nanoseconds: the scan asks whether to stop once
// per half a megabyte.
constexpr std::uint64_t sectors_between_polls = 1024;

// The running values of the scan over the data blocks, in file order.
struct DataSpan {
  BlockClock clock;
  bool have_data = false;
  std::int64_t first_us = 0;
  // The last sample's time is taken from the last block once the scan is
  // over: its division would otherwise lie on every block's path.
  BlockTiming last_block{};
  std::uint64_t sample_count = 0;
  CarriedSensors sensors;

  void add(const CwaDataBlock& block) {
    sensors.add(block.layout);
    const BlockTiming timing = clock.next(block);
    if (!have_data) first_us = truncated_us(timing.start);
    last_block = timing;
    sample_count += timing.sample_count;
    have_data = true;
  }
};

// The report reads the file a second time; it checks that the metadata block
// is still in place before trusting the sectors after it.
Result<File> open_after_metadata(std::string_view path) {
  std::array<std::byte, metadata_size> block;
  return open_recording(path, block, [](std::span<const std::byte, 2>) {
    return CwaError::message("First block is not a metadata block");
  });
}

Result<DataSpan> scan_data_blocks(File file, DamagedBlocks* damaged) {
  SectorReader reader(std::move(file));
  DataSpan span;
  for (std::uint64_t position = 0;; ++position) {
    if (position % sectors_between_polls == 0) {
      if (auto going_on = interruption_point(); !going_on) return fail(std::move(going_on.error()));
    }
    auto sector = reader.next();
    if (!sector) return fail(std::move(sector.error()));
    if (!*sector) return span;
    auto block = screen_past_damage(**sector, position, damaged, span.clock);
    if (!block) return fail(std::move(block.error()));
    if (*block) span.add(**block);
  }
}

std::optional<double> header_duration(const CwaHeader& header) {
  if (!header.logging_start_time || !header.logging_end_time) return std::nullopt;
  return seconds_from_us((*header.logging_end_time - *header.logging_start_time) * us_per_second);
}

void add_data_values(const DataSpan& span, SamplingReport& report) {
  if (!span.have_data) return;
  const std::int64_t last_us = span.last_block.report_last_sample_us();
  report.start_from_data = timestamp_us_to_rfc3339(span.first_us);
  report.end_from_data = timestamp_us_to_rfc3339(last_us);
  // Block times come from dates in 2000..2063 shifted by at most a few days,
  // so both ends are far from saturation and the difference cannot overflow.
  const double duration = seconds_from_us(last_us - span.first_us);
  report.duration_s_from_data = duration;
  if (span.sample_count >= 2 && duration > 0.0) {
    report.samplingrate_hz_from_data = static_cast<double>(span.sample_count - 1) / duration;
  }
}

Result<SamplingReport> report_on(std::string_view path, DamagedBlocks* damaged) {
  auto header = read_cwa_header(path);
  if (!header) return fail(std::move(header.error()));
  auto file = open_after_metadata(path);
  if (!file) return fail(std::move(file.error()));
  auto span = scan_data_blocks(std::move(*file), damaged);
  if (!span) return fail(std::move(span.error()));
  SamplingReport report{};
  report.start_from_header = header_time_to_rfc3339(header->logging_start_time);
  report.end_from_header = header_time_to_rfc3339(header->logging_end_time);
  report.duration_s_from_header = header_duration(*header);
  report.samplingrate_hz_from_header = header->sample_rate_hz;
  report.sensors = span->sensors;
  add_data_values(*span, report);
  return report;
}

}  // namespace

Result<SamplingReport> sampling_consistency_report(std::string_view path) { return report_on(path, nullptr); }

Result<SamplingReport> sampling_report_past_damage(std::string_view path, DamagedBlocks& damaged) {
  return report_on(path, &damaged);
}

Result<IncludeFlags> carried_channels(std::string_view path, IncludeFlags include) {
  DamagedBlocks passed;
  auto report = report_on(path, &passed);
  if (!report) return fail(std::move(report.error()));
  return carried_only(include, report->sensors);
}

}  // namespace velnora
