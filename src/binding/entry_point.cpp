#include "binding/entry_point.hpp"

#include <exception>
#include <new>
#include <string>

namespace velnora::py {

namespace {

// The text is decoded as UTF-8 with replacement, so a message quoting the
// caller's own text (a resample method, a path) comes back unchanged.
[[gnu::cold]] void raise_core_error(const CoreFailure& failure) {
  std::string text = failure.error.text();
  Ref message =
      Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(failure.type, message.get());
}

[[gnu::cold]] void raise_internal_fault(const char* what) {
  PyErr_Format(PyExc_RuntimeError, "velnora internal error: %s", what);
}

}  // namespace

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
