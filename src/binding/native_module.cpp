// velnora_tools._native: what the companion package needs beyond velnora's
// six functions, built from the same core and binding helpers.
#include <Python.h>

#include "binding/arguments.hpp"
#include "binding/entry_point.hpp"
#include "binding/header_and_report.hpp"
#include "binding/module_init.hpp"
#include "binding/read_request.hpp"
#include "binding/sample_reads.hpp"
#include "core/ops/sampling_report.hpp"
#include "core/read/damaged_blocks.hpp"

namespace velnora::py {

namespace {

// The damaged blocks as a list of (block, message) tuples.
PyResult<Ref> damaged_list(const DamagedBlocks& damaged) {
  auto list = owned(PyList_New(static_cast<Py_ssize_t>(damaged.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < damaged.size(); ++i) {
    auto block = to_python(damaged[i].block);
    if (!block) return block;
    auto message = to_python(damaged[i].message);
    if (!message) return message;
    auto item = owned(PyTuple_Pack(2, block->get(), message->get()));
    if (!item) return item;
    PyList_SET_ITEM(list->get(), static_cast<Py_ssize_t>(i), item->release());
  }
  return list;
}

// (value, damaged blocks), the shape the read and the report return.
PyResult<Ref> with_damaged(PyResult<Ref> value, const DamagedBlocks& damaged) {
  if (!value) return value;
  auto list = damaged_list(damaged);
  if (!list) return list;
  return owned(PyTuple_Pack(2, value->get(), list->get()));
}

PyResult<Ref> read_past_damage(Slots<8> slots) {
  DamagedBlocks damaged;
  return with_damaged(read_samples(slots, &damaged), damaged);
}

PyResult<Ref> export_past_damage(Slots<9> slots) {
  DamagedBlocks damaged;
  if (auto written = export_samples(slots, &damaged); !written) return propagate(written);
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

constexpr Signature read_signature{"read_skipping_damaged", read_parameters, 1};
constexpr Signature csv_signature{"write_csv_skipping_damaged", csv_parameters, 2};
constexpr Signature report_signature{"report_skipping_damaged", path_parameter, 1};

PyObject* read_skipping_damaged(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) noexcept {
  return run_entry<read_signature, read_past_damage>(args, nargsf, kwnames);
}

PyObject* write_csv_skipping_damaged(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) noexcept {
  return run_entry<csv_signature, export_past_damage>(args, nargsf, kwnames);
}

PyObject* report_skipping_damaged(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) noexcept {
  return run_entry<report_signature, report_past_damage>(args, nargsf, kwnames);
}

constexpr const char read_doc[] =
    "read_skipping_damaged(file_path, cut=None, include_magnetometer=True, include_temperature=True, "
    "include_light=True, include_battery=True, resample_hz=None, resample_method=\"cubic\")\n--\n\n"
    "velnora.read_cwa_file passing over malformed data blocks: (samples, [(block, message), ...]).";

constexpr const char csv_doc[] =
    "write_csv_skipping_damaged(file_path, output_path, cut=None, include_magnetometer=True, "
    "include_temperature=False, include_light=False, include_battery=False, resample_hz=None, "
    "resample_method=\"cubic\")\n--\n\n"
    "velnora.write_cwa_csv passing over malformed data blocks: [(block, message), ...].";

constexpr const char report_doc[] =
    "report_skipping_damaged(file_path)\n--\n\n"
    "velnora.sampling_consistency_report over the good data blocks: (report, [(block, message), ...]).";

PyMethodDef function_table[] = {
    fastcall_function("read_skipping_damaged", read_skipping_damaged, read_doc),
    fastcall_function("write_csv_skipping_damaged", write_csv_skipping_damaged, csv_doc),
    fastcall_function("report_skipping_damaged", report_skipping_damaged, report_doc),
};

ExtensionModule native_module("velnora_tools._native",
                              "Reading past damaged data blocks, for velnora_tools; not a public interface.",
                              function_table, false);

}  // namespace

}  // namespace velnora::py

PyMODINIT_FUNC PyInit__native(void) { return velnora::py::native_module.init(); }
