#pragma once

#include <Python.h>

#include <concepts>
#include <expected>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/base/cwa_error.hpp"

namespace velnora::py {

// An owning reference. It is made only by an explicit steal() or borrow(), so
// every reference count change is visible where it happens; the destructor
// drops the reference on every path.
class Ref {
 public:
  Ref() = default;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a new reference (possibly NULL after a failed call).
  static Ref steal(PyObject* object) { return Ref(object); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// The binding's one error convention: every step that can fail returns a
// PyResult. Its error is either Raised, when the interpreter's exception is
// already set (a failed C API call, a rejected argument), or a core error with
// the exception type it becomes. Entry points raise the latter on their way
// out, in one place (run_entry).
struct Raised {};
struct CoreFailure {
  CwaError error;
  PyObject* type;
};
using Failure = std::variant<Raised, CoreFailure>;

template <class T>
using PyResult = std::expected<T, Failure>;

inline std::unexpected<Failure> raised() { return std::unexpected<Failure>(Raised{}); }

// Passes a failed step's error on to the caller.
template <class T>
std::unexpected<Failure> propagate(PyResult<T>& failed) {
  return std::unexpected(std::move(failed.error()));
}

// A core result whose error is to be raised as `type`.
template <class T>
PyResult<T> to_py_result(Result<T>&& result, PyObject* type) {
  if (!result) return std::unexpected<Failure>(CoreFailure{std::move(result.error()), type});
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(*result);
  }
}

// A new reference from the C API, where NULL means its exception is set.
inline PyResult<Ref> owned(PyObject* new_reference) {
  if (new_reference == nullptr) return raised();
  return Ref::steal(new_reference);
}

// New Python objects from C++ values: int for integers, float for double, str
// for UTF-8 text, the bool singletons, and None for an empty optional.
inline PyResult<Ref> to_python(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>)
PyResult<Ref> to_python(T value) {
  return owned(PyLong_FromUnsignedLongLong(value));
}

template <std::signed_integral T>
PyResult<Ref> to_python(T value) {
  return owned(PyLong_FromLongLong(value));
}

inline PyResult<Ref> to_python(double value) { return owned(PyFloat_FromDouble(value)); }

inline PyResult<Ref> to_python(std::string_view text) {
  return owned(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Without this a string literal would convert to bool before string_view.
inline PyResult<Ref> to_python(const char* text) { return to_python(std::string_view(text)); }

template <class T>
PyResult<Ref> to_python(const std::optional<T>& value) {
  if (!value) return Ref::borrow(Py_None);
  return to_python(*value);
}

// Builds a dict entry by entry, in insertion order, from anything to_python
// accepts. The first failure releases the partly filled dict and turns every
// later set() into a no-op, so a chain of set() calls needs one check at the end.
class DictBuilder {
 public:
  DictBuilder() : dict_(owned(PyDict_New())) {}

  template <class Value>
  DictBuilder& set(const char* key, const Value& value) {
    if (!dict_) return *this;
    auto item = to_python(value);
    if (!item || PyDict_SetItemString(dict_->get(), key, item->get()) < 0) dict_ = raised();
    return *this;
  }

  PyResult<Ref> finish() { return std::move(dict_); }

 private:
  PyResult<Ref> dict_;
};

}  // namespace velnora::py
