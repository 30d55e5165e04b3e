#include "core/ops/sampling_report.hpp"

#include <array>
#include <cstdint>

#include "core/base/little_endian.hpp"
#include "core/base/numeric.hpp"
#include "core/format/continuity.hpp"
#include "core/format/cwa_file.hpp"
#include "core/format/data_block.hpp"
#include "core/io/file.hpp"
#include "core/io/sector_reader.hpp"
#include "core/time/rfc3339.hpp"

namespace velnora {

namespace {

// "MD" read as a little-endian 16-bit value.
constexpr std::uint16_t metadata_marker = 0x444D;

// The running values of the scan over the data blocks, in file order.
struct DataSpan {
  bool have_data = false;
  double previous_end = 0.0;
  std::int64_t first_us = 0;
  std::int64_t last_us = 0;
  std::uint64_t sample_count = 0;

  void add(const PacketMeta& meta) {
    const auto [natural_start, end] = meta.natural_bounds();
    const double start = have_data ? continuous_start(natural_start, previous_end) : natural_start;
    if (!have_data) first_us = truncate_to_i64(start * 1000000.0);
    const double n = static_cast<double>(meta.sample_count);
    // The span is divided first, then scaled by n - 1 and offset by start: a
    // different order can move the last bit and, after truncation, the
    // reported time by a microsecond.
    const double step = (end - start) / n;
    last_us = truncate_to_i64((static_cast<double>(meta.sample_count - 1) * step + start) * 1000000.0);
    sample_count += meta.sample_count;
    have_data = true;
    // The next block is joined to this block's natural end, not to a
    // corrected one, so a correction never carries over to later blocks.
    previous_end = end;
  }
};

// The report reads the file a second time; it checks that the metadata block
// is still in place before trusting the sectors after it.
Result<File> open_after_metadata(std::string_view path) {
  auto file = File::open_read(path);
  if (!file) return fail(std::move(file.error()));
  std::array<std::byte, metadata_size> block;
  if (auto read = file->read_exact(block); !read) return fail(std::move(read.error()));
  if (load_u16(block.data()) != metadata_marker) return fail("First block is not a metadata block");
  return std::move(*file);
}

Result<DataSpan> scan_data_blocks(File file) {
  SectorReader reader(std::move(file));
  DataSpan span;
  for (;;) {
    auto sector = reader.next();
    if (!sector) return fail(std::move(sector.error()));
    if (!*sector) return span;
    auto meta = packet_meta(**sector);
    if (!meta) return fail(std::move(meta.error()));
    if (*meta) span.add(**meta);
  }
}

std::optional<double> header_duration(const CwaHeader& header) {
  if (!header.logging_start_time || !header.logging_end_time) return std::nullopt;
  const std::int64_t micros = (*header.logging_end_time - *header.logging_start_time) * 1000000;
  return static_cast<double>(micros) / 1000000.0;
}

void add_data_values(const DataSpan& span, SamplingReport& report) {
  if (!span.have_data) return;
  report.start_from_data = timestamp_us_to_rfc3339(span.first_us);
  report.end_from_data = timestamp_us_to_rfc3339(span.last_us);
  // Block times come from dates in 2000..2063 shifted by at most a few days,
  // so both ends are far from saturation and the difference cannot overflow.
  const double duration = static_cast<double>(span.last_us - span.first_us) / 1000000.0;
  report.duration_s_from_data = duration;
  if (span.sample_count >= 2 && duration > 0.0) {
    report.samplingrate_hz_from_data = static_cast<double>(span.sample_count - 1) / duration;
  }
}

}  // namespace

Result<SamplingReport> sampling_consistency_report(std::string_view path) {
  auto header = read_cwa_header(path);
  if (!header) return fail(std::move(header.error()));
  auto file = open_after_metadata(path);
  if (!file) return fail(std::move(file.error()));
  auto span = scan_data_blocks(std::move(*file));
  if (!span) return fail(std::move(span.error()));
  SamplingReport report{};
  report.start_from_header = header_time_to_rfc3339(header->logging_start_time);
  report.end_from_header = header_time_to_rfc3339(header->logging_end_time);
  report.duration_s_from_header = header_duration(*header);
  report.samplingrate_hz_from_header = header->sample_rate_hz;
  add_data_values(*span, report);
  return report;
}

}  // namespace velnora
