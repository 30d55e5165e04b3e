#include "core/csv/csv_header.hpp"

namespace velnora {

CsvHeader csv_header(IncludeFlags include) {
  CsvHeader header;
  auto add = [&header](std::string_view name) { header.names[header.count++] = name; };
  for (std::string_view name : {"time", "acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z"}) add(name);
  if (include.magnetometer) {
    for (std::string_view name : {"mag_x", "mag_y", "mag_z"}) add(name);
  }
  if (include.temperature) add("temperature");
  if (include.light) add("light");
  if (include.battery) add("battery");
  return header;
}

}  // namespace velnora
