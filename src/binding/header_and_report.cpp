#include "binding/header_and_report.hpp"

#include "binding/arguments.hpp"
#include "binding/entry_point.hpp"
#include "core/ops/recording_file.hpp"
#include "core/time/date_time.hpp"

namespace velnora::py {

namespace {

constexpr Signature read_header_signature{"read_header", path_parameter, 1};
constexpr Signature report_signature{"sampling_consistency_report", path_parameter, 1};

}  // namespace

PyResult<Ref> header_dict(const CwaHeader& header) {
  return DictBuilder()
      .set("packet_header", header.packet_header)
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
      .set("magnetometer_enabled", header.magnetometer_enabled)
      .finish();
}

PyResult<Ref> report_dict(const SamplingReport& report) {
  return DictBuilder()
      .set("start_from_header", report.start_from_header)
      .set("end_from_header", report.end_from_header)
      .set("duration_s_from_header", report.duration_s_from_header)
      .set("start_from_data", report.start_from_data)
      .set("end_from_data", report.end_from_data)
      .set("duration_s_from_data", report.duration_s_from_data)
      .set("samplingrate_hz_from_header", report.samplingrate_hz_from_header)
      .set("samplingrate_hz_from_data", report.samplingrate_hz_from_data)
      .finish();
}

PyObject* read_header(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<read_header_signature, describe_file<read_cwa_header, header_dict>>(args, nargsf,
                                                                                             kwnames);
}

PyObject* sampling_consistency_report(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                      PyObject* kwnames) noexcept {
  return run_entry<report_signature, describe_file<velnora::sampling_consistency_report, report_dict>>(
      args, nargsf, kwnames);
}

}  // namespace velnora::py
