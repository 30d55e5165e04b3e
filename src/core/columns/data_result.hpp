#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/base/cwa_error.hpp"
#include "core/columns/column.hpp"
#include "core/format/channels.hpp"
#include "core/format/data_block.hpp"

namespace velnora {

// Timestamped samples as columns of equal length, in file order. An optional
// column is either absent or as long as the others.
struct CwaDataResult {
  Column<std::int64_t> timestamp;  // microseconds since 1970-01-01T00:00:00 UTC
  // One per entry of `channels`, at the same index; those always present are
  // never empty optionals.
  std::array<std::optional<Column<float>>, channel_count> columns;

  // Empty columns: the six channels and timestamps always, the optional ones as
  // included, each with address space for `capacity_hint` samples (a count too
  // small only costs remaps later). Errors: OutOfMemory. Reserves address space only.
  static Result<CwaDataResult> create(IncludeFlags include, std::size_t capacity_hint);

  std::size_t size() const { return timestamp.size(); }

  // Appends one block: `timestamps` and `samples` of equal length, and the
  // block's readings repeated for each sample. Magnetometer columns take the
  // samples' magnetometer values, which are 0.0 where a block has none.
  // Errors: OutOfMemory when a column cannot grow, after which the columns may differ in
  // length and the store must be discarded; an internal-error message, with the
  // store unchanged, when the two spans differ in length. Maps memory only past
  // the reservation.
  Result<void> append_block(std::span<const std::int64_t> timestamps, std::span<const SampleData> samples,
                            const BlockReadings& readings);

  // Calls visit(name, column) for each present column in key order: timestamp,
  // then the channels in column order. `visit` takes a Column<int64_t>& or a
  // Column<float>& and returns false to stop; returns whether it never did.
  template <class Visit>
  bool for_each_column(Visit&& visit) {
    if (!visit(std::string_view("timestamp"), timestamp)) return false;
    for (std::size_t c = 0; c < channel_count; ++c) {
      if (columns[c] && !visit(channels[c].name, *columns[c])) return false;
    }
    return true;
  }
};

}  // namespace velnora
