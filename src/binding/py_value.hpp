#pragma once

#include <Python.h>

#include <concepts>
#include <optional>
#include <string_view>

#include "binding/py_ref.hpp"

namespace velnora::py {

// New Python objects from C++ values: int for integers, float for double, str
// for UTF-8 text, the bool singletons, and None for an empty optional. A NULL
// Ref means the interpreter's exception is set.
inline Ref to_python(Ref value) { return value; }

inline Ref to_python(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

template <std::unsigned_integral T>
requires(!std::same_as<T, bool>) Ref to_python(T value) {
  return Ref::steal(PyLong_FromUnsignedLongLong(value));
}

template <std::signed_integral T>
Ref to_python(T value) {
  return Ref::steal(PyLong_FromLongLong(value));
}

inline Ref to_python(double value) { return Ref::steal(PyFloat_FromDouble(value)); }

inline Ref to_python(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Without this a string literal would convert to bool before string_view.
inline Ref to_python(const char* text) { return to_python(std::string_view(text)); }

inline Ref to_python(std::nullopt_t) { return Ref::borrow(Py_None); }

template <class T>
Ref to_python(const std::optional<T>& value) {
  return value ? to_python(*value) : to_python(std::nullopt);
}

}  // namespace velnora::py
