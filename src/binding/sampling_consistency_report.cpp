#include "binding/arguments.hpp"
#include "binding/dict_builder.hpp"
#include "binding/errors.hpp"
#include "binding/functions.hpp"
#include "core/ops/sampling_report.hpp"

namespace velnora::py {

namespace {

constexpr const char* parameters[] = {"file_path"};
constexpr Signature signature{"sampling_consistency_report", parameters, 1};

PyObject* report_dict(const SamplingReport& report) {
  DictBuilder dict;
  dict.set("start_from_header", report.start_from_header)
      .set("end_from_header", report.end_from_header)
      .set("duration_s_from_header", report.duration_s_from_header)
      .set("start_from_data", report.start_from_data)
      .set("end_from_data", report.end_from_data)
      .set("duration_s_from_data", report.duration_s_from_data)
      .set("samplingrate_hz_from_header", report.samplingrate_hz_from_header)
      .set("samplingrate_hz_from_data", report.samplingrate_hz_from_data);
  return dict.finish();
}

}  // namespace

VELNORA_ENTRY(sampling_consistency_report) {
  (void)module;
  return guarded([&]() -> PyObject* {
    auto path = bind_file_path(signature, args, nargsf, kwnames);
    if (!path) return nullptr;
    auto report = velnora::sampling_consistency_report(*path);
    if (!report) return raise_cwa_error(report.error(), PyExc_RuntimeError);
    return report_dict(*report);
  });
}

}  // namespace velnora::py
