#include <Python.h>

#include "binding/entry_point.hpp"
#include "binding/module_init.hpp"
#include "binding/read_options.hpp"

namespace velnora::py {

namespace {

// Docstrings: the text signature line, "--", an empty line, then the body.
// With this layout the interpreter shows the first line as __text_signature__.
constexpr const char read_header_doc[] = "read_header(file_path)\n--\n\n";

constexpr const char sampling_consistency_report_doc[] =
    "sampling_consistency_report(file_path)\n--\n\n"
    "Return a sampling consistency report for a CWA file.\n"
    "\n"
    "The returned dictionary contains:\n"
    "\n"
    "- `start_from_header`: RFC 3339 timestamp from the metadata block `logging_start_time`\n"
    "  field, or `None` when the header uses an unset marker.\n"
    "- `end_from_header`: RFC 3339 timestamp from the metadata block `logging_end_time`\n"
    "  field, or `None` when the header uses an unset marker.\n"
    "- `duration_s_from_header`: `end_from_header - start_from_header` in seconds, or\n"
    "  `None` when either header timestamp is unavailable.\n"
    "- `start_from_data`: RFC 3339 timestamp of the first sample produced by the data\n"
    "  packets, using the same packet timestamp, `timestampOffset`, and continuity\n"
    "  correction as `read_cwa_file`.\n"
    "- `end_from_data`: RFC 3339 timestamp of the last sample produced by the data\n"
    "  packets, using the same timestamp calculation as `read_cwa_file`.\n"
    "- `duration_s_from_data`: `end_from_data - start_from_data` in seconds. This is\n"
    "  the inclusive first-sample-to-last-sample span, not the half-open packet end.\n"
    "- `samplingrate_hz_from_header`: nominal sampling rate decoded from the metadata\n"
    "  block sampling-rate code as `3200 / (1 << (15 - (rate_code & 0x0f)))`.\n"
    "- `samplingrate_hz_from_data`: effective sampling rate calculated as\n"
    "  `(sample_count - 1) / duration_s_from_data`, or `None` when fewer than two\n"
    "  samples or no positive data duration are available.";

constexpr const char seconds_doc[] = "seconds(start=None, end=None)\n--\n\n";

constexpr const char blocks_doc[] = "blocks(start=None, end=None)\n--\n\n";

constexpr const char read_cwa_file_doc[] =
    "read_cwa_file(file_path, " VELNORA_READ_OPTIONS_TEXT ")\n--\n\n"
    "Python interface for reading CWA data.\n"
    "\n"
    "Optional resampling parameters:\n"
    "- `resample_hz`: when set, data is resampled onto a regular grid.\n"
    "- `resample_method`: currently supports `\"cubic\"`.";

constexpr const char write_cwa_csv_doc[] =
    "write_cwa_csv(file_path, output_path, " VELNORA_EXPORT_OPTIONS_TEXT ")\n--\n\n"
    "Write CWA samples directly to CSV.\n"
    "\n"
    "Supports the same optional resampling and time-range controls as `read_cwa_file`.";

// The definitions must outlive every function object made from them.
PyMethodDef function_table[] = {
    fastcall_function("read_header", read_header, read_header_doc),
    fastcall_function("sampling_consistency_report", sampling_consistency_report,
                      sampling_consistency_report_doc),
    fastcall_function("seconds", seconds, seconds_doc),
    fastcall_function("blocks", blocks, blocks_doc),
    fastcall_function("read_cwa_file", read_cwa_file, read_cwa_file_doc),
    fastcall_function("write_cwa_csv", write_cwa_csv, write_cwa_csv_doc),
};

ExtensionModule velnora_module(
    "velnora",
    "Reads CWA accelerometer recordings: header, samples, cuts, resampling, CSV export and a "
    "sampling consistency report.",
    function_table, true);

}  // namespace

}  // namespace velnora::py

PyMODINIT_FUNC PyInit_velnora(void) { return velnora::py::velnora_module.init(); }
