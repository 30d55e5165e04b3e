#pragma once

#include <Python.h>

// The six module functions, in the order they are added to the module. Each is
// called by the interpreter with the vectorcall-with-keywords convention.
namespace velnora::py {

#define VELNORA_ENTRY(name) \
  PyObject* name(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept

VELNORA_ENTRY(read_header);
VELNORA_ENTRY(sampling_consistency_report);
VELNORA_ENTRY(seconds);
VELNORA_ENTRY(blocks);
VELNORA_ENTRY(read_cwa_file);
VELNORA_ENTRY(write_cwa_csv);

}  // namespace velnora::py
