#pragma once

#include <Python.h>

#include <utility>

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

}  // namespace velnora::py
