#include "binding/arguments.hpp"
#include "binding/dict_builder.hpp"
#include "binding/errors.hpp"
#include "binding/functions.hpp"
#include "core/format/cwa_file.hpp"
#include "core/time/date_time.hpp"

namespace velnora::py {

namespace {

constexpr const char* parameters[] = {"file_path"};
constexpr Signature signature{"read_header", parameters, 1};

PyObject* header_dict(const CwaHeader& header) {
  DictBuilder dict;
  dict.set("packet_header", header.packet_header)
      .set("packet_length", header.packet_length)
      .set("hardware_type", header.hardware_type)
      .set("device_id", header.device_id)
      .set("session_id", header.session_id)
      .set("upper_device_id", header.upper_device_id)
      .set("logging_start_time", header_time_to_rfc3339(header.logging_start_time))
      .set("logging_end_time", header_time_to_rfc3339(header.logging_end_time))
      .set("last_change_time", header_time_to_rfc3339(header.last_change_time))
      .set("flash_led", header.flash_led)
      .set("sensor_config", header.sensor_config)
      .set("sample_rate_hz", header.sample_rate_hz)
      .set("accel_range", header.accel_range)
      .set("firmware_revision", header.firmware_revision)
      .set("annotation", header.annotation)
      .set("gyro_range", header.gyro_range)
      .set("magnetometer_enabled", header.magnetometer_enabled);
  return dict.finish();
}

}  // namespace

VELNORA_ENTRY(read_header) {
  (void)module;
  return guarded([&]() -> PyObject* {
    auto path = bind_file_path(signature, args, nargsf, kwnames);
    if (!path) return nullptr;
    auto header = read_cwa_header(*path);
    if (!header) return raise_cwa_error(header.error(), PyExc_RuntimeError);
    return header_dict(*header);
  });
}

}  // namespace velnora::py
