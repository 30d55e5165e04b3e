#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "binding/py_objects.hpp"

namespace velnora::py {

// A function's parameters; the first `required` have no default.
struct Signature {
  const char* name;
  std::span<const char* const> parameters;
  std::size_t required;
};

// The parameter list of the functions that take a recording's path alone.
inline constexpr const char* path_parameter[] = {"file_path"};

// Binds the vectorcall arguments to one borrowed slot per parameter (NULL when
// not given). Raises TypeError with the interpreter's usual texts.
PyResult<void> bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames, std::span<PyObject*> slots);

// Plain conversions, used by the arguments below and by the cut dictionary.
// Each raises its own TypeError (or the interpreter's exception).
PyResult<std::string_view> to_utf8(PyObject* value);  // valid while `value` lives
PyResult<bool> to_flag(PyObject* value);
PyResult<double> to_f64(PyObject* value);
PyResult<std::uint64_t> to_u64(PyObject* value);

// Argument conversions. A NULL slot is a left-out argument; None counts as
// left out only for the optional numbers. After a failed conversion an
// exception of exactly type TypeError is replaced by "argument '{name}': {text}"
// keeping its __cause__; every other exception passes unchanged.
PyResult<std::string_view> str_argument(PyObject* slot, const char* name, std::string_view fallback = {});
PyResult<bool> flag_argument(PyObject* slot, const char* name, bool fallback);
PyResult<std::optional<double>> optional_f64_argument(PyObject* slot, const char* name);
PyResult<std::optional<std::uint64_t>> optional_u64_argument(PyObject* slot, const char* name);

}  // namespace velnora::py
