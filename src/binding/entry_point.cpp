#include "binding/entry_point.hpp"

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>

namespace velnora::py {

namespace {

// The text is decoded as UTF-8 with replacement, so a message quoting the
// caller's own text (a resample method, a path) comes back unchanged.
// Out of memory is MemoryError whatever the call would raise otherwise; an
// interrupted call already carries the exception its signal handler raised.
// The typed error of a refused data block, its facts as attributes.
[[gnu::cold]] void raise_damaged_block(std::uint64_t block, PyObject* message) {
  Ref error = Ref::steal(PyObject_CallOneArg(damaged_block_type, message));
  if (!error) return;
  Ref position = Ref::steal(PyLong_FromUnsignedLongLong(block));
  if (!position || PyObject_SetAttrString(error.get(), "block", position.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "message", message) < 0)
    return;
  PyErr_SetObject(damaged_block_type, error.get());
}

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
  if (!message) return;
  const std::optional<std::uint64_t> block = failure.error.damaged_block();
  if (!block || type != PyExc_RuntimeError || damaged_block_type == nullptr) {
    PyErr_SetObject(type, message.get());
    return;
  }
  raise_damaged_block(*block, message.get());
}

[[gnu::cold]] void raise_internal_fault(const char* what) {
  PyErr_Format(PyExc_RuntimeError, "velnora internal error: %s", what);
}

}  // namespace

PyObject* not_a_recording_type = nullptr;
PyObject* damaged_block_type = nullptr;

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
