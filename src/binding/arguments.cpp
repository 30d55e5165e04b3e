#include "binding/arguments.hpp"

#include <string>

namespace velnora::py {

namespace {

[[gnu::cold]] std::unexpected<Failure> raise_too_many_positional(const Signature& signature,
                                                                 Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  auto count = static_cast<Py_ssize_t>(signature.parameters.size());
  if (signature.required == signature.parameters.size()) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", signature.name,
                 count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                 signature.name, static_cast<Py_ssize_t>(signature.required), count, given, verb);
  }
  return raised();
}

[[gnu::cold]] std::unexpected<Failure> raise_unexpected_keyword(const Signature& signature,
                                                                PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, keyword);
  return raised();
}

[[gnu::cold]] std::unexpected<Failure> raise_multiple_values(const Signature& signature, const char* name) {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.name, name);
  return raised();
}

[[gnu::cold]] std::unexpected<Failure> raise_missing(const Signature& signature, std::span<PyObject*> slots) {
  std::string names;
  std::size_t missing = 0;
  for (std::size_t i = 0; i < signature.required; ++i) missing += slots[i] == nullptr;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] != nullptr) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed + 1 == missing ? ", and " : ", ";
      }
    }
    names += '\'';
    names += signature.parameters[i];
    names += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional %s: %s", signature.name,
               static_cast<Py_ssize_t>(missing), missing == 1 ? "argument" : "arguments", names.c_str());
  return raised();
}

[[gnu::cold]] std::unexpected<Failure> raise_not_convertible(PyObject* value, const char* target) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
  if (name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  return raised();
}

// Takes the raised exception as a normalised instance (new reference), leaving
// no exception set. The fetch/normalise pair is deprecated from 3.12 on.
PyObject* take_raised_exception() {
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

// Puts the argument's name in front of a conversion's TypeError. Only an
// exception of exactly that type is renamed; a subclass keeps its own type and text.
[[gnu::cold]] std::unexpected<Failure> name_type_error(const char* name) {
  if (PyErr_Occurred() != PyExc_TypeError) return raised();
  Ref original = Ref::steal(take_raised_exception());
  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) return raised();
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return raised();
  Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return raised();
  PyObject* cause = PyException_GetCause(original.get());  // new reference or NULL
  PyException_SetCause(replacement.get(), cause);          // steals `cause`
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  return raised();
}

template <class T>
PyResult<T> named(PyResult<T> converted, const char* name) {
  if (!converted) return name_type_error(name);
  return converted;
}

// A NumPy boolean scalar, recognised by its type's module and name so that
// NumPy need not be imported.
bool is_numpy_bool(PyObject* value) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

std::size_t parameter_index(const Signature& signature, PyObject* keyword) {
  for (std::size_t p = 0; p < signature.parameters.size(); ++p) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[p]) == 0) return p;
  }
  return signature.parameters.size();
}

}  // namespace

PyResult<void> bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames, std::span<PyObject*> slots) {
  Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  if (positional > static_cast<Py_ssize_t>(signature.parameters.size()))
    return raise_too_many_positional(signature, positional);
  for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = nullptr;
  for (Py_ssize_t i = 0; i < positional; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t match = parameter_index(signature, keyword);
    if (match == signature.parameters.size()) return raise_unexpected_keyword(signature, keyword);
    if (slots[match] != nullptr) return raise_multiple_values(signature, signature.parameters[match]);
    slots[match] = args[positional + k];
  }

  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) return raise_missing(signature, slots);
  }
  return {};
}

PyResult<std::string_view> to_utf8(PyObject* value) {
  if (!PyUnicode_Check(value)) return raise_not_convertible(value, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return raised();
  return std::string_view(text, static_cast<std::size_t>(size));
}

PyResult<bool> to_flag(PyObject* value) {
  if (PyBool_Check(value)) return value == Py_True;
  if (is_numpy_bool(value)) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return raised();
    return truth == 1;
  }
  if (PyErr_Occurred()) return raised();
  return raise_not_convertible(value, "PyBool");
}

PyResult<double> to_f64(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  double converted = PyFloat_AsDouble(value);
  if (converted == -1.0 && PyErr_Occurred()) return raised();
  return converted;
}

PyResult<std::uint64_t> to_u64(PyObject* value) {
  Ref index = PyLong_Check(value) ? Ref::borrow(value) : Ref::steal(PyNumber_Index(value));
  if (!index) return raised();
  unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return raised();
  return static_cast<std::uint64_t>(converted);
}

PyResult<std::string_view> str_argument(PyObject* slot, const char* name, std::string_view fallback) {
  if (slot == nullptr) return fallback;
  return named(to_utf8(slot), name);
}

PyResult<bool> flag_argument(PyObject* slot, const char* name, bool fallback) {
  if (slot == nullptr) return fallback;
  return named(to_flag(slot), name);
}

PyResult<std::optional<double>> optional_f64_argument(PyObject* slot, const char* name) {
  if (slot == nullptr || slot == Py_None) return std::optional<double>();
  return named(to_f64(slot), name);
}

PyResult<std::optional<std::uint64_t>> optional_u64_argument(PyObject* slot, const char* name) {
  if (slot == nullptr || slot == Py_None) return std::optional<std::uint64_t>();
  return named(to_u64(slot), name);
}

}  // namespace velnora::py
