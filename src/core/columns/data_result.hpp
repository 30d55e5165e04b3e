#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "core/base/cwa_error.hpp"
#include "core/format/data_block.hpp"
#include "core/columns/column.hpp"
#include "core/format/include_flags.hpp"
#include "core/format/sample_data.hpp"

namespace velnora {

// Timestamped samples as columns of equal length, in file order. An optional
// column is either absent or as long as the others.
struct CwaDataResult {
  Column<std::int64_t> timestamp;  // microseconds since 1970-01-01T00:00:00 UTC
  Column<float> acc_x, acc_y, acc_z;
  Column<float> gyro_x, gyro_y, gyro_z;
  std::optional<Column<float>> mag_x, mag_y, mag_z;
  std::optional<Column<float>> temperature, light, battery;

  // Empty columns: the six channels and timestamps always, the optional ones as
  // included, each with address space for `capacity_hint` samples (a count too
  // small only costs remaps later). Errors: Io. Reserves address space only.
  static Result<CwaDataResult> create(IncludeFlags include, std::size_t capacity_hint);

  std::size_t size() const { return timestamp.size(); }

  // Appends one block: `timestamps` and `samples` of equal length, and the
  // block's readings repeated for each sample. Magnetometer columns take the
  // samples' magnetometer values, which are 0.0 where a block has none.
  // Errors: Io when a column cannot grow, after which the columns may differ in
  // length and the store must be discarded; an internal-error message, with the
  // store unchanged, when the two spans differ in length. Maps memory only past
  // the reservation.
  Result<void> append_block(std::span<const std::int64_t> timestamps, std::span<const SampleData> samples,
                            const BlockReadings& readings);

  // Calls visit(name, column) for each present column in key order: timestamp,
  // acc_x, acc_y, acc_z, gyro_x, gyro_y, gyro_z, then mag_x, mag_y, mag_z,
  // temperature, light, battery where present. `visit` takes a Column<int64_t>&
  // or a Column<float>& and returns false to stop; returns whether it never did.
  template <class Visit>
  bool for_each_column(Visit&& visit) {
    if (!visit(std::string_view("timestamp"), timestamp)) return false;
    const std::pair<std::string_view, Column<float>*> channels[] = {
        {"acc_x", &acc_x},   {"acc_y", &acc_y},   {"acc_z", &acc_z},
        {"gyro_x", &gyro_x}, {"gyro_y", &gyro_y}, {"gyro_z", &gyro_z},
    };
    for (const auto& [name, column] : channels) {
      if (!visit(name, *column)) return false;
    }
    const std::pair<std::string_view, std::optional<Column<float>>*> optional_channels[] = {
        {"mag_x", &mag_x}, {"mag_y", &mag_y},     {"mag_z", &mag_z}, {"temperature", &temperature},
        {"light", &light}, {"battery", &battery},
    };
    for (const auto& [name, column] : optional_channels) {
      if (*column && !visit(name, **column)) return false;
    }
    return true;
  }
};

}  // namespace velnora
