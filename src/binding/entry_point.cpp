#include "binding/entry_point.hpp"

#include <exception>
#include <new>
#include <string>

namespace velnora::py {

namespace {

// The text is decoded as UTF-8 with replacement, so a message quoting the
// caller's own text (a resample method, a path) comes back unchanged.
// Out of memory is MemoryError whatever the call would raise otherwise; an
// interrupted call already carries the exception its signal handler raised.
[[gnu::cold]] void raise_core_error(const CoreFailure& failure) {
  const CwaError::Kind kind = failure.error.kind();
  if (kind == CwaError::Kind::Interrupted) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return;
  }
  PyObject* type = kind == CwaError::Kind::OutOfMemory ? PyExc_MemoryError : failure.type;
  if (failure.error.not_a_recording() && type == PyExc_RuntimeError && not_a_recording_type != nullptr)
    type = not_a_recording_type;
  std::string text = failure.error.text();
  Ref message =
      Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

[[gnu::cold]] void raise_internal_fault(const char* what) {
  PyErr_Format(PyExc_RuntimeError, "velnora internal error: %s", what);
}

}  // namespace

PyObject* not_a_recording_type = nullptr;

bool signal_handler_raised() { return PyErr_CheckSignals() != 0; }

void raise_failure(const Failure& failure) {
  if (const auto* core = std::get_if<CoreFailure>(&failure)) raise_core_error(*core);
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_internal_fault(error.what());
  } catch (...) {
    raise_internal_fault("unknown C++ exception");
  }
}

}  // namespace velnora::py
