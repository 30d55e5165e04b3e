#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/entry_point.hpp"
#include "binding/py_objects.hpp"

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
    "read_cwa_file(file_path, cut=None, include_magnetometer=True, include_temperature=True, "
    "include_light=True, include_battery=True, resample_hz=None, resample_method=\"cubic\")\n--\n\n"
    "Python interface for reading CWA data.\n"
    "\n"
    "Optional resampling parameters:\n"
    "- `resample_hz`: when set, data is resampled onto a regular grid.\n"
    "- `resample_method`: currently supports `\"cubic\"`.";

constexpr const char write_cwa_csv_doc[] =
    "write_cwa_csv(file_path, output_path, cut=None, include_magnetometer=True, "
    "include_temperature=False, include_light=False, include_battery=False, resample_hz=None, "
    "resample_method=\"cubic\")\n--\n\n"
    "Write CWA samples directly to CSV.\n"
    "\n"
    "Supports the same optional resampling and time-range controls as `read_cwa_file`.";

template <auto Entry>
PyCFunction as_cfunction() {
  // METH_FASTCALL | METH_KEYWORDS functions are stored as PyCFunction.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

constexpr int fastcall_flags = METH_FASTCALL | METH_KEYWORDS;

// The definitions must outlive every function object made from them.
PyMethodDef function_table[] = {
    {"read_header", as_cfunction<&read_header>(), fastcall_flags, read_header_doc},
    {"sampling_consistency_report", as_cfunction<&sampling_consistency_report>(), fastcall_flags,
     sampling_consistency_report_doc},
    {"seconds", as_cfunction<&seconds>(), fastcall_flags, seconds_doc},
    {"blocks", as_cfunction<&blocks>(), fastcall_flags, blocks_doc},
    {"read_cwa_file", as_cfunction<&read_cwa_file>(), fastcall_flags, read_cwa_file_doc},
    {"write_cwa_csv", as_cfunction<&write_cwa_csv>(), fastcall_flags, write_cwa_csv_doc},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "velnora",
    "Reads CWA accelerometer recordings: header, samples, cuts, resampling, CSV export and a "
    "sampling consistency report.",
    // Not -1: with no per-module state the import system calls PyInit_velnora
    // again on a repeated import instead of copying a cached module dict, so the
    // interpreter check below sees every interpreter.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr std::int64_t no_interpreter = -1;
std::atomic<std::int64_t> owning_interpreter{no_interpreter};
PyObject* stored_module = nullptr;

[[gnu::cold]] std::unexpected<Failure> raise_name_not_str() {
  PyErr_SetString(PyExc_TypeError, "function __name__ is not a str");
  return raised();
}

// The module's __all__, made on first use.
PyResult<Ref> all_list(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (all) return all;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return raised();
  PyErr_Clear();
  auto made = owned(PyList_New(0));
  if (made && PyObject_SetAttrString(module, "__all__", made->get()) < 0) return raised();
  return made;
}

// Appends the function's __name__ to __all__ and sets the module attribute of
// that name.
PyResult<void> add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  auto function = owned(PyCFunction_NewEx(definition, module, module_name));
  if (!function) return propagate(function);
  auto name = owned(PyObject_GetAttrString(function->get(), "__name__"));
  if (!name) return propagate(name);
  if (!PyUnicode_Check(name->get())) return raise_name_not_str();
  auto all = all_list(module);
  if (!all) return propagate(all);
  if (PyList_Append(all->get(), name->get()) < 0 ||
      PyObject_SetAttr(module, name->get(), function->get()) < 0)
    return raised();
  return {};
}

PyResult<Ref> create_module() {
  auto module = owned(PyModule_Create(&module_definition));
  if (!module) return propagate(module);
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module->get(), Py_MOD_GIL_USED) < 0) return raised();
#endif
  auto module_name = owned(PyUnicode_FromString(module_definition.m_name));
  if (!module_name) return propagate(module_name);
  for (PyMethodDef& definition : function_table) {
    if (auto added = add_function(module->get(), module_name->get(), &definition); !added)
      return propagate(added);
  }
  return module;
}

}  // namespace

}  // namespace velnora::py

PyMODINIT_FUNC PyInit_velnora(void) {
  using namespace velnora::py;
  std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  std::int64_t expected = no_interpreter;
  // The first caller ever claims the module, whether or not its init succeeds.
  if (!owning_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
    PyErr_SetString(PyExc_ImportError, "velnora does not support subinterpreters");
    return nullptr;
  }
  if (stored_module != nullptr) return Py_NewRef(stored_module);
  auto module = create_module();
  if (!module) return nullptr;
  stored_module = Py_NewRef(module->get());
  return module->release();
}
