#pragma once

#include <Python.h>

namespace velnora::py {

// The interim state of a function whose behaviour has not landed yet.
inline PyObject* raise_not_built(const char* function) {
  PyErr_Format(PyExc_NotImplementedError, "%s() is not implemented yet", function);
  return nullptr;
}

}  // namespace velnora::py
