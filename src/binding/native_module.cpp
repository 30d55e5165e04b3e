// velnora_tools._native: what the companion package needs beyond velnora's
// six functions, built from the same core and binding helpers.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/activity.hpp"
#include "binding/arguments.hpp"
#include "binding/entry_point.hpp"
#include "binding/header_and_report.hpp"
#include "binding/numpy_arrays.hpp"
#include "binding/read_request.hpp"
#include "core/ops/planned_samples.hpp"
#include "core/ops/sampling_report.hpp"
#include "core/read/damaged_blocks.hpp"
#include "core/read/read_plan.hpp"

namespace velnora::py {

namespace {

constexpr Signature read_signature{"read_skipping_damaged", read_parameters, 1};
constexpr Signature csv_signature{"write_csv_skipping_damaged", csv_parameters, 2};

constexpr const char* path_parameter[] = {"file_path"};
constexpr Signature report_signature{"report_skipping_damaged", path_parameter, 1};

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

PyResult<ReadPlan> plan_past_damage(std::string_view path, const ReadRequest& request) {
  return to_py_result(resolve_read_plan(path, request.cut, true), PyExc_RuntimeError);
}

PyResult<Ref> read_past_damage(Slots<8> slots) {
  auto arguments = read_arguments(slots);
  if (!arguments) return propagate(arguments);
  const ReadRequest& request = arguments->request;
  auto plan = plan_past_damage(arguments->path, request);
  if (!plan) return propagate(plan);
  DamagedBlocks damaged;
  auto data = to_py_result(
      read_planned_samples(arguments->path, *plan, request.include, request.resample_hz, &damaged),
      PyExc_RuntimeError);
  if (!data) return propagate(data);
  return with_damaged(result_to_dict(std::move(*data)), damaged);
}

PyResult<Ref> export_past_damage(Slots<9> slots) {
  auto arguments = export_arguments(slots);
  if (!arguments) return propagate(arguments);
  const ReadRequest& request = arguments->request;
  auto plan = plan_past_damage(arguments->path, request);
  if (!plan) return propagate(plan);
  DamagedBlocks damaged;
  auto written = to_py_result(write_planned_csv(arguments->path, arguments->output, *plan, request.include,
                                                request.resample_hz, &damaged),
                              PyExc_RuntimeError);
  if (!written) return propagate(written);
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

template <auto Entry>
PyCFunction as_cfunction() {
  // METH_FASTCALL | METH_KEYWORDS functions are stored as PyCFunction.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

PyMethodDef function_table[] = {
    {"read_skipping_damaged", as_cfunction<&read_skipping_damaged>(), METH_FASTCALL | METH_KEYWORDS,
     read_doc},
    {"write_csv_skipping_damaged", as_cfunction<&write_csv_skipping_damaged>(), METH_FASTCALL | METH_KEYWORDS,
     csv_doc},
    {"report_skipping_damaged", as_cfunction<&report_skipping_damaged>(), METH_FASTCALL | METH_KEYWORDS,
     report_doc},
    {"calibrate", as_cfunction<&calibrate>(), METH_FASTCALL | METH_KEYWORDS, calibrate_doc},
    {"epochs", as_cfunction<&epochs>(), METH_FASTCALL | METH_KEYWORDS, epochs_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "velnora_tools._native",
    "Reading past damaged data blocks, for velnora_tools; not a public interface.",
    -1,
    function_table,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The column arrays' owner type and NumPy's function table are per process,
// so the module serves the first interpreter that imports it and no other.
std::atomic<std::int64_t> owning_interpreter{-1};

}  // namespace

}  // namespace velnora::py

PyMODINIT_FUNC PyInit__native(void) {
  using namespace velnora::py;
  std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
    PyErr_SetString(PyExc_ImportError, "velnora_tools._native does not support subinterpreters");
    return nullptr;
  }
  PyObject* module = PyModule_Create(&module_definition);
#ifdef Py_GIL_DISABLED
  if (module != nullptr && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) < 0) Py_CLEAR(module);
#endif
  return module;
}
