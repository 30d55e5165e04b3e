#include "binding/arguments.hpp"

#include <string>

#include "binding/compat.hpp"
#include "binding/py_ref.hpp"

namespace velnora::py {

namespace {

[[gnu::cold]] void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  auto count = static_cast<Py_ssize_t>(signature.parameters.size());
  if (signature.required == signature.parameters.size()) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", signature.name,
                 count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                 signature.name, static_cast<Py_ssize_t>(signature.required), count, given, verb);
  }
}

[[gnu::cold]] void raise_missing(const Signature& signature, std::span<PyObject*> slots) {
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
}

Ref type_qualname(PyObject* value) { return Ref::steal(PyType_GetQualName(Py_TYPE(value))); }

[[gnu::cold]] std::unexpected<Raised> raise_not_convertible(PyObject* value, const char* target) {
  Ref name = type_qualname(value);
  if (name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  return raised();
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

}  // namespace

PyResult<void> bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames, std::span<PyObject*> slots) {
  Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  auto count = static_cast<Py_ssize_t>(signature.parameters.size());
  if (positional > count) {
    raise_too_many_positional(signature, positional);
    return raised();
  }
  for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = nullptr;
  for (Py_ssize_t i = 0; i < positional; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t match = signature.parameters.size();
    for (std::size_t p = 0; p < signature.parameters.size(); ++p) {
      if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[p]) == 0) {
        match = p;
        break;
      }
    }
    if (match == signature.parameters.size()) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, keyword);
      return raised();
    }
    if (slots[match] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.name,
                   signature.parameters[match]);
      return raised();
    }
    slots[match] = args[positional + k];
  }

  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) {
      raise_missing(signature, slots);
      return raised();
    }
  }
  return {};
}

PyResult<std::string_view> bind_file_path(const Signature& signature, PyObject* const* args,
                                          Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* slot;
  if (!bind_arguments(signature, args, nargsf, kwnames, std::span<PyObject*>(&slot, 1))) return raised();
  return str_argument(slot, "file_path");
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

void prefix_argument_error(const char* name) {
  // Only an exception of exactly type TypeError is renamed; a subclass keeps
  // its own type and text.
  if (PyErr_Occurred() != PyExc_TypeError) return;
  Ref original = Ref::steal(take_raised_exception());
  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) return;
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  PyObject* cause = PyException_GetCause(original.get());  // new reference or NULL
  PyException_SetCause(replacement.get(), cause);          // steals `cause`
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

PyResult<std::string_view> str_argument(PyObject* slot, const char* name, std::string_view fallback) {
  if (slot == nullptr) return fallback;
  auto text = to_utf8(slot);
  if (!text) prefix_argument_error(name);
  return text;
}

PyResult<bool> flag_argument(PyObject* slot, const char* name, bool fallback) {
  if (slot == nullptr) return fallback;
  auto flag = to_flag(slot);
  if (!flag) prefix_argument_error(name);
  return flag;
}

PyResult<std::optional<double>> optional_f64_argument(PyObject* slot, const char* name) {
  if (slot == nullptr || slot == Py_None) return std::optional<double>();
  auto value = to_f64(slot);
  if (!value) {
    prefix_argument_error(name);
    return raised();
  }
  return std::optional<double>(*value);
}

PyResult<std::optional<std::uint64_t>> optional_u64_argument(PyObject* slot, const char* name) {
  if (slot == nullptr || slot == Py_None) return std::optional<std::uint64_t>();
  auto value = to_u64(slot);
  if (!value) {
    prefix_argument_error(name);
    return raised();
  }
  return std::optional<std::uint64_t>(*value);
}

}  // namespace velnora::py
