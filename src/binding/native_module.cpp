// velnora_tools._native: what the companion package needs beyond velnora's
// six functions, built from the same core and binding helpers.
#include <Python.h>

#include <iterator>
#include <string>

#include "binding/activity.hpp"
#include "binding/arguments.hpp"
#include "binding/entry_point.hpp"
#include "binding/header_and_report.hpp"
#include "binding/module_init.hpp"
#include "binding/numpy_arrays.hpp"
#include "binding/read_options.hpp"
#include "binding/read_request.hpp"
#include "binding/sample_reads.hpp"
#include "core/base/helper_thread.hpp"
#include "core/ops/activity_passes.hpp"
#include "core/ops/export_read.hpp"
#include "core/ops/planned_samples.hpp"
#include "core/ops/recording_file.hpp"
#include "core/ops/timestamp_scan.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/read_plan.hpp"

namespace velnora::py {

namespace {

// (value, damaged blocks), the shape the read and the report return.
PyResult<Ref> with_damaged(PyResult<Ref> value, const DamagedBlocks& damaged) {
  if (!value) return value;
  auto list = damaged_list(damaged);
  if (!list) return list;
  return owned(PyTuple_Pack(2, value->get(), list->get()));
}

PyResult<Ref> read_past_damage(ReadSlots slots) {
  DamagedBlocks damaged;
  return with_damaged(read_samples(slots, &damaged), damaged);
}

// The two choices the companion's exports take after the read options.
struct ExportChoices {
  bool skip_damaged;
  bool carried_only;
};

PyResult<ExportChoices> export_choices(Slots<2> slots) {
  auto skip_damaged = flag_argument(slots[0], "skip_damaged", false);
  if (!skip_damaged) return propagate(skip_damaged);
  auto carried_only = flag_argument(slots[1], "carried_only", false);
  if (!carried_only) return propagate(carried_only);
  return ExportChoices{*skip_damaged, *carried_only};
}

PyResult<Ref> export_csv(Slots<std::size(csv_parameters) + 2> slots) {
  auto arguments = export_arguments(slots.first<std::size(csv_parameters)>());
  if (!arguments) return propagate(arguments);
  auto choices = export_choices(slots.last<2>());
  if (!choices) return propagate(choices);
  if (choices->carried_only) {
    IncludeFlags& include = arguments->request.include;
    auto carried = to_py_result(carried_channels(arguments->path, include), PyExc_RuntimeError);
    if (!carried) return propagate(carried);
    include = *carried;
  }
  DamagedBlocks damaged;
  if (auto written = write_export(*arguments, choices->skip_damaged ? &damaged : nullptr); !written)
    return propagate(written);
  return damaged_list(damaged);
}

PyResult<Ref> report_past_damage(Slots<1> slots) {
  auto path = str_argument(slots[0], "file_path");
  if (!path) return propagate(path);
  DamagedBlocks damaged;
  auto report = to_py_result(sampling_report_past_damage(*path, damaged), PyExc_RuntimeError);
  if (!report) return propagate(report);
  return with_damaged(report_dict(*report), damaged);
}

// The options checked as a read checks them before it opens a file, so that
// the command refuses a wrong one before any work starts.
PyResult<Ref> check_options(OptionSlots slots) {
  if (auto request = read_request(slots, read_defaults); !request) return propagate(request);
  return Ref::borrow(Py_None);
}

PyResult<Ref> count_to_python(std::uint64_t count) { return to_python(count); }

PyResult<Ref> scan_timestamps(Slots<4> slots) {
  auto path = str_argument(slots[0], "file_path");
  if (!path) return propagate(path);
  auto start = optional_u64_argument(slots[1], "start_block");
  if (!start) return propagate(start);
  auto end = optional_u64_argument(slots[2], "end_block");
  if (!end) return propagate(end);
  auto skip_damaged = flag_argument(slots[3], "skip_damaged", false);
  if (!skip_damaged) return propagate(skip_damaged);
  // A cut's own check, so that bounds out of order fail as velnora.blocks does.
  const CutConfig::Blocks blocks{*start, *end};
  if (auto valid = to_py_result(CutConfig{blocks}.validate(), PyExc_ValueError); !valid)
    return propagate(valid);
  if (auto ready = ensure_numpy(); !ready) return propagate(ready);
  DamagedBlocks damaged;
  auto timestamps = to_py_result(velnora::read_timestamps(*path, blocks, *skip_damaged ? &damaged : nullptr),
                                 PyExc_RuntimeError);
  if (!timestamps) return propagate(timestamps);
  if (!*timestamps) return Ref::borrow(Py_None);
  return column_to_array(std::move(**timestamps));
}

PyResult<Ref> read_with_description(Slots<std::size(read_parameters) + 2> slots) {
  auto arguments = read_arguments(slots.first<std::size(read_parameters)>());
  if (!arguments) return propagate(arguments);
  auto choices = export_choices(slots.last<2>());
  if (!choices) return propagate(choices);
  if (auto ready = ensure_numpy(); !ready) return propagate(ready);
  const ReadRequest& request = arguments->request;
  DamagedBlocks damaged;
  auto read = to_py_result(
      velnora::read_for_export(arguments->path, request.cut, request.include, request.resample_hz,
                               choices->skip_damaged ? &damaged : nullptr, choices->carried_only),
      PyExc_RuntimeError);
  if (!read) return propagate(read);
  auto columns = result_to_dict(std::move(read->samples));
  if (!columns) return columns;
  auto header = header_dict(read->header);
  if (!header) return header;
  auto report = report_dict(read->report);
  if (!report) return report;
  auto list = damaged_list(damaged);
  if (!list) return list;
  return owned(PyTuple_Pack(4, columns->get(), header->get(), report->get(), list->get()));
}

constexpr Signature header_signature{"read_header", path_parameter, 1};
constexpr Signature read_signature{"read_skipping_damaged", read_parameters, 1};
constexpr const char* export_csv_parameters[] = {"file_path", "output_path", VELNORA_READ_OPTION_NAMES,
                                                 "skip_damaged", "carried_only"};
constexpr Signature csv_signature{"write_csv", export_csv_parameters, 2};
constexpr Signature report_signature{"report_skipping_damaged", path_parameter, 1};
constexpr Signature plain_report_signature{"sampling_consistency_report", path_parameter, 1};
constexpr Signature check_signature{"check_read_options", read_option_names, 0};
constexpr Signature positions_signature{"block_positions", path_parameter, 1};
constexpr const char* timestamps_parameters[] = {"file_path", "start_block", "end_block", "skip_damaged"};
constexpr Signature timestamps_signature{"read_timestamps", timestamps_parameters, 4};
constexpr const char* export_read_parameters[] = {"file_path", VELNORA_READ_OPTION_NAMES, "skip_damaged",
                                                  "carried_only"};
constexpr Signature export_read_signature{"read_for_export", export_read_parameters, 1};

PyObject* recording_header(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<header_signature, describe_file<read_checked_header, header_dict>>(args, nargsf, kwnames);
}

PyObject* read_skipping_damaged(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) noexcept {
  return run_entry<read_signature, read_past_damage>(args, nargsf, kwnames);
}

PyObject* write_csv(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<csv_signature, export_csv>(args, nargsf, kwnames);
}

PyObject* report_skipping_damaged(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) noexcept {
  return run_entry<report_signature, report_past_damage>(args, nargsf, kwnames);
}

PyObject* plain_sampling_report(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<plain_report_signature, describe_file<velnora::sampling_consistency_report, report_dict>>(
      args, nargsf, kwnames);
}

PyObject* check_read_options(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<check_signature, check_options>(args, nargsf, kwnames);
}

PyObject* block_positions(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<positions_signature, describe_file<count_block_positions, count_to_python>>(args, nargsf,
                                                                                               kwnames);
}

PyObject* read_timestamps(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<timestamps_signature, scan_timestamps>(args, nargsf, kwnames);
}

PyObject* read_for_export(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return run_entry<export_read_signature, read_with_description>(args, nargsf, kwnames);
}

constexpr const char header_doc[] =
    "read_header(file_path)\n--\n\n"
    "velnora.read_header, raising NotARecording for a file that is no recording, and the readers' error for "
    "a "
    "recording they cannot open (\"Incomplete CWA data block\").";

constexpr const char read_doc[] =
    "read_skipping_damaged(file_path, " VELNORA_READ_OPTIONS_TEXT ")\n--\n\n"
    "velnora.read_cwa_file passing over malformed data blocks: (samples, [(block, message, outside_range, "
    "sample_count, reason), ...]).";

constexpr const char csv_doc[] =
    "write_csv(file_path, output_path, " VELNORA_EXPORT_OPTIONS_TEXT
    ", skip_damaged=False, carried_only=False)\n--\n\n"
    "velnora.write_cwa_csv, passing over malformed data blocks when skip_damaged and without the sensors "
    "no good data block carries when carried_only: [(block, message, outside_range, sample_count, reason), "
    "...].";

constexpr const char report_doc[] =
    "report_skipping_damaged(file_path)\n--\n\n"
    "velnora.sampling_consistency_report over the good data blocks: (report, [(block, message, "
    "outside_range, sample_count, reason), ...]).";

// For tests, which must see that a long resampled read was split: the reads
// so far that took the later half's rows from a helper thread.
PyObject* adopted_split_run_count(PyObject*, PyObject*) noexcept {
  return PyLong_FromUnsignedLongLong(adopted_split_runs());
}

// Whether a call of the companion may put a second thread to work, as the
// core's own passes decide it.
PyObject* second_thread_allowed(PyObject*, PyObject*) noexcept {
  return PyBool_FromLong(helper_thread_allowed() ? 1 : 0);
}

constexpr const char plain_report_doc[] =
    "sampling_consistency_report(file_path)\n--\n\n"
    "velnora.sampling_consistency_report, raising NotARecording and DamagedBlockError.";

constexpr const char check_doc[] =
    "check_read_options(" VELNORA_READ_OPTIONS_TEXT ")\n--\n\n"
    "Raises what velnora.read_cwa_file raises for these options, without reading a file.";

constexpr const char positions_doc[] =
    "block_positions(file_path)\n--\n\n"
    "The data-block positions of a recording, as velnora.blocks counts them.";

constexpr const char timestamps_doc[] =
    "read_timestamps(file_path, start_block, end_block, skip_damaged)\n--\n\n"
    "The timestamp column of a read of velnora.blocks(start_block, end_block), past damage when "
    "skip_damaged; None when the blocks hold no sample data.";

constexpr const char export_read_doc[] =
    "read_for_export(file_path, " VELNORA_READ_OPTIONS_TEXT ", skip_damaged=False, carried_only=False)\n--\n\n"
    "(samples, header, report, [(block, message, outside_range, sample_count, reason), ...]) as "
    "velnora.read_header, the sampling report and the read give them, past damage when skip_damaged, without the sensors no good "
    "data block carries when carried_only.";

PyMethodDef function_table[] = {
    fastcall_function("read_header", recording_header, header_doc),
    fastcall_function("read_skipping_damaged", read_skipping_damaged, read_doc),
    fastcall_function("write_csv", write_csv, csv_doc),
    fastcall_function("report_skipping_damaged", report_skipping_damaged, report_doc),
    fastcall_function("sampling_consistency_report", plain_sampling_report, plain_report_doc),
    fastcall_function("check_read_options", check_read_options, check_doc),
    fastcall_function("block_positions", block_positions, positions_doc),
    fastcall_function("read_timestamps", read_timestamps, timestamps_doc),
    fastcall_function("read_for_export", read_for_export, export_read_doc),
    {"_adopted_split_runs", adopted_split_run_count, METH_NOARGS,
     "_adopted_split_runs()\n--\n\nResampled reads split between two threads whose halves met; for tests."},
    {"second_thread_allowed", second_thread_allowed, METH_NOARGS,
     "second_thread_allowed()\n--\n\nWhether a call may use a second thread: two processors or more, and "
     "VELNORA_THREADS is not 1."},
    fastcall_function("calibrate", calibrate, calibrate_doc),
    fastcall_function("epochs", epochs, epochs_doc),
};

// A RuntimeError subclass added to the module as `name`, kept in `slot`.
PyResult<void> add_exception_type(PyObject* module, const char* name, const char* doc, PyObject*& slot) {
  std::string qualified = "velnora_tools._native.";
  qualified += name;
  auto type = owned(PyErr_NewExceptionWithDoc(qualified.c_str(), doc, PyExc_RuntimeError, nullptr));
  if (!type) return propagate(type);
  if (PyModule_AddObjectRef(module, name, type->get()) < 0) return raised();
  slot = type->release();
  return {};
}

// What every function of the module raises instead of a plain RuntimeError:
// NotARecording for a file that is no recording at all, DamagedBlockError
// for a malformed data block a read does not pass over.
// NONWEAR_BLOCK_SECONDS: the length of the blocks non-wear is judged on, for
// the package's own grids of them.
PyResult<void> add_module_values(PyObject* module) {
  if (auto added = add_exception_type(module, "NotARecording", "The file is no CWA recording at all.",
                                      not_a_recording_type);
      !added)
    return added;
  if (auto added = add_exception_type(module, "DamagedBlockError",
                                      "A malformed data block: its position as `block`, the refusal's text as "
                                      "`message`.",
                                      damaged_block_type);
      !added)
    return added;
  if (PyModule_AddIntConstant(module, "NONWEAR_BLOCK_SECONDS", NonwearDetector::block_seconds) < 0) return raised();
  return {};
}

ExtensionModule native_module("velnora_tools._native",
                              "Reading past damaged data blocks and the reads velnora_tools builds on; not a "
                              "public interface.",
                              function_table, false, add_module_values);

}  // namespace

}  // namespace velnora::py

PyMODINIT_FUNC PyInit__native(void) { return velnora::py::native_module.init(); }
