#include "core/read/block_time_span.hpp"

#include <optional>

#include "core/format/cwa_file_check.hpp"
#include "core/format/continuity.hpp"
#include "core/format/packet_meta.hpp"
#include "core/io/sector_reader.hpp"

namespace velnora {

Result<std::vector<BlockTimeSpan>> scan_block_time_spans(std::string_view path) {
  auto checked = open_checked_cwa_file(path);
  if (!checked) return fail(std::move(checked.error()));
  const std::uint64_t total = checked->block_count;
  if (total == 0) return fail("Start block is beyond file size");
  SectorReader reader(std::move(checked->file));
  if (auto moved = reader.seek_block(0); !moved) return fail(std::move(moved.error()));

  std::vector<BlockTimeSpan> spans;
  std::optional<double> prev_end;
  for (std::uint64_t index = 0; index < total; ++index) {
    auto sector = reader.next();
    if (!sector) return fail(std::move(sector.error()));
    if (!*sector) return fail("Unexpected end of CWA data");
    auto meta = packet_meta(**sector);
    if (!meta) return fail(std::move(meta.error()));
    if (!*meta) continue;
    auto [start, end] = (*meta)->natural_bounds();
    // The same correction the block reader applies, so each span starts where
    // the block's first sample will be.
    if (prev_end) start = continuous_start(start, *prev_end);
    spans.push_back({index, start, end});
    prev_end = end;
  }
  return spans;
}

}  // namespace velnora
