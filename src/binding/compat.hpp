#pragma once

#include <Python.h>

namespace velnora::py {

// Takes the raised exception as a normalised instance (new reference), leaving
// no exception set. The fetch/normalise pair is deprecated from 3.12 on.
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// PyDict_GetItemRef (3.13) for older interpreters: 1 and a new reference when
// found, 0 when missing, -1 with an exception set.
inline int dict_get_item_ref(PyObject* dict, PyObject* key, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyDict_GetItemRef(dict, key, result);
#else
  PyObject* item = PyDict_GetItemWithError(dict, key);
  if (item == nullptr) {
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
  }
  Py_INCREF(item);
  *result = item;
  return 1;
#endif
}

}  // namespace velnora::py
