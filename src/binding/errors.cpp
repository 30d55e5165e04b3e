#include "binding/errors.hpp"

#include <string>

namespace velnora::py {

PyObject* raise_cwa_error(const CwaError& error, PyObject* exception_type) {
  std::string text = error.text();
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(exception_type, message);
  Py_DECREF(message);
  return nullptr;
}

PyObject* raise_internal_fault(const char* what) {
  PyErr_Format(PyExc_RuntimeError, "velnora internal error: %s", what);
  return nullptr;
}

}  // namespace velnora::py
